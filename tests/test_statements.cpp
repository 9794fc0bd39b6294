// The statements on the company table and the copy's transaction, on each engine: values are
// bound, blocks are exact, values keep their types, and a failed copy leaves nothing behind.
#include <atomic>
#include <ctime>
#include <thread>
#include <utility>

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "app/commandline.h"
#include "base/savedcopies.h"
#include "db/database.h"
#include "db/errors.h"
#include "db/granguia.h"
#include "db/savedcopy.h"
#include "tests/backend.h"
#include "tests/support.h"
#include "ui/messages.h"

using namespace duplivo;
using namespace duplivo::test;

namespace {

const QString agenda = QStringLiteral("Agenda");

// Drops every packet to and from a port on the loopback interface while it lives, as a network
// that goes silent would. Needs root and iptables.
class PacketDrop
{
public:
    explicit PacketDrop(quint16 port)
        : m_port(QString::number(port))
    {
        for (const char* direction : {"--dport", "--sport"})
            run({QStringLiteral("-I"), QStringLiteral("INPUT"), QStringLiteral("-i"),
                QStringLiteral("lo"), QStringLiteral("-p"), QStringLiteral("tcp"),
                QLatin1String(direction), m_port, QStringLiteral("-j"), QStringLiteral("DROP")});
    }
    ~PacketDrop()
    {
        for (const char* direction : {"--dport", "--sport"})
            run({QStringLiteral("-D"), QStringLiteral("INPUT"), QStringLiteral("-i"),
                QStringLiteral("lo"), QStringLiteral("-p"), QStringLiteral("tcp"),
                QLatin1String(direction), m_port, QStringLiteral("-j"), QStringLiteral("DROP")});
    }
    PacketDrop(const PacketDrop&) = delete;
    PacketDrop& operator=(const PacketDrop&) = delete;

    static bool possible() { return run({QStringLiteral("-L"), QStringLiteral("INPUT")}); }

private:
    static bool run(const QStringList& arguments)
    {
        QProcess iptables;
        iptables.start(QStringLiteral("iptables"), arguments);
        return iptables.waitForFinished(10000) && iptables.exitStatus() == QProcess::NormalExit
            && iptables.exitCode() == 0;
    }

    QString m_port;
};

// The server's own number for each session of this database that is waiting inside an insert
// (see CompanyDatabase::slowInsertsOf).
QString sleepingInInsert(const CompanyDatabase& database)
{
    return database.engine() == TestEngine::Postgres
        ? QStringLiteral("SELECT pid FROM pg_stat_activity WHERE datname = current_database() "
                         "AND wait_event = 'PgSleep'")
        : QStringLiteral("SELECT ID FROM information_schema.PROCESSLIST "
                         "WHERE DB = DATABASE() AND STATE = 'User sleep'");
}

DatabaseConnection::BlockCopy copy(
    DatabaseConnection& connection, const QString& from, const QString& to, const QString& program)
{
    return connection.copyUnlessPresent(granguia::findBlock(to, program, connection.dialect()),
        granguia::copyBlock(from, to, program, connection.dialect()));
}

// The real session, answering as some drivers do: −1 for the rows a statement changed (SQL Server
// with NOCOUNT), or a failure of any look that follows a refused statement (a lost connection).
class Misreporting final : public Session
{
public:
    bool uncounted = false;
    bool looksFailAfterRefusal = false;
    bool cannotCancel = false;

    explicit Misreporting(std::unique_ptr<Session> real)
        : m_real(std::move(real))
    { }

    Dialect dialect() const override { return m_real->dialect(); }
    ResultSet select(const Statement& statement) override { return m_real->select(statement); }
    bool hasRow(const Statement& statement) override
    {
        if (looksFailAfterRefusal && m_refused)
            throw EngineFailure(2013, QStringLiteral("Se ha perdido la conexión"));
        return m_real->hasRow(statement);
    }
    qint64 execute(const Statement& statement) override
    {
        qint64 changed = 0;
        try {
            changed = m_real->execute(statement);
        } catch (...) {
            m_refused = true;
            throw;
        }
        return uncounted ? -1 : changed;
    }
    qint64 appendRows(
        const Statement& read, const Statement& append, const RowProgress& progress) override
    {
        const qint64 appended = m_real->appendRows(read, append, progress);
        return uncounted ? -1 : appended;
    }
    void saveRows(const Statement& select, SavedCopyWriter& saved,
        const std::function<bool()>& keepGoing) override
    {
        m_real->saveRows(select, saved, keepGoing);
    }
    qint64 insertRows(const Statement& describe, const Statement& append,
        const QList<QVariantList>& rows, const RowProgress& progress) override
    {
        return m_real->insertRows(describe, append, rows, progress);
    }
    std::optional<int> describedTextLength(const Statement& select) override
    {
        return m_real->describedTextLength(select);
    }
    void begin() override { m_real->begin(); }
    void commit() override { m_real->commit(); }
    void rollback() noexcept override { m_real->rollback(); }
    bool cancel() noexcept override { return !cannotCancel && m_real->cancel(); }

private:
    std::unique_ptr<Session> m_real;
    bool m_refused = false;
};

// A connection to the test database whose session misreports.
std::pair<std::unique_ptr<DatabaseConnection>, Misreporting*> misreporting()
{
    OpenedSession opened = openSession(CompanyDatabase::windowsPath);
    auto wrapper = std::make_unique<Misreporting>(std::move(opened.session));
    Misreporting* script = wrapper.get();
    return {std::make_unique<DatabaseConnection>(opened.engine, std::move(wrapper)), script};
}

} // namespace

class StatementsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void valuesSelectExactlyTheirOwnRows();
    void listsAreTheSameReadEitherWay();
    void copyKeepsValuesAndDefaultsTheRest_data();
    void copyKeepsValuesAndDefaultsTheRest();
    void copyChecksBeforeWriting();
    void failedCopyLeavesNothingAndConnectionUsable();
    void serverLostMidCopyLeavesNothing_data();
    void serverLostMidCopyLeavesNothing();
    void copyLocksOnlyItsOwnBlock();
    void deleteKeepsWhatAnotherProgramWritesMeanwhile();
    void stoppedCopyKeepsNothing_data();
    void stoppedCopyKeepsNothing();
};

void StatementsTest::initTestCase()
{
    if (const QString why = engineUnavailable(); !why.isEmpty())
        DUPLIVO_SKIP_UNAVAILABLE(why);
    // Local time with a gap and a doubled hour: a date and time taken through it would change.
    qputenv("TZ", "Europe/Madrid");
    tzset();
}

void StatementsTest::valuesSelectExactlyTheirOwnRows()
{
    CompanyDatabase database;
    const QStringList names = {
        QStringLiteral("O'Brien"),
        QStringLiteral("O''Brien"),
        QStringLiteral("\"Comillas\""),
        QStringLiteral("100%"),
        QStringLiteral("1000"),
        QStringLiteral("a_b"),
        QStringLiteral("axb"),
        QStringLiteral("barra\\"),
        QStringLiteral("Año Ñandú"),
        QStringLiteral("ano nandu"),
        QStringLiteral("Emoji 😀"),
        QStringLiteral("Espacio "),
        QStringLiteral("Espacio"),
        QStringLiteral("x' OR '1'='1"),
        QStringLiteral("?"),
    };
    for (const QString& name : names) {
        database.insert(
            name, name + QStringLiteral(" programa"), QStringLiteral("1"), QStringLiteral("2"));
        database.insert(name, QStringLiteral("Común"), QStringLiteral("1"), QStringLiteral("2"));
    }
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    QStringList companies
        = columnOf(*connection->openSnapshot(granguia::listCompanies()), granguia::companyColumn);
    companies.sort();
    QStringList expected = names;
    expected.sort();
    QCOMPARE(companies, expected);

    for (const QString& name : names) {
        auto programs = connection->openSnapshot(granguia::listPrograms(name));
        QStringList listed = columnOf(*programs, granguia::programColumn);
        listed.sort();
        QStringList own = {QStringLiteral("Común"), name + QStringLiteral(" programa")};
        own.sort();
        QCOMPARE(listed, own);
        QVERIFY(connection
                    ->openSnapshot(
                        granguia::findBlock(name, QStringLiteral("Común"), connection->dialect()))
                    ->hasRows());
    }
    QVERIFY(!connection->openSnapshot(granguia::listPrograms(QStringLiteral("%")))->hasRows());

    // A delete removes its own block and nothing else, whatever the name holds.
    for (const QString& name : {QStringLiteral("x' OR '1'='1"), QStringLiteral("100%"),
             QStringLiteral("a_b"), QStringLiteral("Espacio ")}) {
        const int before = database.count();
        QCOMPARE(connection->execute(granguia::deleteBlock(name, QStringLiteral("Común"))), 1);
        QCOMPARE(database.count(), before - 1);
        QCOMPARE(database.block(name, QStringLiteral("Común")), QStringList());
    }
    QCOMPARE(database.block(QStringLiteral("Espacio"), QStringLiteral("Común")).size(), 1);
    QCOMPARE(database.block(QStringLiteral("axb"), QStringLiteral("Común")).size(), 1);
}

void StatementsTest::listsAreTheSameReadEitherWay()
{
    CompanyDatabase database;
    const TestEngine engine = database.engine();
    const bool postgres = engine == TestEngine::Postgres;
    const bool sqlite = engine == TestEngine::Sqlite || engine == TestEngine::SqliteOdbc;
    // MariaDB's own DISTINCT already steps through an index: its schema is not read.
    const auto walkedWhereRead = [engine](granguia::ListRead read) {
        return engine == TestEngine::MariaDb ? granguia::ListRead::Distinct : read;
    };
    const auto dropIndex = [&](const QString& name) {
        database.exec(
            QStringLiteral("DROP INDEX %1%2")
                .arg(name,
                    engine == TestEngine::MariaDb ? QStringLiteral(" ON GRANGUIA") : QString()));
    };
    const QStringList companies
        = {QStringLiteral("Ana"), QStringLiteral("ana"), QStringLiteral("ANA"),
            QStringLiteral("Ánade"), QStringLiteral("anade"), QStringLiteral("Espacio"),
            QStringLiteral("Espacio "), QString(""), QStringLiteral("Ñu"), QStringLiteral("Zeta")};
    const QStringList programs = {QStringLiteral("Nóminas"), QStringLiteral("nóminas"),
        QStringLiteral("Nominas"), QStringLiteral("Caja"), QStringLiteral("Caja "), QString("")};
    // Checks the reads the connection chooses and that both reads give the expected lists; a
    // failure names the schema.
    const auto lists = [&](const char* schema, granguia::ListRead companyRead,
                           granguia::ListRead programRead, const QStringList& expected) {
        const QByteArray where = QByteArray("schema: ") + schema;
        // A new connection reads the schema afresh.
        auto connection = openDatabase(CompanyDatabase::windowsPath);
        QVERIFY2(granguia::companyListRead(*connection) == walkedWhereRead(companyRead),
            where + ", company read");
        QVERIFY2(granguia::programListRead(*connection) == walkedWhereRead(programRead),
            where + ", program read");
        const auto read = [&](const Statement& statement, const QString& column) {
            // NULL left out, as the window leaves it; an empty name stays.
            const auto rows = connection->openSnapshot(statement);
            QStringList values;
            for (rows->moveFirst(); !rows->atEnd(); rows->moveNext()) {
                if (const QVariant value = rows->field(column); !value.isNull())
                    values << value.toString();
            }
            values.sort();
            return values;
        };
        const QStringList listed
            = read(granguia::listCompanies(granguia::ListRead::IndexWalk), granguia::companyColumn);
        QVERIFY2(listed == expected, where);
        QVERIFY2(listed == read(granguia::listCompanies(), granguia::companyColumn), where);
        for (const QString& company : listed + QStringList {QStringLiteral("Nadie")}) {
            QVERIFY2(read(granguia::listPrograms(company, granguia::ListRead::IndexWalk),
                         granguia::programColumn)
                    == read(granguia::listPrograms(company), granguia::programColumn),
                where + ", company " + company.toUtf8());
        }
    };

    using enum granguia::ListRead;
    lists("empty", IndexWalk, IndexWalk, {});
    QVERIFY(!QTest::currentTestFailed());
    // Rows without a company or without a program, and every company with every program.
    database.insert(QVariant(), QStringLiteral("Huérfano"), QStringLiteral("1"), QVariant());
    for (const QString& company : companies) {
        database.insert(company, QVariant(), QStringLiteral("1"), QVariant());
        for (const QString& program : programs)
            database.insert(company, program, QStringLiteral("1"), QVariant());
    }
    QStringList expected = companies;
    expected.sort();
    lists("index on both", IndexWalk, IndexWalk, expected);
    QVERIFY(!QTest::currentTestFailed());
    // Another index, examined after the one to walk, takes nothing from it.
    database.exec(QStringLiteral("CREATE INDEX GRANGUIA_zclave ON GRANGUIA (clave%1)")
                      .arg(engine == TestEngine::MariaDb ? QStringLiteral("(20)") : QString()));
    lists("index on both, and one on clave", IndexWalk, IndexWalk, expected);
    dropIndex(QStringLiteral("GRANGUIA_zclave"));
    QVERIFY(!QTest::currentTestFailed());

    dropIndex(QStringLiteral("GRANGUIA_Empresa_Aplica"));
    lists("no index", Distinct, Distinct, expected);
    QVERIFY(!QTest::currentTestFailed());
    QList<std::pair<QString, std::pair<granguia::ListRead, granguia::ListRead>>> indexes = {
        {QStringLiteral("(Empresa)"), {IndexWalk, Distinct}},
        {QStringLiteral("(Aplica, Empresa)"), {Distinct, Distinct}},
    };
    if (engine != TestEngine::MariaDb) {
        indexes += {
            {QStringLiteral("(Empresa, Aplica) WHERE Empresa IS NOT NULL"), {Distinct, Distinct}},
            {postgres ? QStringLiteral("(Empresa COLLATE \"C\", Aplica)")
                      : QStringLiteral("(Empresa COLLATE NOCASE, Aplica)"),
                {Distinct, Distinct}},
            {postgres ? QStringLiteral("(lower(Empresa), Aplica)")
                      : QStringLiteral("((Empresa || ''), Aplica)"),
                {Distinct, Distinct}},
        };
    }
    for (const auto& [columns, reads] : indexes) {
        database.exec(QStringLiteral("CREATE INDEX Probada ON GRANGUIA %1").arg(columns));
        lists(qPrintable(columns), reads.first, reads.second, expected);
        dropIndex(QStringLiteral("Probada"));
        QVERIFY(!QTest::currentTestFailed());
    }

    // SQLite names a column as its table declares it, in any case.
    if (sqlite) {
        database.exec(QStringLiteral("ALTER TABLE GRANGUIA RENAME COLUMN Empresa TO E;"
                                     "ALTER TABLE GRANGUIA RENAME COLUMN E TO EMPRESA;"
                                     "ALTER TABLE GRANGUIA RENAME COLUMN Aplica TO A;"
                                     "ALTER TABLE GRANGUIA RENAME COLUMN A TO APLICA;"
                                     "CREATE INDEX Mayusculas ON GRANGUIA (EMPRESA, APLICA)"));
        lists("(EMPRESA, APLICA)", IndexWalk, IndexWalk, expected);
    }
}

void StatementsTest::copyKeepsValuesAndDefaultsTheRest_data()
{
    QTest::addColumn<QString>("claveType");
    QTest::addColumn<QString>("cosaType");
    QTest::addColumn<QVariantList>("claves");
    QTest::addColumn<QVariantList>("cosas");

    // Each engine's name for a kind of column.
    const auto type = [](const char* sqlite, const char* postgres, const char* mariadb) {
        switch (testEngine()) {
        case TestEngine::Postgres:
            return QString::fromLatin1(postgres);
        case TestEngine::MariaDb:
            return QString::fromLatin1(mariadb);
        default:
            return QString::fromLatin1(sqlite);
        }
    };
    // With TZ set (initTestCase), the first date falls in the spring-forward gap and the second
    // in the hour that comes twice: no local time has the one, and the other has two.
    QTest::newRow("date and text")
        << type("TIMESTAMP", "TIMESTAMP", "DATETIME") << type("TEXT", "TEXT", "TEXT")
        << QVariantList {QStringLiteral("2023-03-26 02:30:00"),
               QStringLiteral("2023-10-29 02:30:00"), QVariant(),
               QStringLiteral("2024-02-29 23:59:59")}
        << QVariantList {QString(""), QStringLiteral("Línea ñ ").repeated(40), QVariant(),
               QStringLiteral("ünïcödé 😀")};
    QTest::newRow("decimal and single")
        << type("DECIMAL(30,10)", "NUMERIC(30,10)", "DECIMAL(30,10)")
        << type("REAL", "REAL", "FLOAT")
        << QVariantList {QStringLiteral("12345678901234567890.1234567890"),
               QStringLiteral("-0.0000000001"), QVariant(), QStringLiteral("0")}
        << QVariantList {0.1, 1.2345678, QVariant(), 3.4028234663852886e38};
    QTest::newRow("binary and integer")
        << type("BLOB", "BYTEA", "LONGBLOB") << type("BIGINT", "BIGINT", "BIGINT")
        << QVariantList {QByteArray("\x00\xff\x10", 3), QByteArray(""), QVariant(),
               QByteArray(1000, '\x7f')}
        << QVariantList {42, qint64(-9007199254740993), QVariant(), 0};
    QTest::newRow("double and integer")
        << type("DOUBLE", "DOUBLE PRECISION", "DOUBLE") << type("INTEGER", "INTEGER", "INT")
        << QVariantList {0.1, -1e-300, QVariant(), 1.7976931348623157e308}
        << QVariantList {1, -2, QVariant(), 2147483647};
    // Read through ODBC in pieces of 8,191 UTF-16 units or 16,384 bytes: a text that just fits
    // one piece, one a unit longer, and one with a character outside the BMP across each of the
    // first two boundaries; bytes one short of a piece, a whole piece, and several.
    QString straddling = QStringLiteral("ñ").repeated(20000);
    for (const int boundary : {8191, 2 * 8191})
        straddling.replace(boundary - 1, 2, QStringLiteral("😀"));
    QByteArray bytes(40000, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 7);
    QTest::newRow("long text and binary")
        << type("TEXT", "TEXT", "LONGTEXT") << type("BLOB", "BYTEA", "LONGBLOB")
        << QVariantList {QStringLiteral("ñ").repeated(8191), QStringLiteral("ñ").repeated(8192),
               straddling, QVariant()}
        << QVariantList {bytes.left(16383), bytes.left(16384), bytes, QVariant()};
    // A DSN that sets another character set for the connection: the text reaches the program
    // in it, not in UTF-8, and must still be kept and put back as it was.
    if (testEngine() == TestEngine::MariaDb)
        QTest::newRow("text through a connection in CHARSET=latin1")
            << QStringLiteral("VARCHAR(255)") << QStringLiteral("TEXT")
            << QVariantList {QStringLiteral("Línea ñ"), QStringLiteral("ÀÉÎÕÜ ß ÿ"), QVariant(),
                   QString("")}
            << QVariantList {QStringLiteral("Ñandú ").repeated(3000), QStringLiteral("¿€?"),
                   QVariant(), QStringLiteral("año")};
    // A DSN that asks psqlODBC to turn line ends into CR LF, as its Windows builds do unless told
    // otherwise, in the DSN file or in a data source named in the ODBC settings: the line ends
    // must still be kept and put back as they were.
    if (testEngine() == TestEngine::Postgres) {
        for (const char* tag : {"line ends with LFConversion=1",
                 "line ends with a named data source's LFConversion=1"})
            QTest::newRow(tag) << QStringLiteral("TEXT") << QStringLiteral("TEXT")
                               << QVariantList {QStringLiteral("una\nlínea"),
                                      QStringLiteral("dos\r\nlíneas"), QVariant(),
                                      QStringLiteral("\r")}
                               << QVariantList {QStringLiteral("\n\n"), QStringLiteral("fin\r\n"),
                                      QVariant(), QStringLiteral("a\rb\nc")};
    }
    // SQLite keeps each value's own type in a column without one.
    if (testEngine() == TestEngine::Sqlite)
        QTest::newRow("mixed") << QString() << QString()
                               << QVariantList {QStringLiteral("texto"), 3.25, QVariant(),
                                      qint64(-9007199254740993)}
                               << QVariantList {42, QByteArray("\x00\xff\x10", 3),
                                      QStringLiteral("ünïcödé 😀"), QVariant()};
}

void StatementsTest::copyKeepsValuesAndDefaultsTheRest()
{
    QFETCH(QString, claveType);
    QFETCH(QString, cosaType);
    QFETCH(QVariantList, claves);
    QFETCH(QVariantList, cosas);
    CompanyDatabase database(testEngine(), claveType, cosaType);
    // Set in the DSN file as the data tag says; or in the ODBC settings, for a data source named
    // there, which the DSN file then names.
    const auto forgetNamedSource = qScopeGuard([] { qunsetenv("ODBCINI"); });
    if (const QByteArray tag = QTest::currentDataTag(); tag.contains('=')) {
        const QByteArray setting = tag.mid(tag.lastIndexOf(' ') + 1) + "\r\n";
        QFile dsn(database.pathFile());
        QVERIFY(dsn.open(QIODevice::ReadWrite));
        QByteArray settings = dsn.readAll() + setting;
        if (tag.contains("named")) {
            const QString odbcIni = database.folder() + QStringLiteral("/odbc.ini");
            writeFile(odbcIni, settings.replace("[ODBC]", "[Tarvex]"),
                QFile::ReadOwner | QFile::WriteOwner);
            qputenv("ODBCINI", QFile::encodeName(odbcIni));
            settings = "[ODBC]\r\nDSN=Tarvex\r\n";
        }
        QVERIFY(dsn.resize(0));
        dsn.write(settings);
    }
    // Nine times over, 36 rows: the copy a delete keeps writes them several to a statement,
    // then the last few one by one.
    const int rows = 9 * int(claves.size());
    for (int row = 0; row < rows; ++row)
        database.insert(QStringLiteral("Origen"), QStringLiteral("Nóminas"),
            claves[row % claves.size()], cosas[row % claves.size()]);
    database.insert(QStringLiteral("Origen"), agenda, claves[0], cosas[0]);
    database.exec(QStringLiteral("UPDATE GRANGUIA SET Alta = 'antigua'"));

    // In any order: a copy writes the block as the engine reads it.
    const auto sorted = [](QStringList rows) {
        rows.sort();
        return rows;
    };
    QStringList expected;
    for (QString row : database.block(QStringLiteral("Origen"), QStringLiteral("Nóminas")))
        expected << row.replace(QStringLiteral("text:antigua"), QStringLiteral("text:por defecto"));
    expected = sorted(expected);
    QCOMPARE(expected.size(), rows);

    // The engine's own form; row by row, as the Access driver and other ODBC sources may need;
    // and INSERT … SELECT tried first where a driver refuses it, nothing written, before the rows
    // go one by one. (A statement that fails ends a PostgreSQL transaction: it is never tried
    // there.)
    using enum DatabaseConnection::CopyForm;
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    QList<std::pair<DatabaseConnection::CopyForm, QString>> forms {
        {connection->copyForm(), QStringLiteral("Nueva")}, {RowByRow, QStringLiteral("Fila")}};
    // Written under a name of the copy's own and renamed at the end, as where a rollback cannot
    // undo a copy (Access, MyISAM); also row by row.
    const QStringList staged = {QStringLiteral("Aparte"), QStringLiteral("Aparte fila")};
    forms.append({connection->copyForm(), staged[0]});
    forms.append({RowByRow, staged[1]});
    if (testEngine() == TestEngine::SqliteOdbc || testEngine() == TestEngine::MariaDb)
        forms.append({TryInsertSelect, QStringLiteral("Rechazada")});
    // SQLite's ODBC driver reads a real (SQLite keeps a decimal as one) through text of 15
    // digits; the program copies inside SQLite there, and only a form forced on it would meet it.
    static const QRegularExpression reals(QStringLiteral("REAL|DOUBLE|DECIMAL"));
    if (testEngine() == TestEngine::SqliteOdbc
        && (claveType.contains(reals) || cosaType.contains(reals)))
        forms.removeIf([](const auto& form) { return form.first != InsertSelect; });
    for (const auto& [form, target] : forms) {
        connection->setCopyForm(form);
        connection->setUndoesWrites(!staged.contains(target));
        CopyStatements statements = granguia::copyBlock(
            QStringLiteral("Origen"), target, QStringLiteral("Nóminas"), connection->dialect());
        if (form == TryInsertSelect)
            statements.insertSelect.text.replace(QStringLiteral("FROM GRANGUIA"),
                QStringLiteral("FROM GRANGUIA WHERE NoHay = 1 AND"));
        QCOMPARE(connection->copyUnlessPresent(
                     granguia::findBlock(target, QStringLiteral("Nóminas"), connection->dialect()),
                     statements),
            DatabaseConnection::BlockCopy::Copied);
        QCOMPARE(sorted(database.block(target, QStringLiteral("Nóminas"))), expected);
        QCOMPARE(database.count(QStringLiteral("Empresa = '%1'").arg(target)), rows);
        // Once refused, the form is not tried again on the connection.
        if (form == TryInsertSelect)
            QCOMPARE(connection->copyForm(), RowByRow);
    }
    QCOMPARE(database.count(QStringLiteral("Id IS NULL")), 0);
    QCOMPARE(database.count(QStringLiteral("Empresa LIKE 'Duplivo %'")), 0);

    // Deleted with the copy a delete keeps, then put back from it by the technician's command:
    // every row as it was, to the byte, its own Id and Alta too. (Reals through SQLite's ODBC
    // driver are not kept exactly; see above.)
    if (testEngine() == TestEngine::SqliteOdbc
        && (claveType.contains(reals) || cosaType.contains(reals)))
        return;
    QTemporaryDir userData;
    qputenv("XDG_DATA_HOME", QFile::encodeName(userData.path()));
    const QString everything = QStringLiteral(
        "SELECT * FROM GRANGUIA WHERE Empresa = 'Origen' AND Aplica = 'Nóminas' ORDER BY Id");
    const QStringList deleted = database.rows(everything);
    QString file;
    {
        SavedCopyWriter saved(savedCopiesFolder(),
            {connection->description(), QStringLiteral("Origen"), QStringLiteral("Nóminas"),
                granguia::tableName, QDateTime::currentDateTime()});
        QCOMPARE(
            connection->deleteBlock(granguia::tableName,
                granguia::blockRows(
                    QStringLiteral("Origen"), QStringLiteral("Nóminas"), connection->dialect()),
                granguia::deleteBlock(QStringLiteral("Origen"), QStringLiteral("Nóminas")), saved),
            rows);
        file = QDir::toNativeSeparators(saved.path());
    }
    QCOMPARE(database.rows(everything), QStringList());
    FakeSettings settings;
    settings.drive = QStringLiteral("C");
    const auto command = [&settings](const QStringList& arguments) {
        return *runCommand(QStringList {QStringLiteral("duplivo")} + arguments, settings);
    };
    // Its line of the list (on Windows the folder is the prefix's, with earlier cases' copies).
    const CommandResult listed = command({QStringLiteral("--borrados")});
    QCOMPARE(listed.status, 0);
    const QStringList lines = listed.text.split(QStringLiteral("\r\n"));
    const auto ours = std::find_if(lines.cbegin(), lines.cend(),
        [&file](const QString& line) { return line.endsWith(u'\t' + file); });
    QVERIFY2(ours != lines.cend(), qPrintable(listed.text));
    const QStringList line = ours->split(u'\t');
    QCOMPARE(line.mid(1, 3),
        (QStringList {QStringLiteral("Origen"), QStringLiteral("Nóminas"),
            QStringLiteral("%1 filas").arg(rows)}));
    QVERIFY2(line.value(4).contains(QStringLiteral("Tarvex"))
            && !line.value(4).contains(QStringLiteral("PWD")),
        qPrintable(listed.text));
    const CommandResult restored = command({QStringLiteral("--restaurar"), file});
    QVERIFY2(restored.status == 0, qPrintable(restored.text));
    QCOMPARE(database.rows(everything), deleted);
    // Over data the company has for the program, nothing is written, and the copy says why.
    const CommandResult again = command({QStringLiteral("--restaurar"), file});
    QCOMPARE(again.status, 1);
    QCOMPARE(
        again.text, alreadyPresentMessage(QStringLiteral("Origen"), QStringLiteral("Nóminas")));
    QCOMPARE(database.rows(everything), deleted);
    qunsetenv("XDG_DATA_HOME");
}

void StatementsTest::copyChecksBeforeWriting()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Origen"), agenda, 3);
    database.addBlock(QStringLiteral("Nueva"), agenda, 1);
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    using BlockCopy = DatabaseConnection::BlockCopy;
    QCOMPARE(copy(*connection, QStringLiteral("Origen"), QStringLiteral("Nueva"), agenda),
        BlockCopy::AlreadyPresent);
    QCOMPARE(copy(*connection, QStringLiteral("Origen"), QStringLiteral("Origen"), agenda),
        BlockCopy::AlreadyPresent);
    QCOMPARE(copy(*connection, QStringLiteral("Nadie"), QStringLiteral("Otra"), agenda),
        BlockCopy::NothingToCopy);
    QCOMPARE(database.count(), 4);
    QVERIFY(database.nothingLocked());
    QCOMPARE(copy(*connection, QStringLiteral("Origen"), QStringLiteral("Otra"), agenda),
        BlockCopy::Copied);
    QCOMPARE(copy(*connection, QStringLiteral("Origen"), QStringLiteral("Otra"), agenda),
        BlockCopy::AlreadyPresent);
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Otra'")), 3);
    QVERIFY(database.nothingLocked());

    // Another operator, while this connection stays open, finds the block at once: the copy's
    // lock went with it.
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(copy(*openDatabase(CompanyDatabase::windowsPath), QStringLiteral("Origen"),
                 QStringLiteral("Otra"), agenda),
        BlockCopy::AlreadyPresent);
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));

    // A driver that does not say how many rows it wrote: the copy looks, and neither calls a
    // real copy empty nor an empty one copied.
    for (const bool undoes : {true, false}) {
        auto [uncounted, script] = misreporting();
        script->uncounted = true;
        uncounted->setUndoesWrites(undoes);
        const QString target
            = undoes ? QStringLiteral("Sin cuenta") : QStringLiteral("Sin cuenta 2");
        QCOMPARE(copy(*uncounted, QStringLiteral("Origen"), target, agenda), BlockCopy::Copied);
        QCOMPARE(copy(*uncounted, QStringLiteral("Nadie"), target, QStringLiteral("Nóminas")),
            BlockCopy::NothingToCopy);
        QCOMPARE(database.count(QStringLiteral("Empresa = '%1'").arg(target)), 3);
    }
    QVERIFY(database.nothingLocked());
}

void StatementsTest::failedCopyLeavesNothingAndConnectionUsable()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Origen"), agenda, 100);
    database.addBlock(QStringLiteral("Origen"), QStringLiteral("Nóminas"), 10);
    database.failInsertsOf(QStringLiteral("Agenda-60"), QStringLiteral("disco lleno"));
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    const auto copyAgenda
        = [&] { copy(*connection, QStringLiteral("Origen"), QStringLiteral("Nueva"), agenda); };

    QString text;
    QVERIFY(failureNumber(copyAgenda, &text) != noFailure);
    QVERIFY2(text.contains(QStringLiteral("disco lleno")), qPrintable(text));
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva'")), 0);
    QVERIFY(database.nothingLocked());

    // Nothing half-written blocks a retry: it meets the same failure, not the earlier rows.
    QVERIFY(failureNumber(copyAgenda, &text) != noFailure);
    QVERIFY2(text.contains(QStringLiteral("disco lleno")), qPrintable(text));
    QCOMPARE(copy(*connection, QStringLiteral("Origen"), QStringLiteral("Nueva"),
                 QStringLiteral("Nóminas")),
        DatabaseConnection::BlockCopy::Copied);
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva'")), 10);

    // Row by row, the rows appended before the failure are rolled back too.
    connection->setCopyForm(DatabaseConnection::CopyForm::RowByRow);
    QVERIFY(failureNumber(copyAgenda, &text) != noFailure);
    QVERIFY2(text.contains(QStringLiteral("disco lleno")), qPrintable(text));
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva' AND Aplica = 'Agenda'")), 0);
    QVERIFY(database.nothingLocked());

    // A driver that refuses INSERT … SELECT and then fails the look that tells whether it wrote:
    // the refusal is what is shown.
    auto [refusing, script] = misreporting();
    script->looksFailAfterRefusal = true;
    refusing->setCopyForm(DatabaseConnection::CopyForm::TryInsertSelect);
    CopyStatements refused = granguia::copyBlock(
        QStringLiteral("Origen"), QStringLiteral("Otra"), agenda, refusing->dialect());
    refused.insertSelect.text.replace(
        QStringLiteral("FROM GRANGUIA WHERE"), QStringLiteral("FROM GRANGUIA WHERE NoHay = 1 AND"));
    QVERIFY(failureNumber(
                [&] {
                    refusing->copyUnlessPresent(
                        granguia::findBlock(QStringLiteral("Otra"), agenda, refusing->dialect()),
                        refused);
                },
                &text)
        != noFailure);
    QVERIFY2(text.contains(QStringLiteral("NoHay"), Qt::CaseInsensitive)
            && !text.contains(QStringLiteral("perdido")),
        qPrintable(text));

    // Where a rollback cannot undo the copy (Access; here any engine made to act so), it writes
    // under a name of its own and removes just that: the new company's other program stays.
    database.addBlock(QStringLiteral("Nueva"), QStringLiteral("Contabilidad"), 3);
    connection = openDatabase(CompanyDatabase::windowsPath);
    connection->setUndoesWrites(false);
    const QString others = QStringLiteral("Empresa = 'Nueva' AND Aplica = 'Contabilidad'");
    const QString staged = QStringLiteral("Empresa LIKE 'Duplivo %'");
    const auto failedInEachFormLeavesNothing = [&] {
        for (const auto form : {connection->copyForm(), DatabaseConnection::CopyForm::RowByRow}) {
            connection->setCopyForm(form);
            QVERIFY(failureNumber(copyAgenda, &text) != noFailure);
            QVERIFY2(text.contains(QStringLiteral("disco lleno")), qPrintable(text));
            QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva' AND Aplica = 'Agenda'")), 0);
            QCOMPARE(database.count(staged), 0);
            QCOMPARE(database.count(others), 3);
        }
    };
    failedInEachFormLeavesNothing();
    if (!isServer(database.engine()))
        return;

    // Another program writes rows of the block while the copy runs, and the copy then fails:
    // they stay, on an engine that undoes the copy, on one made to act as if it could not, and on
    // a table without transactions.
    database.slowInsertsOf(QStringLiteral("Agenda-30"), 2);
    const auto anotherProgramWritesMeanwhile = [&](DatabaseConnection& ours, const char* why) {
        database.exec(QStringLiteral("DELETE FROM GRANGUIA WHERE Empresa = 'Nueva' "
                                     "AND Aplica = 'Agenda'"));
        ours.setCopyForm(DatabaseConnection::CopyForm::RowByRow);
        std::thread other([&] {
            for (int attempt = 0; attempt < 200; ++attempt) {
                if (database.column(sleepingInInsert(database)).size() == 1) {
                    for (int row = 0; row < 3; ++row)
                        database.insert(QStringLiteral("Nueva"), agenda,
                            QStringLiteral("otro %1").arg(row), QStringLiteral("otro"));
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        QVERIFY2(failureNumber(
                     [&] { copy(ours, QStringLiteral("Origen"), QStringLiteral("Nueva"), agenda); },
                     &text)
                != noFailure,
            why);
        other.join();
        QVERIFY2(text.contains(QStringLiteral("disco lleno")), qPrintable(text));
        QVERIFY2(
            database.count(QStringLiteral("Empresa = 'Nueva' AND Aplica = 'Agenda'")) == 3, why);
        QVERIFY2(database.count(staged) == 0, why);
    };
    anotherProgramWritesMeanwhile(*openDatabase(CompanyDatabase::windowsPath), "as the engine is");
    anotherProgramWritesMeanwhile(*connection, "as if without transactions");
    if (database.engine() != TestEngine::MariaDb)
        return;

    // A table without transactions keeps what the copy wrote before the failure, until the copy
    // itself removes it. (Its keys are shorter than InnoDB's.)
    database.exec(QStringLiteral("DROP INDEX GRANGUIA_Empresa_Aplica ON GRANGUIA; "
                                 "ALTER TABLE GRANGUIA ENGINE = MyISAM"));
    connection = openDatabase(CompanyDatabase::windowsPath);
    anotherProgramWritesMeanwhile(*connection, "MyISAM");
    database.exec(
        QStringLiteral("DELETE FROM GRANGUIA WHERE Empresa = 'Nueva' AND Aplica = 'Agenda'"));
    failedInEachFormLeavesNothing();

    // A backup holds the table for longer than the copy waits: the copy fails, and the block the
    // new company had before it stays whole once the table is free again.
    database.exec(QStringLiteral("LOCK TABLES GRANGUIA WRITE"));
    std::thread backup([&database] {
        std::this_thread::sleep_for(std::chrono::seconds(12));
        database.exec(QStringLiteral("UNLOCK TABLES"));
    });
    const int number = failureNumber(
        [&] {
            copy(*connection, QStringLiteral("Origen"), QStringLiteral("Nueva"),
                QStringLiteral("Nóminas"));
        },
        &text);
    backup.join();
    QCOMPARE(number, 1205);
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva' AND Aplica = 'Nóminas'")), 10);
    QCOMPARE(database.count(others), 3);
}

void StatementsTest::serverLostMidCopyLeavesNothing_data()
{
    QTest::addColumn<QString>("loss");
    QTest::addColumn<int>("sleepSeconds");
    QTest::newRow("the server ends the session") << QStringLiteral("session") << 30;
    // Silent for longer than the keepalive probes take, and the server then still working.
    QTest::newRow("the network goes silent") << QStringLiteral("network") << 35;
    // Working for longer than the keepalive probes take, on a live network.
    QTest::newRow("a slow statement on a live server") << QString() << 30;
    // Silent from before the copy's first statement: what is sent goes unanswered, and the
    // system sends no keepalive probe while data waits to be acknowledged.
    QTest::newRow("the network goes silent as a statement is sent")
        << QStringLiteral("sending") << 0;
}

void StatementsTest::serverLostMidCopyLeavesNothing()
{
    QFETCH(QString, loss);
    QFETCH(int, sleepSeconds);
    if (!isServer(testEngine()))
        QSKIP("only a server can go away");
    if (!loss.isEmpty() && loss != QLatin1String("session") && !PacketDrop::possible())
        DUPLIVO_SKIP_UNAVAILABLE(QStringLiteral("iptables, as root, drops the server's packets"));
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Origen"), agenda, 2000);
    if (sleepSeconds > 0)
        database.slowInsertsOf(QStringLiteral("Agenda-1500"), sleepSeconds);
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    const quint16 port = serverKeys(
        testEngine() == TestEngine::Postgres ? "DUPLIVO_TEST_PG" : "DUPLIVO_TEST_MARIADB")
                             .value(QStringLiteral("PORT"))
                             .toUShort();

    // While the copy is inside its block, the session ends, or the network stops carrying it:
    // for 45 s at most, so that a copy that never gives up ends all the same, and fails the test.
    std::atomic<bool> copyReturned = false;
    std::atomic<bool> silenced = false;
    std::atomic<qint64> waited = 0;
    const auto silence = [&] {
        const PacketDrop drop(port);
        silenced = true;
        QElapsedTimer silent;
        silent.start();
        while (!copyReturned && silent.elapsed() < 45000)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        waited = silent.elapsed();
    };
    std::thread server([&] {
        if (loss == QLatin1String("sending"))
            return silence();
        for (int attempt = 0; attempt < 200; ++attempt) {
            const QStringList sleeping = database.column(sleepingInInsert(database));
            if (sleeping.size() != 1) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            if (loss == QLatin1String("session"))
                database.exec(testEngine() == TestEngine::Postgres
                        ? QStringLiteral("SELECT pg_terminate_backend(%1)").arg(sleeping[0])
                        : QStringLiteral("KILL %1").arg(sleeping[0]));
            if (loss == QLatin1String("network"))
                silence();
            return;
        }
    });
    while (loss == QLatin1String("sending") && !silenced)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    QString text;
    const int number = failureNumber(
        [&] { copy(*connection, QStringLiteral("Origen"), QStringLiteral("Nueva"), agenda); },
        &text);
    copyReturned = true;
    server.join();
    if (loss.isEmpty()) {
        QCOMPARE(number, noFailure);
        QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva'")), 2000);
        return;
    }
    QVERIFY2(number != noFailure, qPrintable(text));
    // Given up on within half a minute of the last packet.
    QVERIFY2(waited < 30000, qPrintable(QString::number(waited)));
    // Once the server notices, the copy is rolled back and holds nothing.
    QTRY_VERIFY_WITH_TIMEOUT(database.nothingLocked(), 60000);
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva'")), 0);
    QCOMPARE(database.count(), 2000);
}

void StatementsTest::copyLocksOnlyItsOwnBlock()
{
    if (!isServer(testEngine()))
        QSKIP("SQLite's write lock is the whole database's");
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Origen"), agenda, 3);
    database.addBlock(QStringLiteral("Origen"), QStringLiteral("Nóminas"), 3);
    database.slowInsertsOf(QStringLiteral("Agenda-1"), 4);

    // One operator's copy of Agenda to Nueva sits in its transaction…
    QString firstFailure;
    std::thread first([&firstFailure] {
        failureNumber(
            [] {
                auto connection = openDatabase(CompanyDatabase::windowsPath);
                copy(*connection, QStringLiteral("Origen"), QStringLiteral("Nueva"), agenda);
            },
            &firstFailure);
    });
    for (int attempt = 0; attempt < 200 && database.column(sleepingInInsert(database)).size() != 1;
         ++attempt)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

    // …while another copies Nóminas to the same new company without waiting for it.
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    QElapsedTimer timer;
    timer.start();
    const DatabaseConnection::BlockCopy outcome = copy(
        *connection, QStringLiteral("Origen"), QStringLiteral("Nueva"), QStringLiteral("Nóminas"));
    const qint64 waited = timer.elapsed();
    first.join();
    QCOMPARE(firstFailure, QString());
    QCOMPARE(outcome, DatabaseConnection::BlockCopy::Copied);
    QVERIFY2(waited < 2000, qPrintable(QString::number(waited)));
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva'")), 6);
}

void StatementsTest::deleteKeepsWhatAnotherProgramWritesMeanwhile()
{
    CompanyDatabase database;
    QTemporaryDir userData;
    qputenv("XDG_DATA_HOME", QFile::encodeName(userData.path()));
    const QString block = QStringLiteral("Empresa = 'Origen' AND Aplica = 'Agenda'");
    const auto savedCopies = [] { return QDir(savedCopiesFolder()).entryList(QDir::Files); };
    // Deletes Origen's three Agenda rows, `read` reading those it keeps. Once the copy is kept,
    // another program writes a fourth and is given a second to finish. The failure's text, if
    // any.
    const auto deleteWhileAnotherWrites
        = [&](DatabaseConnection& ours, const Statement& read) -> QString {
        database.exec(QStringLiteral("DELETE FROM GRANGUIA WHERE ") + block);
        QDir(savedCopiesFolder()).removeRecursively();
        database.addBlock(QStringLiteral("Origen"), agenda, 3);
        std::atomic<bool> written = false;
        std::thread other;
        QString text;
        try {
            SavedCopyWriter saved(savedCopiesFolder(),
                {ours.description(), QStringLiteral("Origen"), agenda, granguia::tableName,
                    QDateTime::currentDateTime()});
            const qint64 deleted = ours.deleteBlock(granguia::tableName, read,
                granguia::deleteBlock(QStringLiteral("Origen"), agenda), saved, [&] {
                    other = std::thread([&] {
                        database.insert(QStringLiteral("Origen"), agenda, QStringLiteral("otro"),
                            QStringLiteral("otro"));
                        written = true;
                    });
                    // Either it wrote, or it waits for the delete.
                    (void)QTest::qWaitFor([&] { return written.load(); }, 1000);
                });
            text = QString::number(deleted);
        } catch (const Failure& failure) {
            text = failure.text();
        }
        other.join();
        return text;
    };
    const auto readsEveryRow = [](DatabaseConnection& ours) {
        return granguia::blockRows(QStringLiteral("Origen"), agenda, ours.dialect());
    };

    // The engine keeps the other program out of the block, or the delete out of its row: the
    // three saved rows go, the fourth stays.
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    QCOMPARE(
        deleteWhileAnotherWrites(*connection, readsEveryRow(*connection)), QStringLiteral("3"));
    QCOMPARE(database.block(QStringLiteral("Origen"), agenda).size(), 1);
    QCOMPARE(savedCopies().size(), 1);

    // A row the copy did not keep, as a row written meanwhile where nothing keeps it out: where
    // the delete can be undone nothing is deleted; where it cannot, the operator is told and
    // the copy stays.
    Statement missesOne = readsEveryRow(*connection);
    missesOne.text.replace(
        QStringLiteral("WHERE "), QStringLiteral("WHERE clave <> 'Agenda-2' AND "));
    QCOMPARE(deleteWhileAnotherWrites(*connection, missesOne),
        QStringLiteral("El bloque ha cambiado mientras se guardaba su copia (2 filas guardadas, 3 "
                       "por borrar): no se ha borrado nada."));
    QCOMPARE(database.count(block), 4);
    QCOMPARE(savedCopies(), QStringList());
    connection->setUndoesWrites(false);
    const QString told = deleteWhileAnotherWrites(*connection, missesOne);
    QCOMPARE(savedCopies().size(), 1);
    QCOMPARE(told,
        QStringLiteral("El bloque ha cambiado mientras se guardaba su copia (2 filas guardadas, 3 "
                       "por borrar).\r\n\r\nPuede que parte de los datos se haya borrado; su "
                       "copia está en '%1'.")
            .arg(QDir::toNativeSeparators(savedCopiesFolder() + u'/' + savedCopies().value(0))));

    // A table without transactions takes no row locks: the whole table is held.
    if (database.engine() != TestEngine::MariaDb)
        return;
    database.exec(QStringLiteral("DROP INDEX GRANGUIA_Empresa_Aplica ON GRANGUIA; "
                                 "ALTER TABLE GRANGUIA ENGINE = MyISAM"));
    connection = openDatabase(CompanyDatabase::windowsPath);
    QCOMPARE(
        deleteWhileAnotherWrites(*connection, readsEveryRow(*connection)), QStringLiteral("3"));
    QCOMPARE(database.block(QStringLiteral("Origen"), agenda).size(), 1);
    QVERIFY(database.nothingLocked());
    qunsetenv("XDG_DATA_HOME");
}

void StatementsTest::stoppedCopyKeepsNothing_data()
{
    // Whether the engine can cancel the statement running, and whether a rollback undoes the
    // copy (or the copy writes under a name of its own, as on Access).
    QTest::addColumn<bool>("cancels");
    QTest::addColumn<bool>("undoes");
    QTest::newRow("cancelled") << true << true;
    QTest::newRow("cancelled, written apart") << true << false;
    QTest::newRow("let finish its statement") << false << true;
    QTest::newRow("let finish its statement, written apart") << false << false;
}

void StatementsTest::stoppedCopyKeepsNothing()
{
    QFETCH(bool, cancels);
    QFETCH(bool, undoes);
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Origen"), agenda, 3000);
    database.slowInsertsOf(QStringLiteral("Agenda-1500"), cancels ? 30 : 2);
    auto [connection, script] = misreporting();
    script->cannotCancel = !cancels;
    connection->setUndoesWrites(undoes);

    // The copy runs on a thread of its own, as the window runs it, and is asked to stop from
    // this one part-way.
    bool stopped = false;
    QElapsedTimer elapsed;
    elapsed.start();
    std::thread work([&] {
        try {
            copy(*connection, QStringLiteral("Origen"), QStringLiteral("Nueva"), agenda);
        } catch (const WorkStopped&) {
            stopped = true;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const bool cancelled = connection->requestStop();
    work.join();
    QCOMPARE(cancelled, cancels);
    QVERIFY(stopped);
    QVERIFY2(elapsed.elapsed() < 15000, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva'")), 0);
    QCOMPARE(database.count(QStringLiteral("Empresa LIKE 'Duplivo %'")), 0);
    QCOMPARE(database.count(), 3000);
    QTRY_VERIFY(database.nothingLocked());
    // Stopped once, the connection starts nothing more.
    QVERIFY_THROWS_EXCEPTION(
        WorkStopped, copy(*connection, QStringLiteral("Origen"), QStringLiteral("Otra"), agenda));
}

QTEST_GUILESS_MAIN(StatementsTest)
#include "test_statements.moc"
