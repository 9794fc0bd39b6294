#include "bench/cases.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include <QDateTime>
#include <QWidget>

#include "base/savedcopies.h"
#include "bench/dataset.h"
#include "bench/measure.h"
#include "db/granguia.h"
#include "db/savedcopy.h"
#include "db/schema.h"
#include "ui/longwork.h"

namespace duplivo::bench {

namespace {

constexpr double alreadyPresentLimit = 1.2;

// The window's worker, while a WindowWork lives.
QWidget* windowThread = nullptr;
LongWork* longWork = nullptr;

SavedCopyOrigin savedOrigin(const QString& database, const QString& company, const QString& program)
{
    return {database, company, program, granguia::tableName, QDateTime::currentDateTime()};
}

void asTheWindowRuns(bool offThread, const std::function<void()>& work)
{
    if (offThread && longWork)
        longWork->run(QStringLiteral("Duplivo"), work, [] { return false; });
    else
        work();
}
constexpr double alreadyPresentMemoryLimitMiB = 4.0;

// The window's own walk over a result (frmSeleccion::columnValues).
QStringList columnValues(ResultSet& rows, const QString& column)
{
    QStringList values;
    if (rows.hasRows()) {
        for (rows.moveFirst(); !rows.atEnd(); rows.moveNext()) {
            const QVariant value = rows.field(column);
            if (!value.isNull())
                values << value.toString();
        }
    }
    return values;
}

qint64 listed(const std::function<Statement(DatabaseConnection&)>& select, const QString& column)
{
    const std::shared_ptr<DatabaseConnection> connection = openDatabase(WineDrive::windowsPath);
    const std::shared_ptr<ResultSet> rows = connection->openSnapshot(select(*connection));
    return columnValues(*rows, column).size();
}

double timeOnce(const Case& c, const std::function<qint64()>& path, const char* side)
{
    if (c.reset)
        c.reset();
    const Clock::time_point start = Clock::now();
    const qint64 result = path();
    const double ms = millisecondsSince(start);
    if (result != c.expected)
        fail(QStringLiteral("%1 (%2) da %3 en vez de %4")
                 .arg(c.name, QLatin1String(side))
                 .arg(result)
                 .arg(c.expected));
    if (c.afterwards) {
        const qint64 left = c.afterwards();
        if (left != c.expectedAfterwards)
            fail(QStringLiteral("%1 (%2) deja %3 filas en vez de %4")
                     .arg(c.name, QLatin1String(side))
                     .arg(left)
                     .arg(c.expectedAfterwards));
    }
    return ms;
}

// The copy's answer that the new company already has the program must cost what the check
// costs, not what reading the block would: as for a block of one row, and with no more memory.
void runAlreadyPresent(const Engine& engine, std::vector<Verdict>& verdicts)
{
    engine.restore(DataSet::Big);
    engine.addRows(DataSet::Big, data::newCompany, data::bigProgram, data::presentBlockRows);
    engine.addRows(DataSet::Big, data::newCompany, data::smallProgram, 1);
    const auto answer = [](const QString& source, const QString& program) {
        const Clock::time_point start = Clock::now();
        if (oursCopy(source, program) != 0)
            fail(QStringLiteral("la copia no ve el bloque que ya está"));
        return millisecondsSince(start);
    };
    answer(data::bigCompany, data::bigProgram);
    answer(data::smallCompany, data::smallProgram);
    const double idle = statusMiB("VmRSS");
    resetPeak();
    std::vector<double> big;
    std::vector<double> small;
    for (int run = 0; run < runs; ++run) {
        // In turn, so that load from elsewhere falls on both.
        big.push_back(answer(data::bigCompany, data::bigProgram));
        small.push_back(answer(data::smallCompany, data::smallProgram));
    }
    const double growth = std::max(0.0, statusMiB("VmHWM") - idle);
    const Timing timing {median(big), median(small)};
    const QString name = engine.prefix + QStringLiteral("already_present_1m");
    std::printf("%s ours_1m_ms=%.3f ours_1_ms=%.3f ratio=%.2f peak_growth_mib=%.1f\n",
        qPrintable(name), timing.oursMs, timing.rawMs, timing.ratio(), growth);
    std::fflush(stdout);
    verdicts.push_back({name + QStringLiteral(" ratio"), timing.ratio(), alreadyPresentLimit});
    verdicts.push_back(
        {name + QStringLiteral(" peak_growth_mib"), growth, alreadyPresentMemoryLimitMiB});
}

} // namespace

qint64 oursCompanyList()
{
    return listed(
        [](DatabaseConnection& connection) {
            return granguia::listCompanies(granguia::companyListRead(connection));
        },
        granguia::companyColumn);
}

qint64 oursProgramList(const QString& company)
{
    return listed(
        [&company](DatabaseConnection& connection) {
            return granguia::listPrograms(company, granguia::programListRead(connection));
        },
        granguia::programColumn);
}

WindowWork::WindowWork()
{
    windowThread = new QWidget;
    longWork = new LongWork(windowThread);
}

WindowWork::~WindowWork()
{
    delete longWork;
    delete windowThread;
    longWork = nullptr;
    windowThread = nullptr;
}

qint64 oursCopy(const QString& source, const QString& program, bool offThread)
{
    // As the window does a copy's first program: the connection, the name's length and the
    // copy in one piece of work.
    DatabaseConnection::BlockCopy outcome = DatabaseConnection::BlockCopy::NothingToCopy;
    asTheWindowRuns(offThread, [&] {
        const std::shared_ptr<DatabaseConnection> connection = openDatabase(WineDrive::windowsPath);
        granguia::longestCompanyName(*connection);
        outcome = connection->copyUnlessPresent(
            granguia::findBlock(data::newCompany, program, connection->dialect()),
            granguia::copyBlock(source, data::newCompany, program, connection->dialect()));
    });
    return outcome == DatabaseConnection::BlockCopy::Copied;
}

qint64 oursDelete(const QString& company, const QString& program, bool offThread)
{
    // The window deletes on the connection its lists opened, keeping a copy of the block first.
    const std::shared_ptr<DatabaseConnection> connection = openDatabase(WineDrive::windowsPath);
    qint64 deleted = 0;
    asTheWindowRuns(offThread, [&] {
        SavedCopyWriter saved(
            savedCopiesFolder(), savedOrigin(connection->description(), company, program));
        deleted = connection->deleteBlock(granguia::tableName,
            granguia::blockRows(company, program, connection->dialect()),
            granguia::deleteBlock(company, program), saved);
    });
    return deleted;
}

// The copy a delete keeps, on one connection as the raw side reads on one.
qint64 oursSavedCopy(const QString& company, const QString& program)
{
    OpenedSession opened = openSession(WineDrive::windowsPath);
    SavedCopyWriter saved(savedCopiesFolder(), savedOrigin(opened.description, company, program));
    opened.session->saveRows(granguia::blockRows(company, program, opened.session->dialect()),
        saved, [] { return true; });
    saved.keep();
    return saved.rows();
}

std::vector<Timing> runCases(const std::vector<Case>& cases)
{
    for (const Case& c : cases) {
        timeOnce(c, c.ours, "ours");
        timeOnce(c, c.raw, "raw");
        if (c.direct)
            timeOnce(c, c.direct, "direct");
    }
    std::vector<std::vector<double>> ours(cases.size());
    std::vector<std::vector<double>> raw(cases.size());
    std::vector<std::vector<double>> direct(cases.size());
    int rounds = 0;
    for (const Case& c : cases)
        rounds = std::max(rounds, c.runs);
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            // Alternating which goes first cancels any drift of the load within a round.
            const std::size_t k = (i + round) % cases.size();
            const Case& c = cases[k];
            if (round >= c.runs)
                continue;
            // Each side takes each place in turn, so that what one leaves behind (the cache, the
            // disk's writes) falls on every side alike.
            std::vector<std::function<void()>> sides {
                [&] { ours[k].push_back(timeOnce(c, c.ours, "ours")); },
                [&] { raw[k].push_back(timeOnce(c, c.raw, "raw")); }};
            if (c.direct)
                sides.push_back([&] { direct[k].push_back(timeOnce(c, c.direct, "direct")); });
            const std::size_t first = (round + k) % sides.size();
            for (std::size_t side = 0; side < sides.size(); ++side)
                sides[(first + side) % sides.size()]();
        }
    }
    std::vector<Timing> timings;
    for (std::size_t k = 0; k < cases.size(); ++k) {
        Timing timing {median(ours[k]), median(raw[k])};
        std::printf("%s ours_ms=%.3f raw_ms=%.3f ratio=%.2f", qPrintable(cases[k].name),
            timing.oursMs, timing.rawMs, timing.ratio());
        if (!direct[k].empty()) {
            timing.directMs = median(direct[k]);
            std::printf(" direct_ms=%.3f off_thread=%.3f", timing.directMs, timing.offThreadCost());
        }
        std::printf("\n");
        timings.push_back(timing);
    }
    std::fflush(stdout);
    return timings;
}

Timing runCase(const Case& c)
{
    return runCases({c}).front();
}

SmallCopyTimings runBlockCases(const Engine& engine, std::vector<Verdict>& verdicts)
{
    const auto offThread = [&](const Case& c, const Timing& timing) {
        if (c.direct)
            verdicts.push_back(
                {c.name + QStringLiteral(" off_thread"), timing.offThreadCost(), offThreadLimit});
    };
    const auto timed = [&](const Case& c) {
        const Timing timing = runCase(c);
        if (engine.ratioLimit)
            verdicts.push_back(
                {c.name + QStringLiteral(" ratio"), timing.ratio(), *engine.ratioLimit});
        offThread(c, timing);
        return timing;
    };
    const auto named = [&](const char* name) { return engine.prefix + QLatin1String(name); };

    // The raw lists run what the program runs on this schema: the read of the index keys, once
    // per connection, and the list statement that chose.
    engine.restore(DataSet::Big);
    Statement companyList;
    Statement programList;
    {
        const std::shared_ptr<DatabaseConnection> connection = openDatabase(WineDrive::windowsPath);
        if (connection->dialect() != engine.dialect)
            fail(QStringLiteral("el programa no reconoce el motor de la base de datos"));
        companyList = granguia::listCompanies(granguia::companyListRead(*connection));
        programList
            = granguia::listPrograms(data::typicalCompany, granguia::programListRead(*connection));
    }
    std::vector<Statement> before;
    if (const std::optional<Statement> keys
        = schema::indexKeysQuery(engine.dialect, granguia::tableName))
        before.push_back(*keys);
    const auto then = [&before](const Statement& list) {
        std::vector<Statement> statements = before;
        statements.push_back(list);
        return statements;
    };
    timed({named("company_list"), nullptr, [] { return oursCompanyList(); },
        engine.rawList(DataSet::Big, then(companyList)), data::companies});
    timed({named("program_list"), nullptr, [] { return oursProgramList(data::typicalCompany); },
        engine.rawList(DataSet::Big, then(programList)), data::programsPerCompany});

    const auto copyCase = [&](const char* name, DataSet set, const QString& source,
                              const QString& program, int rows) {
        Case c {named(name), [&engine, set] { engine.restore(set); },
            [source, program] { return oursCopy(source, program); },
            engine.rawCopy(set,
                schema::textLengthQuery(
                    engine.dialect, granguia::tableName, granguia::companyColumnName),
                granguia::blockLock(data::newCompany, program, engine.dialect),
                granguia::findBlock(data::newCompany, program, engine.dialect),
                granguia::copyBlock(source, data::newCompany, program, engine.dialect)
                    .insertSelect),
            1, [&engine, set, program] { return engine.rows(set, data::newCompany, program); },
            rows};
        c.direct = [source, program] { return oursCopy(source, program, false); };
        return c;
    };
    timed(copyCase(
        "copy_100k", DataSet::Big, data::bigCompany, data::bigProgram, data::bigBlockRows));
    std::vector<Case> small = {copyCase("copy_10_into_1m", DataSet::Big, data::smallCompany,
                                   data::smallProgram, data::smallBlockRows),
        copyCase("copy_10_into_1k", DataSet::Small, data::smallCompany, data::smallProgram,
            data::smallBlockRows)};
    // A millisecond or two each: what running off the window's thread adds is a few hundredths,
    // and more runs are needed to tell it from the machine's noise.
    for (Case& c : small)
        c.runs = 9 * runs;
    const std::vector<Timing> smallCopies = runCases(small);
    offThread(small[0], smallCopies[0]);
    offThread(small[1], smallCopies[1]);
    if (engine.smallCopyRatioLimit) {
        verdicts.push_back(
            {named("copy_10_into_1m ratio"), smallCopies[0].ratio(), *engine.smallCopyRatioLimit});
        verdicts.push_back(
            {named("copy_10_into_1k ratio"), smallCopies[1].ratio(), *engine.smallCopyRatioLimit});
    }

    runAlreadyPresent(engine, verdicts);

    // The delete keeps a copy of the block first: against the engine's own delete alone, and
    // the copy against reading the same rows with the engine's own library.
    Case remove {named("delete_100k"), [&engine] { engine.restore(DataSet::Big); },
        [] { return oursDelete(data::bigCompany, data::bigProgram); },
        engine.rawDelete(DataSet::Big, granguia::deleteBlock(data::bigCompany, data::bigProgram)),
        data::bigBlockRows,
        [&engine] { return engine.rows(DataSet::Big, data::bigCompany, data::bigProgram); }, 0};
    remove.direct = [] { return oursDelete(data::bigCompany, data::bigProgram, false); };
    const Timing deletion = runCase(remove);
    offThread(remove, deletion);
    if (engine.deleteWithCopyLimit)
        verdicts.push_back({remove.name + QStringLiteral(" ratio"), deletion.ratio(),
            *engine.deleteWithCopyLimit});
    engine.restore(DataSet::Big);
    const Case copy {named("saved_copy_100k"), nullptr,
        [] { return oursSavedCopy(data::bigCompany, data::bigProgram); },
        engine.rawList(DataSet::Big,
            {granguia::blockRows(data::bigCompany, data::bigProgram, engine.dialect)}),
        data::bigBlockRows};
    const Timing saving = runCase(copy);
    if (engine.savedCopyLimit)
        verdicts.push_back(
            {copy.name + QStringLiteral(" ratio"), saving.ratio(), *engine.savedCopyLimit});
    return {smallCopies[0], smallCopies[1]};
}

void note(const QString& text)
{
    std::fprintf(stderr, "# %s\n", qPrintable(text));
}

} // namespace duplivo::bench
