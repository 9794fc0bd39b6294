// The company database as the window uses it: connections, read-only results and statements
// whose values are always bound, never written into the statement's text.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include <QHash>

#include "db/session.h"
#include "db/statement.h"

namespace duplivo {

class SavedCopyWriter;

// A block copy in the forms engines take. Where a parameter may stand in a select list, one
// INSERT … SELECT copies inside the engine, every value exactly as stored. Elsewhere the rows
// are read and appended one by one: each row of `readRows` is bound after the values
// `appendRow` already holds. The name the rows are written under is the first value of
// `insertSelect`, of `appendRow` and of the copy's check; where a rollback cannot undo a copy,
// the copy writes them under a name of its own first, and gives them the new name at the end.
struct CopyStatements
{
    // The table the copy writes, and the column that holds the name.
    QString table;
    QString nameColumn;
    Statement insertSelect;
    Statement readRows;
    Statement appendRow;
    // Gives the rows written under the name bound second the name bound first, in one statement.
    Statement rename;
    // Removes the rows written under the name bound first.
    Statement removeWritten;
    // Where the engine has a lock for it (see DatabaseConnection::copyUnlessPresent): a statement
    // that takes it (PostgreSQL, in the transaction) or gives its name (MariaDB, for GET_LOCK), the
    // same for every pair of names the table's columns take as equal.
    std::optional<Statement> blockLock;

    friend bool operator==(const CopyStatements&, const CopyStatements&) = default;
};

// A statement with one of its values replaced.
Statement withValue(Statement statement, int index, const QVariant& value);

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
    // Deletes a block of the table, in a transaction that a stop rolls back where the engine
    // can undo it; where it cannot, the delete is not stopped once it has begun. Every row
    // `read` selects goes to `saved` first, in the same transaction, and the delete happens only
    // once that copy is complete on disk: one that cannot be written deletes nothing
    // (SaveFailure), and a delete that does not happen discards it; `deleting` is told when the
    // copy is kept and the delete begins. Returns the rows deleted.
    qint64 deleteBlock(const QString& table, const Statement& read, const Statement& remove,
        SavedCopyWriter& saved, const std::function<void()>& deleting = {});
    // What the connection reaches, in words, for a saved copy; never a password.
    const QString& description() const { return m_description; }
    void setDescription(const QString& description) { m_description = description; }
    // In one write transaction whose lock is taken before the check: runs `copy` unless `check`
    // finds a row. Commits only a copy that wrote rows. On any failure nothing it wrote stays,
    // and nothing else is removed, also where the engine cannot undo it; where it cannot tell
    // what it wrote, the failure says which block to look at. Two copies whose checks the table
    // takes as the same, run at once from two programs, cannot both find nothing on engines with
    // a lock for it.
    BlockCopy copyUnlessPresent(const Statement& check, const CopyStatements& copy);
    // Puts saved rows back as a copy writes a block, under the same guard: `append`, with
    // `describe` giving its columns' types, takes each of `rows`, whose value at `nameAt` is
    // the company's name.
    BlockCopy restoreUnlessPresent(const Statement& check, const CopyStatements& copy,
        const Statement& describe, const Statement& append, QList<QVariantList> rows, int nameAt);

    // From another thread, while a copy or a delete runs on this one: asks it to stop. The
    // statement running is cancelled where the engine can and nothing of that program stays;
    // the work then throws WorkStopped. False where the statement running cannot be stopped
    // before it ends: the work stops after it, or not at all if it was the last. Once asked,
    // every later copy or delete on the connection stops before it begins.
    bool requestStop() noexcept;
    // Told, on the thread that runs the work, how far a row-by-row copy has got.
    void setProgress(std::function<void(qint64 done, qint64 total)> progress)
    {
        m_progress = std::move(progress);
    }

    // Whether a rollback undoes every write of a copy to the table, read at the first copy; the
    // tests set it, to run the other path on every engine.
    bool undoesWrites(const QString& table);
    void setUndoesWrites(bool undoes) { m_undoesWrites = undoes; }

private:
    // Sets what the session needs of the engine, and the copy form its dialect takes.
    void setUpSession();
    // The session's lock on the block, where the engine's is the session's (MariaDB): the name
    // it was taken under, to release.
    QString lockBlock(const CopyStatements& copy);
    void unlockBlock(const QString& name) noexcept;
    // Runs `write` unless `check` finds a row, as copyUnlessPresent says.
    BlockCopy writeUnlessPresent(const Statement& check, const CopyStatements& copy,
        const std::function<qint64(const QString& name)>& write);
    // Writes the rows under `name`: how many, −1 where the engine did not say.
    qint64 copyRows(const Statement& check, const CopyStatements& copy, const QString& name);
    // A name no other program's rows can have, for the rows of a copy that cannot be undone.
    QString stagingName(const CopyStatements& copy);
    // After a failed copy that wrote under `staging`: removes what it wrote, or says what to look
    // at.
    QString removeWhatFailedCopyWrote(const Statement& check, const CopyStatements& copy,
        const QString& staging, bool renaming) noexcept;

    Engine m_engine;
    std::unique_ptr<Session> m_session;
    QString m_description;
    CopyForm m_copyForm = CopyForm::TryInsertSelect;
    QHash<QString, QList<QStringList>> m_indexes;
    QHash<QString, std::optional<int>> m_textLengths;
    // Whether a rollback undoes every write of a copy, read at the first copy.
    std::optional<bool> m_undoesWrites;

    // While a statement runs that must not be cut short (a rename or a commit, which a cancel
    // could leave half done where nothing undoes it), a stop only waits for it.
    void setCancellable(bool cancellable);
    // Ends a LOCK TABLES, where one was taken; a connection that is gone took it with it.
    void releaseTables(bool held) noexcept;
    void stopIfAsked();
    // Rows written, for the progress shown; false once a stop is asked for.
    RowProgress rowProgress();
    std::mutex m_stopMutex;
    std::atomic<bool> m_stop = false;
    bool m_cancellable = true;
    std::function<void(qint64, qint64)> m_progress;
};

// Opens the database file named by a Windows path (see locateDatabaseFile). The file must exist
// and be a database; it is never created. Waits up to ten seconds for another program's lock.
std::shared_ptr<DatabaseConnection> openDatabase(const QString& windowsPath);
// The session under it, with its engine and what it reaches in words: what openDatabase wraps.
struct OpenedSession
{
    Engine engine;
    std::unique_ptr<Session> session;
    QString description;
};
OpenedSession openSession(const QString& windowsPath);

} // namespace duplivo
