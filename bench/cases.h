// What every database case of the benchmark shares: the cases, how they are timed, and the
// program's own paths through the functions the window's handlers call.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include <QString>

#include "db/database.h"

namespace duplivo::bench {

// Timed runs of each path, after one that is not counted.
constexpr int runs = 11;

struct Case
{
    QString name;
    // Untimed, before each run: puts back the database the run starts from.
    std::function<void()> reset;
    std::function<qint64()> ours;
    std::function<qint64()> raw;
    // What both paths return: the values listed, or whether the block was copied, or the rows
    // deleted.
    qint64 expected;
    // Untimed, after each run: the rows the run left in the block it wrote.
    std::function<qint64()> afterwards = {};
    qint64 expectedAfterwards = 0;
    // Fewer timed runs for a case whose run takes seconds.
    int runs = bench::runs;
    // Where `ours` runs as the window runs it, off its thread: the same work called on this
    // thread, as the window called it before, to tell what running it off the thread costs.
    std::function<qint64()> direct = {};
};

struct Timing
{
    double oursMs;
    double rawMs;
    double directMs = 0;
    double ratio() const { return oursMs / rawMs; }
    double offThreadCost() const { return oursMs / directMs; }
};

// While it lives, the copies and deletes of oursCopy and oursDelete run as the window runs them:
// on its worker thread, the calling thread waiting in its event loop. Needs a QApplication.
class WindowWork
{
public:
    WindowWork();
    ~WindowWork();
    WindowWork(const WindowWork&) = delete;
    WindowWork& operator=(const WindowWork&) = delete;
};
// What running off the window's thread may add to a copy or a delete.
constexpr double offThreadLimit = 1.05;

struct Verdict
{
    QString what;
    double value;
    double limit;
};

// Runs the cases in turn, one run of each path of each case per round, so that a spell of load
// from elsewhere on the machine falls on all of them rather than on one; cases compared with each
// other go in one call. Prints a line for each and returns their medians.
std::vector<Timing> runCases(const std::vector<Case>& cases);
Timing runCase(const Case& c);

// A line for whoever runs the benchmark, not for the results.
void note(const QString& text);

// The window's paths on the database at the Wine drive's path, each on a new connection as the
// window's handlers open one: the company list, one company's programs (each read the way the
// window reads it), a copy of one block to the new company, and a delete.
qint64 oursCompanyList();
qint64 oursProgramList(const QString& company);
qint64 oursCopy(const QString& source, const QString& program, bool offThread = true);
qint64 oursDelete(const QString& company, const QString& program, bool offThread = true);
// The copy a delete keeps of the block, read and written as the delete does, before it deletes.
qint64 oursSavedCopy(const QString& company, const QString& program);

// The two data sets the block cases run on: 1,000,000 rows with the big block, and 1,000 rows.
enum class DataSet { Big, Small };

// One engine's side of the block cases. Each raw path is made before the timing, with its
// statements already in the engine's own form, and runs them on a new connection.
struct Engine
{
    // Before each case's name: "" or "pg_".
    QString prefix;
    // Targets for ours against the engine's own; none where the ratios are only reported.
    std::optional<double> ratioLimit;
    // The small copies are mostly connecting and round trips: what the program's layer adds.
    std::optional<double> smallCopyRatioLimit;
    Dialect dialect;
    // Untimed: puts back the data set as it was generated and points the program at it.
    std::function<void(DataSet)> restore;
    // Untimed: the rows of a block as they stand.
    std::function<qint64(DataSet, const QString& company, const QString& program)> rows;
    // The statements in turn on one connection; counts the values the last one lists.
    std::function<std::function<qint64()>(DataSet, const std::vector<Statement>& statements)>
        rawList;
    // A copy command of one program, as the window runs it: the read of the company column's
    // length, then the copy's transaction as DatabaseConnection::copyUnlessPresent runs it, with
    // the block's lock where the engine has one.
    std::function<std::function<qint64()>(DataSet, const Statement& length,
        const std::optional<Statement>& lock, const Statement& check, const Statement& copy)>
        rawCopy;
    std::function<std::function<qint64()>(DataSet, const Statement& remove)> rawDelete;
    // Untimed: adds `rows` rows to the block of a company and program.
    std::function<void(DataSet, const QString& company, const QString& program, int rows)> addRows;
    // What a delete with the copy it keeps may cost against the engine's own delete; what
    // writing that copy may cost against reading the same rows with the engine's own library.
    std::optional<double> deleteWithCopyLimit = std::nullopt;
    std::optional<double> savedCopyLimit = std::nullopt;
};

struct SmallCopyTimings
{
    Timing intoBig;
    Timing intoSmall;
};

// The company and program lists, a copy of the big block, copies of the small block into each
// data set and the delete of the big block, each ours against the engine's own; and the copy's
// answer when the new company already has the program, for a block of a million rows against a
// block of one. A verdict for each. Returns the small copies' timings.
SmallCopyTimings runBlockCases(const Engine& engine, std::vector<Verdict>& verdicts);

} // namespace duplivo::bench
