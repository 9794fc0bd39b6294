// duplivo-bench: times the paths the window's handlers take through the database against the same
// statements run with SQLite's own library on the same file, and with libpq on a PostgreSQL
// server, and the lists at scale against DISTINCT over every row; measures the memory a copy
// takes through the real window; and times the program's start-up against a minimal Qt window
// that shows one line of text (and the empty window, for comparison).
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <sqlite3.h>

#include "bench/cases.h"
#include "bench/copymemory.h"
#include "bench/dataset.h"
#include "bench/launchtime.h"
#include "bench/measure.h"
#include "bench/server.h"
#include "db/database.h"
#include "db/granguia.h"

namespace duplivo::bench {

namespace {

constexpr int launches = 11;

constexpr double ratioLimit = 1.5;
// A delete keeps a copy of what it removes, written and synced first.
constexpr double deleteWithCopyLimit = 3.0;
// The lists at scale against DISTINCT over every row: stepping through the index, and without
// one, where the program must read them as DISTINCT does.
constexpr double walkRatioLimit = 0.05;
constexpr double distinctRatioLimit = 1.2;
// Each run of a list without the index reads all 5,000,000 rows.
constexpr int fullReadRuns = 5;
constexpr double copyScalingLimit = 2.0;
constexpr double copyMemoryLimitMiB = 32.0;
constexpr double startupRatioLimit = 1.3;

const QString copyMemoryMode = QStringLiteral("--copy-memory");

// The statements in turn on one connection; the values the last one lists are counted.
qint64 rawList(const QByteArray& file, const std::vector<RawSql>& statements)
{
    const RawConnection connection(file);
    std::vector<std::string> values;
    for (const RawSql& sql : statements) {
        values.clear();
        RawStatement query(connection, sql);
        while (query.step()) {
            if (const auto* text
                = reinterpret_cast<const char*>(sqlite3_column_text(query.handle(), 0)))
                values.emplace_back(text, sqlite3_column_bytes(query.handle(), 0));
        }
    }
    return qint64(values.size());
}

// The same work as a copy of one program by the window.
qint64 rawCopy(
    const QByteArray& file, const RawSql& length, const RawSql& check, const RawSql& copy)
{
    const RawConnection connection(file);
    RawStatement(connection, length).step();
    connection.exec("BEGIN IMMEDIATE");
    bool present = false;
    {
        RawStatement find(connection, check);
        present = find.step();
    }
    int copied = 0;
    if (!present) {
        RawStatement insert(connection, copy);
        insert.step();
        copied = sqlite3_changes(connection.handle());
    }
    connection.exec(copied > 0 ? "COMMIT" : "ROLLBACK");
    return copied > 0;
}

qint64 rawDelete(const QByteArray& file, const RawSql& remove)
{
    const RawConnection connection(file);
    RawStatement statement(connection, remove);
    statement.step();
    return sqlite3_changes(connection.handle());
}

void runDatabaseCases(const WineDrive& drive, const QString& bigMaster, const QString& smallMaster,
    std::vector<Verdict>& verdicts)
{
    const QByteArray file = QFile::encodeName(drive.databaseFile());
    const Engine sqlite {QString(), ratioLimit, ratioLimit, Dialect::Sqlite,
        [&](DataSet set) { drive.install(set == DataSet::Big ? bigMaster : smallMaster); },
        [&drive](DataSet, const QString& company, const QString& program) {
            return countRows(drive.databaseFile(), company, program);
        },
        [file](DataSet, const std::vector<Statement>& statements) {
            std::vector<RawSql> raw;
            for (const Statement& statement : statements)
                raw.push_back(rawSql(statement));
            return [file, raw] { return rawList(file, raw); };
        },
        [file](DataSet, const Statement& length, const std::optional<Statement>&,
            const Statement& check, const Statement& copy) {
            return [file, length = rawSql(length), check = rawSql(check), copy = rawSql(copy)] {
                return rawCopy(file, length, check, copy);
            };
        },
        [file](DataSet, const Statement& remove) {
            return [file, remove = rawSql(remove)] { return rawDelete(file, remove); };
        },
        [file](DataSet, const QString& company, const QString& program, int rows) {
            // The raw side binds every value as text, and to SQLite any integer sorts before any
            // text: the count is cast, or the recursion would never end.
            const RawConnection connection(file);
            RawStatement(connection,
                rawSql({QStringLiteral("INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) "
                                       "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                                       "FROM n WHERE i < CAST(? AS INTEGER)) "
                                       "SELECT ?, ?, 'r' || i, i FROM n"),
                    {rows, company, program}}))
                .step();
        },
        deleteWithCopyLimit};
    const SmallCopyTimings smallCopies = runBlockCases(sqlite, verdicts);

    const double scaling = smallCopies.intoBig.oursMs / smallCopies.intoSmall.oursMs;
    std::printf("copy_10_scaling ours_1m_ms=%.3f ours_1k_ms=%.3f ratio=%.2f\n",
        smallCopies.intoBig.oursMs, smallCopies.intoSmall.oursMs, scaling);
    std::fflush(stdout);
    verdicts.push_back({QStringLiteral("copy_10_scaling ratio"), scaling, copyScalingLimit});
}

// The lists of the database at scale, with its index and then without, against DISTINCT over
// every row run directly on the same file.
void runListsAtScale(const WineDrive& drive, const QString& master, std::vector<Verdict>& verdicts)
{
    const QByteArray file = QFile::encodeName(drive.databaseFile());
    const std::vector<RawSql> companies
        = {rawSql(granguia::listCompanies(granguia::ListRead::Distinct))};
    const std::vector<RawSql> programs
        = {rawSql(granguia::listPrograms(data::bigCompany, granguia::ListRead::Distinct))};
    const auto measure = [&](const QString& schema, int timedRuns, double limit) {
        const std::vector<Timing> timings = runCases({
            {QStringLiteral("company_list_5m_") + schema, nullptr, [] { return oursCompanyList(); },
                [&] { return rawList(file, companies); }, data::scaleCompanies, {}, 0, timedRuns},
            {QStringLiteral("program_list_1m_") + schema, nullptr,
                [] { return oursProgramList(data::bigCompany); },
                [&] { return rawList(file, programs); }, data::programsPerCompany, {}, 0,
                timedRuns},
        });
        verdicts.push_back(
            {QStringLiteral("company_list_5m_%1 ratio").arg(schema), timings[0].ratio(), limit});
        verdicts.push_back(
            {QStringLiteral("program_list_1m_%1 ratio").arg(schema), timings[1].ratio(), limit});
    };
    drive.install(master);
    measure(QStringLiteral("index"), runs, walkRatioLimit);
    RawConnection(file).exec("DROP INDEX GRANGUIA_Empresa_Aplica");
    measure(QStringLiteral("no_index"), fullReadRuns, distinctRatioLimit);
}

void runCopyMemoryChild(
    const WineDrive& drive, const QString& bigMaster, std::vector<Verdict>& verdicts)
{
    drive.install(bigMaster);
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {copyMemoryMode});
    if (!child.waitForFinished(300000) || child.exitStatus() != QProcess::NormalExit
        || child.exitCode() != 0)
        fail(QStringLiteral("la medida de memoria de la copia no termina bien"));
    const QString line = QString::fromUtf8(child.readAllStandardOutput()).trimmed();
    const QRegularExpressionMatch match
        = QRegularExpression(QStringLiteral("^copy_memory .* above_idle_mib=([0-9.-]+)$"))
              .match(line);
    if (!match.hasMatch())
        fail(QStringLiteral("la medida de memoria dice «%1»").arg(line));
    const qint64 copied = countRows(drive.databaseFile(), data::newCompany, data::bigProgram);
    if (copied != data::bigBlockRows)
        fail(QStringLiteral("la copia por la ventana deja %1 filas").arg(copied));
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
    verdicts.push_back({QStringLiteral("copy_memory above_idle_mib"), match.captured(1).toDouble(),
        copyMemoryLimitMiB});
}

void runStartup(std::vector<Verdict>& verdicts)
{
    const StartupTimes times = measureStartup(QCoreApplication::applicationDirPath(), launches);
    const double ratio = times.oursMs / times.minimalTextMs;
    std::printf(
        "startup ours_ms=%.1f raw_ms=%.1f ratio=%.2f\n", times.oursMs, times.minimalTextMs, ratio);
    // Not a target: the empty window reads no fonts, which no window that shows text can avoid.
    std::printf("startup_empty_window ours_ms=%.1f raw_ms=%.1f ratio=%.2f\n", times.oursMs,
        times.minimalMs, times.oursMs / times.minimalMs);
    std::printf("startup_detail ours_mapped_ms=%.1f ours_list_read_ms=%.1f\n", times.oursMappedMs,
        times.oursMs);
    std::fflush(stdout);
    verdicts.push_back({QStringLiteral("startup ratio"), ratio, startupRatioLimit});
}

int run(const QStringList& parts)
{
    const auto wanted = [&parts](const char* part) {
        return parts.isEmpty() || parts.contains(QLatin1String(part));
    };
    std::vector<Verdict> verdicts;
    if (wanted("database") || wanted("memory")) {
        const WineDrive drive;
        const QString bigMaster = drive.folder() + QStringLiteral("/master-1m.sqlite");
        const QString smallMaster = drive.folder() + QStringLiteral("/master-1k.sqlite");
        const Clock::time_point start = Clock::now();
        generateDatabase(bigMaster, data::companies, data::tableRows, true);
        note(QStringLiteral("%1 filas, %2 empresas: %3 MiB en %4 s")
                 .arg(data::tableRows)
                 .arg(data::companies)
                 .arg(QFile(bigMaster).size() / 1048576.0, 0, 'f', 1)
                 .arg(millisecondsSince(start) / 1000.0, 0, 'f', 1));
        if (wanted("database")) {
            generateDatabase(smallMaster, data::smallTableCompanies, data::smallTableRows, false);
            runDatabaseCases(drive, bigMaster, smallMaster, verdicts);

            const QString scaleMaster = drive.folder() + QStringLiteral("/master-5m.sqlite");
            const Clock::time_point generated = Clock::now();
            generateDatabase(
                scaleMaster, data::scaleCompanies, data::scaleRows, false, data::heavyCompanyRows);
            note(QStringLiteral("%1 filas, %2 empresas, una de %3 filas: %4 MiB en %5 s")
                     .arg(data::scaleRows)
                     .arg(data::scaleCompanies)
                     .arg(data::heavyCompanyRows)
                     .arg(QFile(scaleMaster).size() / 1048576.0, 0, 'f', 1)
                     .arg(millisecondsSince(generated) / 1000.0, 0, 'f', 1));
            runListsAtScale(drive, scaleMaster, verdicts);
            QFile::remove(scaleMaster);
        }
        if (wanted("memory"))
            runCopyMemoryChild(drive, bigMaster, verdicts);
    }
    if (wanted("server")) {
        runPostgresCases(verdicts);
        runMariaDbCases(verdicts);
    }
    if (wanted("startup"))
        runStartup(verdicts);

    bool allMet = true;
    for (const Verdict& verdict : verdicts) {
        const bool met = verdict.value <= verdict.limit;
        allMet = allMet && met;
        std::printf("target %s=%.2f limit=%.2f %s\n", qPrintable(verdict.what), verdict.value,
            verdict.limit, met ? "met" : "MISSED");
    }
    std::printf("targets %s\n", allMet ? "all met" : "MISSED");
    return 0;
}

} // namespace

} // namespace duplivo::bench

int main(int argc, char* argv[])
{
    try {
        if (argc == 2 && argv[1] == duplivo::bench::copyMemoryMode)
            return duplivo::bench::runCopyMemory(argc, argv);

        // The copies and deletes run as the window runs them, which needs widgets; none shows.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication application(argc, argv);
        const duplivo::bench::WindowWork windowWork;
        // The copies the deletes keep go to a folder of the run's own, not the user's.
        const QTemporaryDir keptCopies;
        qputenv("XDG_DATA_HOME", QFile::encodeName(keptCopies.path()));
        const QStringList parts = QCoreApplication::arguments().mid(1);
        for (const QString& part : parts) {
            if (part != QLatin1String("database") && part != QLatin1String("memory")
                && part != QLatin1String("server") && part != QLatin1String("startup")) {
                std::fprintf(stderr, "uso: duplivo-bench [database] [memory] [server] [startup]\n");
                return 2;
            }
        }
        return duplivo::bench::run(parts);
    } catch (const duplivo::bench::BenchFailure& failure) {
        std::fprintf(stderr, "duplivo-bench: %s\n", qPrintable(failure.what));
        return 1;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "duplivo-bench: %s\n", failure.what());
        return 1;
    }
}
