// The company database as the window uses it: connections, read-only results and statements
// whose values are always bound, never written into the statement's text.
#pragma once

#include <memory>
#include <optional>

#include <QHash>

#include "db/session.h"
#include "db/statement.h"

namespace duplivo {

// A block copy in the forms engines take. Where a parameter may stand in a select list, one
// INSERT … SELECT copies inside the engine, every value exactly as stored. Elsewhere the rows
// are read and appended one by one: each row of `readRows` is bound after the values
// `appendRow` already holds.
struct CopyStatements
{
    // The table the copy writes.
    QString table;
    Statement insertSelect;
    Statement readRows;
    Statement appendRow;
    // Removes what a failed copy wrote, where the engine cannot undo it.
    Statement removeCopied;

    friend bool operator==(const CopyStatements&, const CopyStatements&) = default;
};

// How the database at the path is reached: a SQLite file, a Jet/ACE file, or an ODBC file DSN
// that names a driver (a database server, or a file another driver reads).
enum class Engine { Sqlite, Jet, Odbc };

class DatabaseConnection
{
public:
    enum class BlockCopy { Copied, AlreadyPresent, NothingToCopy };
    enum class CopyForm {
        InsertSelect,
        // INSERT … SELECT first; row by row from then on where the driver refuses it before
        // writing anything.
        TryInsertSelect,
        RowByRow,
    };

    DatabaseConnection(Engine engine, std::unique_ptr<Session> session);
    ~DatabaseConnection();
    DatabaseConnection(const DatabaseConnection&) = delete;
    DatabaseConnection& operator=(const DatabaseConnection&) = delete;

    Engine engine() const { return m_engine; }
    Dialect dialect() const { return m_session->dialect(); }
    // Chosen for the dialect when the connection opens; the tests run every form on every engine.
    CopyForm copyForm() const { return m_copyForm; }
    void setCopyForm(CopyForm form) { m_copyForm = form; }

    // How many of `columns`, in order, lead one index of `table` that the engine can seek by
    // each column's own comparison (its collation, its default ordering): 0 when none does, and
    // always 0 on engines whose schema is not read. The schema is read once per connection.
    int indexedLeadingColumns(const QString& table, const QStringList& columns);
    // The most characters a value of the text column may hold, as the engine declares it:
    // nothing for unbounded text.
    std::optional<int> textLength(const QString& table, const QString& column);

    std::shared_ptr<ResultSet> openSnapshot(const Statement& select);
    // Runs an action statement and returns the number of rows it changed.
    qint64 execute(const Statement& action);
    // In one write transaction whose lock is taken before the check: runs `copy` unless `check`
    // finds a row. Commits only a copy that wrote rows; on any failure nothing stays written,
    // also where the engine cannot undo it. Two copies with the same check, run at once from two
    // programs, cannot both find nothing on engines with a lock for it.
    BlockCopy copyUnlessPresent(const Statement& check, const CopyStatements& copy);

private:
    // Sets what the session needs of the engine, and the copy form its dialect takes.
    void setUpSession();
    void lockBlock(const Statement& check);
    void unlockBlock(const Statement& check) noexcept;
    qint64 copyRows(const Statement& check, const CopyStatements& copy);
    // After a failed copy, where a rollback may leave rows: removes them, or says why not.
    QString removeWhatFailedCopyWrote(const CopyStatements& copy) noexcept;

    Engine m_engine;
    std::unique_ptr<Session> m_session;
    CopyForm m_copyForm = CopyForm::TryInsertSelect;
    QHash<QString, QList<QStringList>> m_indexes;
    QHash<QString, std::optional<int>> m_textLengths;
    // Whether a rollback undoes every write of a copy, read at the first copy.
    std::optional<bool> m_undoesWrites;
};

// Opens the database file named by a Windows path (see locateDatabaseFile). The file must exist
// and be a database; it is never created. Waits up to ten seconds for another program's lock.
std::shared_ptr<DatabaseConnection> openDatabase(const QString& windowsPath);

} // namespace duplivo
