#include "db/sqlite.h"

#include <memory>
#include <mutex>
#include <vector>

#include <QFileInfo>
#include <sqlite3.h>

#include "db/errors.h"
#include "db/savedcopy.h"
#include "db/sqlitevalue.h"

namespace duplivo {

namespace {

using sqlite::bindValue;
using sqlite::columnValue;
using sqlite::Prepared;

// How long another program's lock is waited for before a statement fails.
constexpr int busyTimeoutMs = 10000;

struct FreeValue
{
    void operator()(sqlite3_value* value) const { sqlite3_value_free(value); }
};
using Value = std::unique_ptr<sqlite3_value, FreeValue>;

// One connection of SQLite's own library, not tied to a thread: SQLite serializes the calls on
// it, and a statement can be interrupted from any thread.
class SqliteSession final : public Session
{
public:
    explicit SqliteSession(const QString& file)
    {
        // Read and write, but never create: a file that went missing since it was checked must
        // not come back empty. Debian's SQLite reads a name that starts with "file:" as a URI;
        // an absolute path never does, so '#', '%' or '?' stay in it.
        const int opened = sqlite3_open_v2(QFileInfo(file).absoluteFilePath().toUtf8().constData(),
            &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
        try {
            if (opened != SQLITE_OK)
                fail();
            sqlite3_busy_timeout(m_db, busyTimeoutMs);
            // Reads the schema now, so that a damaged file fails here rather than at a later
            // statement.
            run("PRAGMA schema_version");
        } catch (...) {
            close();
            throw;
        }
    }

    ~SqliteSession() override { close(); }

    SqliteSession(const SqliteSession&) = delete;
    SqliteSession& operator=(const SqliteSession&) = delete;

    Dialect dialect() const override { return Dialect::Sqlite; }

    ResultSet select(const Statement& statement) override
    {
        const Prepared query = prepared(statement);
        const int count = sqlite3_column_count(query.get());
        QStringList columns;
        for (int column = 0; column < count; ++column)
            columns << QString::fromUtf8(sqlite3_column_name(query.get(), column));
        QList<QVariantList> rows;
        while (step(query.get())) {
            QVariantList row;
            row.reserve(count);
            for (int column = 0; column < count; ++column)
                row << columnValue(query.get(), column);
            rows << std::move(row);
        }
        return ResultSet(columns, rows);
    }

    bool hasRow(const Statement& statement) override { return step(prepared(statement).get()); }

    qint64 execute(const Statement& statement) override
    {
        const Prepared query = prepared(statement);
        while (step(query.get())) { }
        return sqlite3_changes64(m_db);
    }

    qint64 appendRows(
        const Statement& read, const Statement& append, const RowProgress& progress) override
    {
        // Every row is read before the first is appended: SQLite does not say what a statement
        // still stepping sees of a table its own connection writes to. Each value is kept as
        // SQLite holds it, with its type and its bytes, and bound back as it is.
        std::vector<std::vector<Value>> rows;
        int count = 0;
        {
            const Prepared query = prepared(read);
            count = sqlite3_column_count(query.get());
            while (step(query.get())) {
                std::vector<Value> row;
                row.reserve(std::size_t(count));
                for (int column = 0; column < count; ++column) {
                    row.emplace_back(sqlite3_value_dup(sqlite3_column_value(query.get(), column)));
                    if (!row.back())
                        throw EngineFailure(
                            SQLITE_NOMEM, QString::fromUtf8(sqlite3_errstr(SQLITE_NOMEM)));
                }
                rows.push_back(std::move(row));
            }
        }
        const Prepared query = prepared(append, count);
        const auto fixed = int(append.values.size());
        const auto total = qint64(rows.size());
        qint64 written = 0;
        for (const std::vector<Value>& row : rows) {
            for (int column = 0; column < count; ++column)
                check(sqlite3_bind_value(query.get(), fixed + column + 1, row[column].get()));
            while (step(query.get())) { }
            sqlite3_reset(query.get());
            ++written;
            if (progress && !progress(written, total))
                throw WorkStopped();
        }
        return written;
    }

    // From SQLite to SQLite, each value goes over as it is, with no conversion on the way.
    void saveRows(const Statement& select, SavedCopyWriter& saved,
        const std::function<bool()>& keepGoing) override
    {
        const Prepared query = prepared(select);
        saved.columns(described(query.get()));
        while (step(query.get())) {
            saved.row(query.get());
            if (!keepGoing())
                throw WorkStopped();
        }
    }

    // SQLite stores a value as it is bound, then applies the column's affinity, as it did when
    // the value was first stored.
    qint64 insertRows(const Statement&, const Statement& append, const QList<QVariantList>& rows,
        const RowProgress& progress) override
    {
        const auto fixed = int(append.values.size());
        const int count = rows.isEmpty() ? 0 : int(rows.first().size());
        const Prepared query = prepared(append, count);
        qint64 written = 0;
        for (const QVariantList& row : rows) {
            for (int column = 0; column < count; ++column)
                check(bindValue(query.get(), fixed + column + 1, row.value(column)));
            while (step(query.get())) { }
            sqlite3_reset(query.get());
            ++written;
            if (progress && !progress(written, rows.size()))
                throw WorkStopped();
        }
        return written;
    }

    // SQLite declares a length only in a column's type name, which the schema reads itself.
    std::optional<int> describedTextLength(const Statement&) override { return std::nullopt; }

    // A plain BEGIN takes no lock until the first write; the check before a copy must hold it.
    void begin() override { run("BEGIN IMMEDIATE"); }
    void commit() override { run("COMMIT"); }
    // Where SQLite already ended the transaction itself, this fails, harmlessly.
    void rollback() noexcept override { sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr); }

    bool cancel() noexcept override
    {
        const std::lock_guard lock(m_closing);
        if (m_db)
            sqlite3_interrupt(m_db);
        return true;
    }

private:
    [[noreturn]] void fail() const
    {
        throw EngineFailure(
            sqlite3_extended_errcode(m_db), QString::fromUtf8(sqlite3_errmsg(m_db)));
    }

    void check(int result) const
    {
        if (result != SQLITE_OK)
            fail();
    }

    // The statement with its values bound, from the first marker on; `rowValues` markers are
    // left after them for each row.
    Prepared prepared(const Statement& statement, int rowValues = 0) const
    {
        int result = SQLITE_OK;
        Prepared query = sqlite::prepare(m_db, statement.text, &result);
        check(result);
        // SQLite would take a marker left without a value as NULL.
        const int markers = sqlite3_bind_parameter_count(query.get());
        if (markers != statement.values.size() + rowValues)
            throw EngineFailure(SQLITE_RANGE,
                QStringLiteral("La sentencia tiene %1 parámetros y se le dan %2 valores: %3")
                    .arg(markers)
                    .arg(statement.values.size() + rowValues)
                    .arg(statement.text));
        for (int marker = 1; marker <= statement.values.size(); ++marker)
            check(bindValue(query.get(), marker, statement.values[marker - 1]));
        return query;
    }

    static QList<ColumnDescription> described(sqlite3_stmt* query)
    {
        QList<ColumnDescription> columns;
        for (int column = 0; column < sqlite3_column_count(query); ++column) {
            ColumnDescription description;
            description.name = QString::fromUtf8(sqlite3_column_name(query, column));
            description.type = QString::fromUtf8(sqlite3_column_decltype(query, column));
            columns << description;
        }
        return columns;
    }

    // True for a row, false when the statement is done.
    bool step(sqlite3_stmt* statement) const
    {
        const int result = sqlite3_step(statement);
        if (result == SQLITE_ROW)
            return true;
        if (result != SQLITE_DONE)
            fail();
        return false;
    }

    void run(const char* text) const { check(sqlite3_exec(m_db, text, nullptr, nullptr, nullptr)); }

    // Never while another thread interrupts the connection.
    void close() noexcept
    {
        const std::lock_guard lock(m_closing);
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }

    sqlite3* m_db = nullptr;
    std::mutex m_closing;
};

} // namespace

std::unique_ptr<Session> openSqlite(const QString& file)
{
    return std::make_unique<SqliteSession>(file);
}

} // namespace duplivo
