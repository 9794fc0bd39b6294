// One open connection to an engine, as DatabaseConnection drives it: SQLite's own library for
// SQLite files, the program's own ODBC layer for everything an ODBC driver reaches.
#pragma once

#include <exception>
#include <functional>
#include <optional>

#include "db/statement.h"

namespace duplivo {

class SavedCopyWriter;

// The SQL the engine behind a connection speaks, found when it opens. A SQLite file behind an
// ODBC driver speaks SQLite's.
enum class Dialect { Sqlite, PostgreSql, MariaDb, Access, Other };

// Told after each row a row-by-row write appends, with the rows there are in all; answers false
// to stop there.
using RowProgress = std::function<bool(qint64 done, qint64 total)>;

// A column of a result as the engine describes it: its name, its type's name, and for ODBC
// sources its SQL type, size and decimal digits.
struct ColumnDescription
{
    QString name;
    QString type;
    int sqlType = 0;
    qint64 size = 0;
    int digits = 0;

    friend bool operator==(const ColumnDescription&, const ColumnDescription&) = default;
};

// Thrown where work stops because the operator asked it to; what it had written is undone before.
class WorkStopped final : public std::exception
{
public:
    const char* what() const noexcept override { return "stopped"; }
};

class Session
{
public:
    virtual ~Session() = default;

    virtual Dialect dialect() const = 0;
    // Every row of a select, read before it returns.
    virtual ResultSet select(const Statement& statement) = 0;
    // Whether a select gives a row; no more than the first is fetched.
    virtual bool hasRow(const Statement& statement) = 0;
    // Runs an action statement; returns the rows it changed.
    virtual qint64 execute(const Statement& statement) = 0;
    // Reads every row `read` selects, then runs `append` once for each row: `append`'s own values
    // first, then the row's, each bound by its column's type so that it is stored as it was
    // read. Returns the rows appended. Where `progress` answers false, throws WorkStopped.
    virtual qint64 appendRows(
        const Statement& read, const Statement& append, const RowProgress& progress = {})
        = 0;
    // The rows of a select into a saved copy, with what the engine says of each column, every
    // value as it is stored: integers, floats, text, bytes, decimals as their digits, dates and
    // times as the engine writes them. Where `keepGoing` answers false, throws WorkStopped.
    virtual void saveRows(
        const Statement& select, SavedCopyWriter& saved, const std::function<bool()>& keepGoing)
        = 0;
    // Runs `append` once for each of `rows`: `append`'s own values first, then the row's, each
    // bound by the type of the column `describe` gives in its place, so that a value a saved
    // copy kept is stored as it was. Returns the rows appended; where `progress` answers false,
    // throws WorkStopped.
    virtual qint64 insertRows(const Statement& describe, const Statement& append,
        const QList<QVariantList>& rows, const RowProgress& progress = {})
        = 0;
    // The most characters the text column the select gives first may hold, as the engine
    // describes it: nothing for unbounded text, or where the engine does not say.
    virtual std::optional<int> describedTextLength(const Statement& select) = 0;

    // A transaction that, where the engine has one lock for the whole database, holds it from
    // the start. Statements run in it until commit or rollback.
    virtual void begin() = 0;
    virtual void commit() = 0;
    // Never throws: it runs after a failure, and that failure is the one to report.
    virtual void rollback() noexcept = 0;

    // Asks the engine to stop the statement running now, from another thread while one runs on
    // this session; that statement then fails. False where the engine cannot stop a statement
    // before it ends. Does nothing when no statement runs.
    virtual bool cancel() noexcept = 0;
};

} // namespace duplivo
