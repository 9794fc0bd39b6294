#include "db/database.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUrl>

#include "app/failure.h"
#include "db/engines.h"
#include "db/odbc.h"

namespace duplivo {

namespace {

const QString sqliteDriver = QStringLiteral("QSQLITE");
const QString odbcDriver = QStringLiteral("QODBC");
// Another program's lock is waited for ten seconds before the statement fails; a source that
// does not answer is given up after as long.
const QString sqliteOptions = QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=10000");
const QString odbcOptions
    = QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=10;SQL_ATTR_CONNECTION_TIMEOUT=10");
// A DSN file is a few lines; anything much larger is not one.
constexpr qint64 headLength = 64 * 1024;

QString newConnectionName()
{
    static std::atomic<int> serial = 0;
    return QStringLiteral("duplivo-%1").arg(++serial);
}

// The engine a database file's own signature names; a DSN file is text and has none.
std::optional<Engine> engineOf(const QByteArray& head)
{
    if (head.startsWith(QByteArrayLiteral("SQLite format 3\0")))
        return Engine::Sqlite;
    const QByteArray signature = head.mid(4, 15);
    if (signature == "Standard Jet DB" || signature == "Standard ACE DB")
        return Engine::Jet;
    return std::nullopt;
}

// A stable 64-bit key for what a statement looks for, the same in every process.
qint64 lockKey(const Statement& statement)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(statement.text.toUtf8());
    for (const QVariant& value : statement.values) {
        hash.addData(QByteArrayView("\x1f", 1));
        hash.addData(value.toString().toUtf8());
    }
    qint64 key = 0;
    const QByteArray digest = hash.result();
    std::memcpy(&key, digest.constData(), sizeof key);
    return key;
}

// The path as the operator knows it, and where it led when that is another place.
QString describe(const QString& windowsPath, const QString& file)
{
    const QString quoted = u'\'' + windowsPath + u'\'';
    return windowsPath == file
        ? quoted
        : QStringLiteral("%1 (%2)").arg(quoted, QDir::toNativeSeparators(file));
}

// Settings the program needs of some drivers, where the DSN file does not say otherwise.
void addDriverDefaults(OdbcSource& source)
{
    const QString driver = source.value(QStringLiteral("DRIVER"));
    const auto add = [&source](const char* key, const char* value) {
        if (source.value(QLatin1String(key)).isNull())
            source.keys.append({QLatin1String(key), QLatin1String(value)});
    };
    if (driver.contains(QLatin1String("SQLite"), Qt::CaseInsensitive)) {
        // Wait ten seconds for another program's lock, not a hundred; never create a missing file.
        add("Timeout", "10000");
        add("NoCreat", "1");
    }
}

void openOdbcSourceFile(const QString& name, std::optional<OdbcSource> source, const QString& file,
    const QString& windowsPath)
{
    if (source->holdsPassword() && othersCanRead(file))
        throw Failure(DatabaseErrorNumber::UnsafeSourceFile,
            QStringLiteral("El archivo %1 guarda una contraseña y otros usuarios pueden leerlo. "
                           "Quite el permiso de lectura a los demás (chmod 600) para usarlo.")
                .arg(describe(windowsPath, file)));
    addDriverDefaults(*source);
    openOdbcConnection(name, *source, windowsPath, file);
}

QSqlQuery prepared(const QString& connection, const Statement& statement)
{
    QSqlQuery query(QSqlDatabase::database(connection, false));
    query.setForwardOnly(true);
    if (!query.prepare(statement.text))
        throwSqlError(query.lastError());
    for (const QVariant& value : statement.values)
        query.addBindValue(value);
    return query;
}

void run(QSqlQuery& query)
{
    if (!query.exec())
        throwSqlError(query.lastError());
}

void runText(const QString& connection, const QString& text)
{
    QSqlQuery query(QSqlDatabase::database(connection, false));
    if (!query.exec(text))
        throwSqlError(query.lastError());
}

} // namespace

void openSqliteConnection(const QString& name, const QString& file)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(sqliteDriver, name);
    // Read and write, but never create: a file that went missing since it was checked must not
    // come back empty. Every character of the name is encoded, so '#', '%' or '?' stay in it.
    db.setDatabaseName(
        QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded) + QStringLiteral("?mode=rw"));
    db.setConnectOptions(sqliteOptions);
    if (!db.open())
        throwSqlError(db.lastError());
    // Reads the schema now, so that a damaged file fails here rather than at a later statement.
    QSqlQuery probe(db);
    if (!probe.exec(QStringLiteral("PRAGMA schema_version")))
        throwSqlError(probe.lastError());
}

void openOdbcConnection(const QString& name, const OdbcSource& source, const QString& windowsPath,
    const QString& fileDsn)
{
    if (!QSqlDatabase::isDriverAvailable(odbcDriver))
        throw Failure(DatabaseErrorNumber::OdbcUnavailable,
            QStringLiteral("Para abrir '%1' hace falta el controlador ODBC de Qt, que no está "
                           "instalado.")
                .arg(windowsPath));
    QSqlDatabase db = QSqlDatabase::addDatabase(odbcDriver, name);
    db.setDatabaseName(source.qtDatabaseName(fileDsn));
    db.setConnectOptions(odbcOptions);
    if (!db.open()) {
        const QString driver = source.value(QStringLiteral("DRIVER"));
        throwSqlError(db.lastError(),
            QStringLiteral("No se ha podido abrir '%1' con %2, que no ha dado ningún detalle.")
                .arg(windowsPath,
                    driver.isNull() ? QStringLiteral("el origen de datos ODBC '%1'")
                                          .arg(source.value(QStringLiteral("DSN")))
                                    : QStringLiteral("el controlador ODBC '%1'").arg(driver)));
    }
}

void throwSqlError(const QSqlError& error, const QString& context)
{
    bool numeric = false;
    const int number = error.nativeErrorCode().toInt(&numeric);
    QString text = error.databaseText();
    if (text.isEmpty())
        text = error.driverText();
    else if (!error.driverText().isEmpty() && error.driverText() != text)
        text = error.driverText() + QStringLiteral(": ") + text;
    if (text.trimmed().isEmpty())
        text = context.isEmpty()
            ? QStringLiteral("El motor de base de datos no ha dado ningún detalle del error.")
            : context;
    throw Failure(numeric ? number : -1, text);
}

ResultSet::ResultSet(QStringList columns, QList<QVariantList> rows)
    : m_columns(std::move(columns))
    , m_rows(std::move(rows))
{ }

QVariant ResultSet::field(const QString& column) const
{
    const auto found = std::find_if(m_columns.cbegin(), m_columns.cend(),
        [&](const QString& name) { return name.compare(column, Qt::CaseInsensitive) == 0; });
    if (found == m_columns.cend())
        throw Failure(DatabaseErrorNumber::ColumnNotFound,
            QStringLiteral("No se encuentra la columna '%1' en el resultado.").arg(column));
    if (atEnd())
        throw Failure(DatabaseErrorNumber::NoCurrentRecord,
            QStringLiteral("No hay registro actual para leer '%1'.").arg(column));
    return m_rows.at(m_current).at(found - m_columns.cbegin());
}

std::shared_ptr<DatabaseConnection> openDatabase(const QString& windowsPath)
{
    const QString file = resolveDatabaseFile(windowsPath);
    const QFileInfo info(file);
    if (!info.exists() || info.isDir())
        throw Failure(DatabaseErrorNumber::FileNotFound,
            QStringLiteral("No se encuentra el archivo %1.").arg(describe(windowsPath, file)));

    QFile handle(file);
    if (!handle.open(QIODevice::ReadOnly))
        throw Failure(DatabaseErrorNumber::CannotOpenFile,
            QStringLiteral("No se puede abrir el archivo %1: %2")
                .arg(describe(windowsPath, file), handle.errorString()));
    const QByteArray head = handle.read(headLength);
    handle.close();
    std::optional<Engine> engine = engineOf(head);
    std::optional<OdbcSource> source;
    if (!engine && (source = readOdbcSource(head)))
        engine = Engine::Odbc;
    if (!engine)
        throw Failure(DatabaseErrorNumber::UnrecognizedFormat,
            QStringLiteral("%1 no es una base de datos.").arg(describe(windowsPath, file)));

    std::shared_ptr<DatabaseConnection> connection(
        new DatabaseConnection(newConnectionName(), *engine));
    switch (*engine) {
    case Engine::Sqlite:
        openSqliteConnection(connection->connectionName(), file);
        break;
    case Engine::Jet:
        openJetConnection(connection->connectionName(), file, windowsPath);
        break;
    case Engine::Odbc:
        openOdbcSourceFile(connection->connectionName(), std::move(source), file, windowsPath);
        break;
    }
    connection->setUpSession();
    return connection;
}

DatabaseConnection::DatabaseConnection(QString name, Engine engine)
    : m_name(std::move(name))
    , m_engine(engine)
{ }

DatabaseConnection::~DatabaseConnection()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        if (db.isOpen())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
}

std::shared_ptr<ResultSet> DatabaseConnection::openSnapshot(const Statement& select)
{
    QSqlQuery query = prepared(m_name, select);
    run(query);
    const QSqlRecord record = query.record();
    QStringList columns;
    columns.reserve(record.count());
    for (int i = 0; i < record.count(); ++i)
        columns << record.fieldName(i);

    QList<QVariantList> rows;
    while (query.next()) {
        QVariantList row;
        row.reserve(columns.size());
        for (int i = 0; i < columns.size(); ++i)
            row << query.value(i);
        rows << std::move(row);
    }
    if (query.lastError().isValid())
        throwSqlError(query.lastError());
    return std::make_shared<ResultSet>(std::move(columns), std::move(rows));
}

int DatabaseConnection::execute(const Statement& action)
{
    QSqlQuery query = prepared(m_name, action);
    run(query);
    return query.numRowsAffected();
}

DatabaseConnection::BlockCopy DatabaseConnection::copyUnlessPresent(
    const Statement& check, const CopyStatements& copy)
{
    beginWrite(check);
    try {
        bool present = false;
        {
            QSqlQuery query = prepared(m_name, check);
            run(query);
            present = query.next();
            if (!present && query.lastError().isValid())
                throwSqlError(query.lastError());
        }
        if (present) {
            endWrite(false);
            return BlockCopy::AlreadyPresent;
        }
        if (copyRows(copy) == 0) {
            endWrite(false);
            return BlockCopy::NothingToCopy;
        }
        endWrite(true);
        return BlockCopy::Copied;
    } catch (...) {
        endWrite(false);
        throw;
    }
}

int DatabaseConnection::copyRows(const CopyStatements& copy)
{
    if (m_copyForm == CopyForm::InsertSelect)
        return execute(copy.insertSelect);
    // The block is read whole before the first append: not every driver runs a statement while
    // another one's rows are still being read on the same connection.
    const std::shared_ptr<ResultSet> rows = openSnapshot(copy.readRows);
    QSqlQuery append = prepared(m_name, copy.appendRow);
    const qsizetype fixed = copy.appendRow.values.size();
    int written = 0;
    for (rows->moveFirst(); !rows->atEnd(); rows->moveNext()) {
        const QVariantList& row = rows->row();
        for (qsizetype column = 0; column < row.size(); ++column)
            append.bindValue(int(fixed + column), row[column]);
        run(append);
        ++written;
    }
    return written;
}

void DatabaseConnection::setUpSession()
{
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    if (m_engine == Engine::Sqlite) {
        m_dialect = Dialect::Sqlite;
    } else if (db.driver()->dbmsType() == QSqlDriver::PostgreSQL) {
        m_dialect = Dialect::PostgreSql;
        // Every statement of the session, not only the copy, waits ten seconds for another
        // program's lock, as SQLite's busy timeout does.
        runText(m_name, QStringLiteral("SET lock_timeout = '10s'"));
    } else if (QSqlQuery probe(db);
               m_engine == Engine::Odbc && probe.exec(QStringLiteral("SELECT sqlite_version()"))) {
        // A SQLite file behind an ODBC driver: read its schema now, as a file opened directly is.
        m_dialect = Dialect::Sqlite;
        runText(m_name, QStringLiteral("PRAGMA schema_version"));
    }
    switch (m_dialect) {
    case Dialect::Sqlite:
        m_writeLock = WriteLock::Immediate;
        m_copyForm = CopyForm::InsertSelect;
        break;
    case Dialect::PostgreSql:
        m_writeLock = WriteLock::Advisory;
        m_copyForm = CopyForm::InsertSelect;
        break;
    case Dialect::Other:
        break;
    }
}

int DatabaseConnection::indexedLeadingColumns(const QString& table, const QStringList& columns)
{
    auto known = m_indexes.find(table);
    if (known == m_indexes.end())
        known = m_indexes.insert(table, seekableIndexes(table));
    // SQLite matches names without regard to case; PostgreSQL folds the unquoted names the
    // statements use to lower case.
    const auto sameName = [this](const QString& key, const QString& column) {
        return m_dialect == Dialect::Sqlite ? key.compare(column, Qt::CaseInsensitive) == 0
                                            : key == column.toLower();
    };
    int best = 0;
    for (const QStringList& keys : *known) {
        int matched = 0;
        while (matched < columns.size() && matched < keys.size()
            && sameName(keys[matched], columns[matched]))
            ++matched;
        best = std::max(best, matched);
    }
    return best;
}

std::optional<Statement> DatabaseConnection::indexKeysQuery(Dialect dialect, const QString& table)
{
    switch (dialect) {
    case Dialect::Sqlite:
        // A partial index holds only some rows. An index with a collation of its own (or, for a
        // constraint's index, a table with one anywhere) may not compare as the column does,
        // and a seek by the column's comparison could not use it.
        return Statement {
            QStringLiteral(
                "SELECT il.name, ix.name FROM pragma_index_list(?) AS il "
                "JOIN pragma_index_xinfo(il.name) AS ix "
                "LEFT JOIN sqlite_master AS idx ON idx.type = 'index' AND idx.name = il.name "
                "LEFT JOIN sqlite_master AS tbl ON tbl.type = 'table' "
                "AND tbl.name = ? COLLATE NOCASE "
                "WHERE il.partial = 0 AND ix.key = 1 "
                "AND coalesce(idx.sql, tbl.sql) NOT LIKE '%collate%' "
                "ORDER BY il.name, ix.seqno"),
            {table, table}};
    case Dialect::PostgreSql:
        // Only valid, whole b-tree indexes on text columns, each key with the column's own
        // collation and its type's default ordering.
        return Statement {
            QStringLiteral(
                "SELECT i.indexrelid::bigint, a.attname::text FROM pg_index AS i "
                "JOIN pg_class AS c ON c.oid = i.indexrelid "
                "JOIN pg_am AS m ON m.oid = c.relam "
                "CROSS JOIN LATERAL generate_series(1, i.indnkeyatts) AS k(n) "
                "LEFT JOIN pg_attribute AS a ON a.attrelid = i.indrelid "
                "AND a.attnum = i.indkey[k.n - 1] "
                "AND a.atttypid IN ('text'::regtype, 'varchar'::regtype, 'bpchar'::regtype) "
                "AND a.attcollation = i.indcollation[k.n - 1] "
                "AND EXISTS (SELECT 1 FROM pg_opclass AS o "
                "WHERE o.oid = i.indclass[k.n - 1] AND o.opcdefault) "
                "WHERE i.indrelid = to_regclass(CAST(? AS text)) AND m.amname = 'btree' "
                "AND i.indisvalid AND i.indpred IS NULL "
                "ORDER BY 1, k.n"),
            {table}};
    case Dialect::Other:
        break;
    }
    return std::nullopt;
}

QList<QStringList> DatabaseConnection::seekableIndexes(const QString& table)
{
    const std::optional<Statement> keys = indexKeysQuery(m_dialect, table);
    if (!keys)
        return {};
    const std::shared_ptr<ResultSet> rows = openSnapshot(*keys);
    QList<QStringList> indexes;
    QVariant current;
    for (rows->moveFirst(); !rows->atEnd(); rows->moveNext()) {
        const QVariantList& row = rows->row();
        if (indexes.isEmpty() || row[0] != current) {
            indexes.append(QStringList());
            current = row[0];
        }
        indexes.last().append(row[1].isNull() ? QString() : row[1].toString());
    }
    // A nameless key ends what the index can be sought by.
    for (QStringList& index : indexes) {
        const qsizetype end = index.indexOf(QString());
        if (end >= 0)
            index.resize(end);
    }
    return indexes;
}

void DatabaseConnection::beginWrite(const Statement& check)
{
    if (m_writeLock == WriteLock::Immediate) {
        // A plain BEGIN takes no lock until the first write; the check must already hold it.
        runText(m_name, QStringLiteral("BEGIN IMMEDIATE"));
        return;
    }
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    if (!db.transaction())
        throwSqlError(db.lastError());
    if (m_writeLock == WriteLock::Advisory) {
        try {
            // The check must see what another copy committed while this one waited for the lock.
            // Under a server default of repeatable read or serializable, the snapshot would be
            // the one taken when the lock statement began, before that commit.
            runText(m_name, QStringLiteral("SET TRANSACTION ISOLATION LEVEL READ COMMITTED"));
            QSqlQuery lock = prepared(
                m_name, {QStringLiteral("SELECT pg_advisory_xact_lock(?)"), {lockKey(check)}});
            run(lock);
        } catch (...) {
            db.rollback();
            throw;
        }
    }
}

void DatabaseConnection::endWrite(bool commit)
{
    if (m_writeLock == WriteLock::Immediate) {
        if (commit) {
            runText(m_name, QStringLiteral("COMMIT"));
            return;
        }
        // After a failure the rollback may fail too; the first error is the one to report.
        QSqlQuery query(QSqlDatabase::database(m_name, false));
        query.exec(QStringLiteral("ROLLBACK"));
        return;
    }
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    if (commit) {
        if (!db.commit())
            throwSqlError(db.lastError());
    } else {
        db.rollback();
    }
}

} // namespace duplivo
