#include "db/savedcopy.h"

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
    m_insert = sqlite::prepare(m_db,
        QStringLiteral("INSERT INTO filas VALUES (%1)").arg(markers.join(QStringLiteral(", "))));
    if (!m_insert)
        fail(QStringLiteral("No se puede escribir en"));
}

void SavedCopyWriter::insertEach(const QString& sql, const QList<QVariantList>& rows) const
{
    const sqlite::Prepared insert = sqlite::prepare(m_db, sql);
    if (!insert)
        fail(QStringLiteral("No se puede escribir en"));
    for (const QVariantList& values : rows) {
        for (qsizetype i = 0; i < values.size(); ++i)
            bound(sqlite::bindValue(insert.get(), int(i + 1), values[i]));
        const int stepped = sqlite3_step(insert.get());
        sqlite3_reset(insert.get());
        if (stepped != SQLITE_DONE)
            fail(QStringLiteral("No se puede escribir en"));
    }
}

void SavedCopyWriter::row(sqlite3_stmt* source)
{
    const int count = sqlite3_column_count(source);
    for (int column = 0; column < count; ++column)
        bound(sqlite3_bind_value(m_insert.get(), column + 1, sqlite3_column_value(source, column)));
    endRow();
}

void SavedCopyWriter::bound(int result) const
{
    if (result != SQLITE_OK)
        fail(QStringLiteral("No se puede escribir en"));
}

void SavedCopyWriter::nullValue(int column)
{
    bound(sqlite3_bind_null(m_insert.get(), column + 1));
}

void SavedCopyWriter::integerValue(int column, qint64 value)
{
    bound(sqlite3_bind_int64(m_insert.get(), column + 1, value));
}

void SavedCopyWriter::realValue(int column, double value)
{
    bound(sqlite3_bind_double(m_insert.get(), column + 1, value));
}

void SavedCopyWriter::textValue(int column, const char16_t* text, qsizetype length)
{
    bound(sqlite3_bind_text64(m_insert.get(), column + 1, reinterpret_cast<const char*>(text),
        sqlite3_uint64(length) * sizeof(char16_t), SQLITE_STATIC, SQLITE_UTF16));
}

void SavedCopyWriter::utf8TextValue(int column, const char* text, qsizetype length)
{
    bound(sqlite3_bind_text64(
        m_insert.get(), column + 1, text, sqlite3_uint64(length), SQLITE_STATIC, SQLITE_UTF8));
}

void SavedCopyWriter::bytesValue(int column, const char* bytes, qsizetype length)
{
    // An empty one stays bytes: SQLite would bind a blob without data as NULL.
    bound(length == 0 ? sqlite3_bind_zeroblob(m_insert.get(), column + 1, 0)
                      : sqlite3_bind_blob64(m_insert.get(), column + 1, bytes,
                          sqlite3_uint64(length), SQLITE_STATIC));
}

void SavedCopyWriter::endRow()
{
    if (sqlite3_step(m_insert.get()) != SQLITE_DONE)
        fail(QStringLiteral("No se puede escribir en"));
    sqlite3_reset(m_insert.get());
    ++m_rows;
}

void SavedCopyWriter::keep()
{
    m_origin.rows = m_rows;
    const auto key = [](const char* name) { return QString::fromLatin1(name); };
    insertEach(QStringLiteral("INSERT INTO %1 VALUES (?, ?)").arg(originTable),
        {{key(formatKey), QString::fromLatin1(format)}, {key(databaseKey), m_origin.database},
            {key(companyKey), m_origin.company}, {key(programKey), m_origin.program},
            {key(tableKey), m_origin.table},
            {key(deletedKey), m_origin.deleted.toString(Qt::ISODateWithMs)},
            {key(rowsKey), m_rows}});
    run(QStringLiteral("COMMIT"));
    m_insert.reset();
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
    m_insert.reset();
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
