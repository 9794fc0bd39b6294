#include "db/database.h"

#include <algorithm>
#include <atomic>
#include <optional>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUrl>

#include "app/failure.h"
#include "db/engines.h"

namespace duplivo {

namespace {

const QString sqliteDriver = QStringLiteral("QSQLITE");
// Another program's lock is waited for this long before the statement fails.
const QString sqliteOptions = QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=10000");

QString newConnectionName()
{
    static std::atomic<int> serial = 0;
    return QStringLiteral("duplivo-%1").arg(++serial);
}

std::optional<Engine> engineOf(const QByteArray& head)
{
    if (head.startsWith(QByteArrayLiteral("SQLite format 3\0")))
        return Engine::Sqlite;
    const QByteArray signature = head.mid(4, 15);
    if (signature == "Standard Jet DB" || signature == "Standard ACE DB")
        return Engine::Jet;
    return std::nullopt;
}

QString describe(const QString& windowsPath, const QString& file)
{
    return windowsPath == file
        ? windowsPath
        : QStringLiteral("%1 (%2)").arg(windowsPath, QDir::toNativeSeparators(file));
}

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

void throwSqlError(const QSqlError& error)
{
    bool numeric = false;
    const int number = error.nativeErrorCode().toInt(&numeric);
    QString text = error.databaseText();
    if (text.isEmpty())
        text = error.driverText();
    else if (!error.driverText().isEmpty() && error.driverText() != text)
        text = error.driverText() + QStringLiteral(": ") + text;
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
            QStringLiteral("No se encuentra el archivo '%1'.").arg(describe(windowsPath, file)));

    QFile handle(file);
    if (!handle.open(QIODevice::ReadOnly))
        throw Failure(DatabaseErrorNumber::CannotOpenFile,
            QStringLiteral("No se puede abrir el archivo '%1': %2")
                .arg(describe(windowsPath, file), handle.errorString()));
    const std::optional<Engine> engine = engineOf(handle.read(32));
    handle.close();
    if (!engine)
        throw Failure(DatabaseErrorNumber::UnrecognizedFormat,
            QStringLiteral("'%1' no es una base de datos.").arg(describe(windowsPath, file)));

    std::shared_ptr<DatabaseConnection> connection(
        new DatabaseConnection(newConnectionName(), *engine));
    if (*engine == Engine::Sqlite)
        openSqliteConnection(connection->connectionName(), file);
    else
        openJetConnection(connection->connectionName(), file, windowsPath);
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
    const Statement& check, const Statement& copy)
{
    beginWrite();
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
        if (execute(copy) == 0) {
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

void DatabaseConnection::beginWrite()
{
    if (m_engine == Engine::Sqlite) {
        // A plain BEGIN takes no lock until the first write; the check must already hold it.
        runText(m_name, QStringLiteral("BEGIN IMMEDIATE"));
        return;
    }
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    if (!db.transaction())
        throwSqlError(db.lastError());
}

void DatabaseConnection::endWrite(bool commit)
{
    if (m_engine == Engine::Sqlite) {
        if (commit) {
            runText(m_name, QStringLiteral("COMMIT"));
            return;
        }
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
