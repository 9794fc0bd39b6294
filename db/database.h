// The company database as the window uses it: connections, read-only results and statements
// whose values are always bound, never written into the statement's text.
#pragma once

#include <memory>
#include <optional>

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace duplivo {

struct Statement
{
    QString text;
    QVariantList values;

    friend bool operator==(const Statement&, const Statement&) = default;
};

// A block copy in the two forms engines take. Where a parameter may stand in a select list
// (SQLite, PostgreSQL) one INSERT … SELECT does it. ODBC's own grammar allows none there, so for
// the Access driver and other ODBC sources the rows are read and appended one by one: each row of
// `readRows` is bound after the values `appendRow` already holds.
struct CopyStatements
{
    Statement insertSelect;
    Statement readRows;
    Statement appendRow;

    friend bool operator==(const CopyStatements&, const CopyStatements&) = default;
};

// A read-only copy of the rows a select returned, walked from first to last. Holding one keeps
// no lock on the database.
class ResultSet
{
public:
    ResultSet(QStringList columns, QList<QVariantList> rows);

    // Only "has at least one row": the size of a result is not known before it is read.
    bool hasRows() const { return !m_rows.isEmpty(); }
    void moveFirst() { m_current = 0; }
    bool atEnd() const { return m_current >= m_rows.size(); }
    void moveNext() { ++m_current; }
    // The column is found without regard to case.
    QVariant field(const QString& column) const;
    // Every value of the current row, in the select's order.
    const QVariantList& row() const { return m_rows.at(m_current); }

private:
    QStringList m_columns;
    QList<QVariantList> m_rows;
    qsizetype m_current = 0;
};

// How the database at the path is reached: a SQLite file, a Jet/ACE file, or an ODBC file DSN
// that names a driver (a database server, or a file another driver reads).
enum class Engine { Sqlite, Jet, Odbc };

class DatabaseConnection
{
public:
    enum class BlockCopy { Copied, AlreadyPresent, NothingToCopy };
    enum class CopyForm { InsertSelect, RowByRow };
    // The SQL the engine behind the connection speaks, found when it opens. A SQLite file behind
    // an ODBC driver speaks SQLite's.
    enum class Dialect { Sqlite, PostgreSql, Other };

    ~DatabaseConnection();
    DatabaseConnection(const DatabaseConnection&) = delete;
    DatabaseConnection& operator=(const DatabaseConnection&) = delete;

    const QString& connectionName() const { return m_name; }
    Engine engine() const { return m_engine; }
    // Chosen for the engine when the connection opens; the tests run both forms on their engines.
    CopyForm copyForm() const { return m_copyForm; }
    void setCopyForm(CopyForm form) { m_copyForm = form; }
    Dialect dialect() const { return m_dialect; }

    // How many of `columns`, in order, lead one index of `table` that the engine can seek by
    // each column's own comparison (its collation, its default ordering): 0 when none does, and
    // always 0 on engines whose schema is not read. The schema is read once per connection.
    int indexedLeadingColumns(const QString& table, const QStringList& columns);
    // The query that reads the keys of the table's indexes for that: rows of (index, key column)
    // in key order, a key the engine could not seek by the column's own comparison without a
    // name. Nothing for the Other dialect.
    static std::optional<Statement> indexKeysQuery(Dialect dialect, const QString& table);

    std::shared_ptr<ResultSet> openSnapshot(const Statement& select);
    // Runs an action statement and returns the number of rows it changed.
    int execute(const Statement& action);
    // In one write transaction whose lock is taken before the check: runs `copy` unless `check`
    // finds a row. Commits only a copy that wrote rows; on any failure nothing stays written.
    // Two copies with the same check, run at once from two programs, cannot both find nothing.
    BlockCopy copyUnlessPresent(const Statement& check, const CopyStatements& copy);

private:
    // How a write transaction keeps a second writer out from its start.
    enum class WriteLock {
        // SQLite: BEGIN IMMEDIATE takes the database's write lock at once.
        Immediate,
        // PostgreSQL: a transaction-scoped advisory lock on what the check looks for; readers and
        // other copies pass.
        Advisory,
        // Any other engine: a plain transaction.
        Transaction,
    };

    friend std::shared_ptr<DatabaseConnection> openDatabase(const QString& windowsPath);
    DatabaseConnection(QString name, Engine engine);

    // Finds the dialect, chooses the write lock and sets what the session needs of the engine.
    void setUpSession();
    // Each usable index of the table as its key columns in order, as far as they are plain
    // columns.
    QList<QStringList> seekableIndexes(const QString& table);
    void beginWrite(const Statement& check);
    void endWrite(bool commit);
    // The rows written.
    int copyRows(const CopyStatements& copy);

    QString m_name;
    Engine m_engine;
    Dialect m_dialect = Dialect::Other;
    WriteLock m_writeLock = WriteLock::Transaction;
    CopyForm m_copyForm = CopyForm::RowByRow;
    QHash<QString, QList<QStringList>> m_indexes;
};

// Opens the database file named by a Windows path (see resolveDatabaseFile). The file must exist
// and be a database; it is never created. Waits up to ten seconds for another program's lock.
std::shared_ptr<DatabaseConnection> openDatabase(const QString& windowsPath);

// The local file a Windows path "X:\folder\file" names: on Windows the path itself, elsewhere the
// file below Wine's drive folder for X, matching each name without regard to case where no exact
// match exists. Throws for a path of any other form.
QString resolveDatabaseFile(const QString& windowsPath);

} // namespace duplivo
