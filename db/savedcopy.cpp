#include "db/savedcopy.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include <QDir>
#include <QFile>
#include <sqlite3.h>

#include "db/errors.h"
#include "db/sqlitevalue.h"

namespace duplivo {

namespace {

// What the file says of itself, one key and value a row, and what each key is called.
const QString originTable = QStringLiteral("duplivo_copia");
const char* const formatKey = "formato";
const char* const databaseKey = "base_de_datos";
const char* const companyKey = "empresa";
const char* const programKey = "programa";
const char* const tableKey = "tabla";
const char* const deletedKey = "borrado";
const char* const rowsKey = "filas";
const char* const format = "1";

// The most rows one statement writes to the file: more gains nothing.
constexpr int rowsPerInsert = 32;

// The most characters a name takes in a file's name; Windows takes 255 in all.
constexpr qsizetype longestNamePart = 80;

QString quoted(const QString& name)
{
    return u'"' + QString(name).replace(u'"', QStringLiteral("\"\"")) + u'"';
}

// A name as a file's name can hold it on Windows and elsewhere: what no file name may hold, and
// what Windows drops at the end, replaced.
QString fileNamePart(const QString& name)
{
    static const QString forbidden = QStringLiteral("<>:\"/\\|?*");
    QString part = name.left(longestNamePart);
    for (QChar& c : part) {
        if (c.unicode() < 0x20 || forbidden.contains(c))
            c = u'_';
    }
    while (!part.isEmpty() && (part.endsWith(u' ') || part.endsWith(u'.')))
        part.chop(1);
    return part.isEmpty() ? QStringLiteral("_") : part;
}

// The system's words for the last error SQLite met there, where it met one. SQLite keeps no
// system error for a disk that is full.
QString systemError(sqlite3* db)
{
    if (!db)
        return QString();
    if (const int code = sqlite3_system_errno(db))
        return QStringLiteral(" (%1)").arg(qt_error_string(code));
    if (sqlite3_errcode(db) == SQLITE_FULL)
        return QStringLiteral(" (%1)").arg(
            QString::fromStdString(std::make_error_code(std::errc::no_space_on_device).message()));
    return QString();
}

class ReadConnection
{
public:
    explicit ReadConnection(const QString& path)
        : m_path(path)
    {
        if (sqlite3_open_v2(path.toUtf8().constData(), &m_db, SQLITE_OPEN_READONLY, nullptr)
            != SQLITE_OK)
            fail();
    }
    ~ReadConnection() { sqlite3_close_v2(m_db); }
    ReadConnection(const ReadConnection&) = delete;
    ReadConnection& operator=(const ReadConnection&) = delete;

    // Each row of a query.
    void each(const QString& sql, const std::function<void(sqlite3_stmt*)>& row) const
    {
        const sqlite::Prepared statement = sqlite::prepare(m_db, sql);
        if (!statement)
            fail();
        int result = SQLITE_ROW;
        while ((result = sqlite3_step(statement.get())) == SQLITE_ROW)
            row(statement.get());
        if (result != SQLITE_DONE)
            fail();
    }

    [[noreturn]] void fail() const
    {
        throw Failure(DatabaseErrorNumber::UnrecognizedFormat,
            QStringLiteral("'%1' no es una copia de datos borrados que Duplivo pueda leer: %2")
                .arg(QDir::toNativeSeparators(m_path), QString::fromUtf8(sqlite3_errmsg(m_db))));
    }

private:
    QString m_path;
    sqlite3* m_db = nullptr;
};

} // namespace

SavedCopyWriter::SavedCopyWriter(const QString& folder, SavedCopyOrigin origin)
    : m_origin(std::move(origin))
{
    // A new file of its own, made so that no other delete (another Duplivo, the same second)
    // can take the same name: the system says why where it cannot be made.
    QDir().mkpath(folder);
    const QString base = folder + u'/'
        + m_origin.deleted.toString(QStringLiteral("yyyy-MM-dd HHmmss")) + u' '
        + fileNamePart(m_origin.company) + QStringLiteral(" - ") + fileNamePart(m_origin.program);
    for (int attempt = 1;; ++attempt) {
        m_path = base + (attempt > 1 ? QStringLiteral(" (%1)").arg(attempt) : QString())
            + QStringLiteral(".sqlite");
        QFile file(m_path);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            break;
        if (!file.exists() || attempt == 100) {
            const QString why = file.errorString();
            m_path.clear();
            throw SaveFailure(QStringLiteral("No se puede crear el archivo '%1': %2")
                                  .arg(QDir::toNativeSeparators(file.fileName()), why));
        }
    }
    if (sqlite3_open_v2(m_path.toUtf8().constData(), &m_db, SQLITE_OPEN_READWRITE, nullptr)
        != SQLITE_OK)
        fail(QStringLiteral("No se puede abrir"));
    // Every commit waits for the disk: the copy is there before the delete is.
    run(QStringLiteral("PRAGMA synchronous = FULL"));
}

SavedCopyWriter::~SavedCopyWriter()
{
    if (!m_kept)
        discard();
}

void SavedCopyWriter::columns(const QList<ColumnDescription>& columns, bool wideText)
{
    // Text bound as UTF-16 is stored so with no conversion, where the file's text is UTF-16.
    if (wideText)
        run(QStringLiteral("PRAGMA encoding = 'UTF-16le'"));
    run(QStringLiteral("BEGIN;"
                       "CREATE TABLE %1 (clave TEXT PRIMARY KEY, valor);"
                       "CREATE TABLE columnas (posicion INTEGER PRIMARY KEY, nombre TEXT NOT NULL, "
                       "tipo TEXT, tipo_sql INTEGER, tamano INTEGER, decimales INTEGER);")
            .arg(originTable));
    QStringList names;
    QStringList markers;
    QList<QVariantList> described;
    for (qsizetype i = 0; i < columns.size(); ++i) {
        const ColumnDescription& column = columns[i];
        described.append(
            {i + 1, column.name, column.type, column.sqlType, column.size, column.digits});
        // The database's own names for its columns, quoted: the copy's table is the table's.
        names << quoted(column.name);
        markers << QStringLiteral("?");
    }
    insertEach(QStringLiteral("INSERT INTO columnas VALUES (?, ?, ?, ?, ?, ?)"), described);
    // No declared types: SQLite keeps each value as it is bound, with its own type.
    run(QStringLiteral("CREATE TABLE filas (%1)").arg(names.join(QStringLiteral(", "))));
    m_columns = int(columns.size());
    const int markerLimit = sqlite3_limit(m_db, SQLITE_LIMIT_VARIABLE_NUMBER, -1);
    m_rowsPerInsert = std::clamp(markerLimit / std::max(m_columns, 1), 1, rowsPerInsert);
    const QString row = u'(' + markers.join(QStringLiteral(", ")) + u')';
    m_insertMany = sqlite::prepare(m_db,
        QStringLiteral("INSERT INTO filas VALUES ")
            + QStringList(m_rowsPerInsert, row).join(QStringLiteral(", ")));
    m_insertOne = sqlite::prepare(m_db, QStringLiteral("INSERT INTO filas VALUES ") + row);
    if (!m_insertMany || !m_insertOne)
        fail(QStringLiteral("No se puede escribir en"));
    m_pending.assign(std::size_t(m_rowsPerInsert) * std::size_t(m_columns), Pending());
}

void SavedCopyWriter::insertEach(const QString& sql, const QList<QVariantList>& rows) const
{
    const sqlite::Prepared insert = sqlite::prepare(m_db, sql);
    if (!insert)
        fail(QStringLiteral("No se puede escribir en"));
    for (const QVariantList& values : rows) {
        for (qsizetype i = 0; i < values.size(); ++i)
            bound(sqlite::bindValue(insert.get(), int(i + 1), values[i]));
        write(insert.get());
    }
}

void SavedCopyWriter::row(sqlite3_stmt* source)
{
    const int count = sqlite3_column_count(source);
    for (int column = 0; column < count; ++column) {
        switch (sqlite3_column_type(source, column)) {
        case SQLITE_INTEGER:
            integerValue(column, sqlite3_column_int64(source, column));
            break;
        case SQLITE_FLOAT:
            realValue(column, sqlite3_column_double(source, column));
            break;
        case SQLITE_TEXT: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(source, column));
            utf8TextValue(column, text, sqlite3_column_bytes(source, column));
            break;
        }
        case SQLITE_BLOB: {
            const auto* bytes = static_cast<const char*>(sqlite3_column_blob(source, column));
            bytesValue(column, bytes, sqlite3_column_bytes(source, column));
            break;
        }
        default:
            nullValue(column);
        }
    }
    endRow();
}

void SavedCopyWriter::bound(int result) const
{
    if (result != SQLITE_OK)
        fail(QStringLiteral("No se puede escribir en"));
}

SavedCopyWriter::Pending& SavedCopyWriter::pending(int column, Pending::Kind kind)
{
    Pending& value = m_pending[std::size_t(m_pendingRows * m_columns + column)];
    value.kind = kind;
    return value;
}

void SavedCopyWriter::setBytes(Pending& value, const char* bytes, qsizetype length)
{
    // Into the room the value before it left, where there is enough.
    value.bytes.resize(length);
    if (length > 0)
        std::memcpy(value.bytes.data(), bytes, std::size_t(length));
}

void SavedCopyWriter::nullValue(int column)
{
    pending(column, Pending::Null);
}

void SavedCopyWriter::integerValue(int column, qint64 value)
{
    pending(column, Pending::Integer).integer = value;
}

void SavedCopyWriter::realValue(int column, double value)
{
    pending(column, Pending::Real).real = value;
}

void SavedCopyWriter::textValue(int column, const char16_t* text, qsizetype length)
{
    setBytes(pending(column, Pending::Utf16Text), reinterpret_cast<const char*>(text),
        length * qsizetype(sizeof(char16_t)));
}

void SavedCopyWriter::utf8TextValue(int column, const char* text, qsizetype length)
{
    setBytes(pending(column, Pending::Utf8Text), text, length);
}

void SavedCopyWriter::bytesValue(int column, const char* bytes, qsizetype length)
{
    setBytes(pending(column, Pending::Bytes), bytes, length);
}

void SavedCopyWriter::endRow()
{
    ++m_rows;
    if (++m_pendingRows < m_rowsPerInsert)
        return;
    for (int row = 0; row < m_pendingRows; ++row)
        bindPending(m_insertMany.get(), row, row * m_columns + 1);
    m_pendingRows = 0;
    write(m_insertMany.get());
}

void SavedCopyWriter::bindPending(sqlite3_stmt* insert, int row, int firstMarker) const
{
    for (int column = 0; column < m_columns; ++column) {
        const Pending& value = m_pending[std::size_t(row * m_columns + column)];
        const int marker = firstMarker + column;
        const auto length = sqlite3_uint64(value.bytes.size());
        switch (value.kind) {
        case Pending::Null:
            bound(sqlite3_bind_null(insert, marker));
            break;
        case Pending::Integer:
            bound(sqlite3_bind_int64(insert, marker, value.integer));
            break;
        case Pending::Real:
            bound(sqlite3_bind_double(insert, marker, value.real));
            break;
        case Pending::Utf16Text:
            bound(sqlite3_bind_text64(
                insert, marker, value.bytes.constData(), length, SQLITE_STATIC, SQLITE_UTF16));
            break;
        case Pending::Utf8Text:
            bound(sqlite3_bind_text64(
                insert, marker, value.bytes.constData(), length, SQLITE_STATIC, SQLITE_UTF8));
            break;
        case Pending::Bytes:
            // An empty one stays bytes: SQLite would bind a blob without data as NULL.
            bound(length == 0 ? sqlite3_bind_zeroblob(insert, marker, 0)
                              : sqlite3_bind_blob64(
                                  insert, marker, value.bytes.constData(), length, SQLITE_STATIC));
            break;
        }
    }
}

void SavedCopyWriter::write(sqlite3_stmt* insert) const
{
    if (sqlite3_step(insert) != SQLITE_DONE)
        fail(QStringLiteral("No se puede escribir en"));
    sqlite3_reset(insert);
}

void SavedCopyWriter::keep()
{
    for (int row = 0; row < m_pendingRows; ++row) {
        bindPending(m_insertOne.get(), row, 1);
        write(m_insertOne.get());
    }
    m_pendingRows = 0;
    m_origin.rows = m_rows;
    const auto key = [](const char* name) { return QString::fromLatin1(name); };
    insertEach(QStringLiteral("INSERT INTO %1 VALUES (?, ?)").arg(originTable),
        {{key(formatKey), QString::fromLatin1(format)}, {key(databaseKey), m_origin.database},
            {key(companyKey), m_origin.company}, {key(programKey), m_origin.program},
            {key(tableKey), m_origin.table},
            {key(deletedKey), m_origin.deleted.toString(Qt::ISODateWithMs)},
            {key(rowsKey), m_rows}});
    run(QStringLiteral("COMMIT"));
    m_insertMany.reset();
    m_insertOne.reset();
    if (sqlite3_close(m_db) != SQLITE_OK)
        fail(QStringLiteral("No se puede cerrar"));
    m_db = nullptr;
    m_kept = true;
}

void SavedCopyWriter::discard() noexcept
{
    close();
    if (!m_path.isEmpty())
        QFile::remove(m_path);
    m_kept = false;
    m_path.clear();
}

void SavedCopyWriter::fail(const QString& what) const
{
    throw SaveFailure(
        QStringLiteral("%1 el archivo '%2': %3%4")
            .arg(what, QDir::toNativeSeparators(m_path),
                QString::fromUtf8(m_db ? sqlite3_errmsg(m_db) : "?"), systemError(m_db)));
}

void SavedCopyWriter::run(const QString& sql) const
{
    if (sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, nullptr) != SQLITE_OK)
        fail(QStringLiteral("No se puede escribir en"));
}

void SavedCopyWriter::close() noexcept
{
    m_insertMany.reset();
    m_insertOne.reset();
    sqlite3_close_v2(m_db);
    m_db = nullptr;
}

SavedCopy readSavedCopy(const QString& path, bool withRows)
{
    const ReadConnection file(path);
    SavedCopy copy;
    copy.path = path;
    QHash<QString, QVariant> origin;
    file.each(QStringLiteral("SELECT clave, valor FROM %1").arg(originTable),
        [&origin](sqlite3_stmt* row) {
            origin.insert(sqlite::columnValue(row, 0).toString(), sqlite::columnValue(row, 1));
        });
    // The origin is written last, in the transaction that holds the rows: without it the copy
    // is not complete.
    if (origin.value(QLatin1String(formatKey)).toString() != QLatin1String(format)
        || !origin.contains(QLatin1String(rowsKey)))
        file.fail();
    copy.origin.database = origin.value(QLatin1String(databaseKey)).toString();
    copy.origin.company = origin.value(QLatin1String(companyKey)).toString();
    copy.origin.program = origin.value(QLatin1String(programKey)).toString();
    copy.origin.table = origin.value(QLatin1String(tableKey)).toString();
    copy.origin.deleted = QDateTime::fromString(
        origin.value(QLatin1String(deletedKey)).toString(), Qt::ISODateWithMs);
    copy.origin.rows = origin.value(QLatin1String(rowsKey)).toLongLong();
    file.each(QStringLiteral("SELECT nombre, tipo, tipo_sql, tamano, decimales FROM columnas "
                             "ORDER BY posicion"),
        [&copy](sqlite3_stmt* row) {
            copy.columns.append({sqlite::columnValue(row, 0).toString(),
                sqlite::columnValue(row, 1).toString(), sqlite::columnValue(row, 2).toInt(),
                sqlite::columnValue(row, 3).toLongLong(), sqlite::columnValue(row, 4).toInt()});
        });
    if (!withRows)
        return copy;
    file.each(QStringLiteral("SELECT * FROM filas ORDER BY rowid"), [&copy](sqlite3_stmt* row) {
        QVariantList values;
        values.reserve(copy.columns.size());
        for (int column = 0; column < copy.columns.size(); ++column)
            values << sqlite::columnValue(row, column);
        copy.rows << std::move(values);
    });
    if (copy.rows.size() != copy.origin.rows)
        file.fail();
    return copy;
}

std::pair<QList<SavedCopy>, QStringList> listSavedCopies(const QString& folder)
{
    std::pair<QList<SavedCopy>, QStringList> found;
    const QStringList names = QDir(folder).entryList(
        {QStringLiteral("*.sqlite")}, QDir::Files | QDir::Readable, QDir::Name);
    for (const QString& name : names) {
        try {
            found.first << readSavedCopy(folder + u'/' + name, false);
        } catch (const Failure& failure) {
            found.second << failure.text();
        }
    }
    // By the time of the delete: two in one second differ in their names' endings.
    std::stable_sort(found.first.begin(), found.first.end(),
        [](const SavedCopy& a, const SavedCopy& b) { return a.origin.deleted < b.origin.deleted; });
    return found;
}

} // namespace duplivo
