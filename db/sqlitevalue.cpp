#include "db/sqlitevalue.h"

#include <limits>

#include <sqlite3.h>

namespace duplivo::sqlite {

void FinalizeStatement::operator()(sqlite3_stmt* statement) const
{
    sqlite3_finalize(statement);
}

Prepared prepare(sqlite3* db, const QString& sql, int* result)
{
    sqlite3_stmt* statement = nullptr;
    const int prepared = sqlite3_prepare16_v2(
        db, sql.utf16(), int(sql.size() * qsizetype(sizeof(QChar))), &statement, nullptr);
    if (result)
        *result = prepared;
    return Prepared(statement);
}

QVariant columnValue(sqlite3_stmt* statement, int column)
{
    switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
        return qlonglong(sqlite3_column_int64(statement, column));
    case SQLITE_FLOAT:
        return sqlite3_column_double(statement, column);
    case SQLITE_TEXT: {
        const auto* text = static_cast<const QChar*>(sqlite3_column_text16(statement, column));
        return QString(text, sqlite3_column_bytes16(statement, column) / qsizetype(sizeof(QChar)));
    }
    case SQLITE_BLOB: {
        // SQLite gives no pointer for an empty blob; it stays bytes, not a null.
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
        return QByteArray(bytes ? bytes : "", sqlite3_column_bytes(statement, column));
    }
    default:
        return QVariant();
    }
}

int bindValue(sqlite3_stmt* statement, int marker, const QVariant& value)
{
    if (value.isNull())
        return sqlite3_bind_null(statement, marker);
    switch (value.typeId()) {
    case QMetaType::ULongLong:
        // SQLite's integers are signed: a larger one is kept as its digits.
        if (value.toULongLong() > quint64(std::numeric_limits<qint64>::max()))
            break;
        return sqlite3_bind_int64(statement, marker, value.toLongLong());
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
        return sqlite3_bind_int64(statement, marker, value.toLongLong());
    case QMetaType::Float:
    case QMetaType::Double:
        return sqlite3_bind_double(statement, marker, value.toDouble());
    case QMetaType::QByteArray: {
        // Empty bytes, null or not, are an empty blob: SQLite binds a blob without data as NULL.
        const QByteArray bytes = value.toByteArray();
        if (bytes.isEmpty())
            return sqlite3_bind_zeroblob(statement, marker, 0);
        return sqlite3_bind_blob64(
            statement, marker, bytes.constData(), sqlite3_uint64(bytes.size()), SQLITE_TRANSIENT);
    }
    default:
        break;
    }
    // UTF-16 with its length: every character, a NUL among them, reaches SQLite.
    const QString text = value.toString();
    return sqlite3_bind_text64(statement, marker, reinterpret_cast<const char*>(text.utf16()),
        sqlite3_uint64(text.size()) * sizeof(QChar), SQLITE_TRANSIENT, SQLITE_UTF16);
}

} // namespace duplivo::sqlite
