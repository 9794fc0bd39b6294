#include "db/sqlite.h"

#include <atomic>

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUrl>

#include "db/errors.h"

namespace duplivo {

namespace {

const QString driver = QStringLiteral("QSQLITE");
const QString options = QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=10000");

QString newConnectionName()
{
    static std::atomic<int> serial = 0;
    return QStringLiteral("duplivo-%1").arg(++serial);
}

// One named QtSql connection, removed when the session goes.
class SqliteSession final : public Session
{
public:
    explicit SqliteSession(const QString& file)
        : m_name(newConnectionName())
    {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(driver, m_name);
            // Read and write, but never create: a file that went missing since it was checked
            // must not come back empty. Every character of the name is encoded, so '#', '%' or
            // '?' stay in it.
            db.setDatabaseName(QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded)
                + QStringLiteral("?mode=rw"));
            db.setConnectOptions(options);
            db.open();
        }
        try {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            if (!db.isOpen())
                throwSqlError(db.lastError());
            // Reads the schema now, so that a damaged file fails here rather than at a later
            // statement.
            run(QStringLiteral("PRAGMA schema_version"));
        } catch (...) {
            close();
            throw;
        }
    }

    ~SqliteSession() override { close(); }

    Dialect dialect() const override { return Dialect::Sqlite; }

    ResultSet select(const Statement& statement) override
    {
        QSqlQuery query = prepared(statement);
        exec(query);
        const QSqlRecord record = query.record();
        QStringList columns;
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
        return ResultSet(columns, rows);
    }

    bool hasRow(const Statement& statement) override
    {
        QSqlQuery query = prepared(statement);
        exec(query);
        const bool found = query.next();
        if (!found && query.lastError().isValid())
            throwSqlError(query.lastError());
        return found;
    }

    qint64 execute(const Statement& statement) override
    {
        QSqlQuery query = prepared(statement);
        exec(query);
        return query.numRowsAffected();
    }

    qint64 appendRows(
        const Statement& read, const Statement& append, const RowProgress& progress) override
    {
        // SQLite's values are integers, reals, text and bytes, which Qt's values carry exactly.
        ResultSet rows = select(read);
        QSqlQuery query = prepared(append);
        const auto fixed = int(append.values.size());
        qint64 written = 0;
        for (rows.moveFirst(); !rows.atEnd(); rows.moveNext()) {
            const QVariantList& row = rows.row();
            for (int column = 0; column < int(row.size()); ++column) {
                // Qt reads an empty blob as a null byte array, and would bind that as NULL.
                const QVariant& value = row[column];
                const bool emptyBytes
                    = value.typeId() == QMetaType::QByteArray && value.toByteArray().isNull();
                query.bindValue(fixed + column, emptyBytes ? QVariant(QByteArray("")) : value);
            }
            exec(query);
            ++written;
            if (progress && !progress(written, rows.rowCount()))
                throw WorkStopped();
        }
        return written;
    }

    // SQLite declares a length only in a column's type name, which the schema reads itself.
    std::optional<int> describedTextLength(const Statement&) override { return std::nullopt; }

    // A plain BEGIN takes no lock until the first write; the check before a copy must hold it.
    void begin() override { run(QStringLiteral("BEGIN IMMEDIATE")); }
    void commit() override { run(QStringLiteral("COMMIT")); }
    void rollback() noexcept override
    {
        QSqlQuery query(QSqlDatabase::database(m_name, false));
        query.exec(QStringLiteral("ROLLBACK"));
    }

    bool cancel() noexcept override { return false; }

private:
    QSqlQuery prepared(const Statement& statement) const
    {
        QSqlQuery query(QSqlDatabase::database(m_name, false));
        query.setForwardOnly(true);
        if (!query.prepare(statement.text))
            throwSqlError(query.lastError());
        for (const QVariant& value : statement.values)
            query.addBindValue(value);
        return query;
    }

    static void exec(QSqlQuery& query)
    {
        if (!query.exec())
            throwSqlError(query.lastError());
    }

    void run(const QString& text) const
    {
        QSqlQuery query(QSqlDatabase::database(m_name, false));
        if (!query.exec(text))
            throwSqlError(query.lastError());
    }

    void close()
    {
        {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            if (db.isOpen())
                db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }

    QString m_name;
};

} // namespace

std::unique_ptr<Session> openSqlite(const QString& file)
{
    return std::make_unique<SqliteSession>(file);
}

} // namespace duplivo
