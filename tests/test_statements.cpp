// The statements on the company table and the copy's transaction, on each engine: values are
// bound, blocks are exact, values keep their types, and a failed copy leaves nothing behind.
#include <thread>
#include <utility>

#include <QElapsedTimer>
#include <QTest>

#include "db/database.h"
#include "db/granguia.h"
#include "tests/support.h"

using namespace duplivo;
using namespace duplivo::test;

namespace {

const QString agenda = QStringLiteral("Agenda");

DatabaseConnection::BlockCopy copy(
    DatabaseConnection& connection, const QString& from, const QString& to, const QString& program)
{
    return connection.copyUnlessPresent(
        granguia::findBlock(to, program), granguia::copyBlock(from, to, program));
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
    void serverGoneMidCopyLeavesNothing();
    void copyLocksOnlyItsOwnBlock();
};

void StatementsTest::initTestCase()
{
    if (const QString why = engineUnavailable(); !why.isEmpty())
        DUPLIVO_SKIP_UNAVAILABLE(why);
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
        QVERIFY(connection->openSnapshot(granguia::findBlock(name, QStringLiteral("Común")))
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
    const bool postgres = database.engine() == TestEngine::Postgres;
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
        QVERIFY2(granguia::companyListRead(*connection) == companyRead, where + ", company read");
        QVERIFY2(granguia::programListRead(*connection) == programRead, where + ", program read");
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

    database.exec(QStringLiteral("DROP INDEX GRANGUIA_Empresa_Aplica"));
    lists("no index", Distinct, Distinct, expected);
    QVERIFY(!QTest::currentTestFailed());
    const QList<std::pair<QString, std::pair<granguia::ListRead, granguia::ListRead>>> indexes = {
        {QStringLiteral("(Empresa)"), {IndexWalk, Distinct}},
        {QStringLiteral("(Aplica, Empresa)"), {Distinct, Distinct}},
        {QStringLiteral("(Empresa, Aplica) WHERE Empresa IS NOT NULL"), {Distinct, Distinct}},
        {postgres ? QStringLiteral("(Empresa COLLATE \"C\", Aplica)")
                  : QStringLiteral("(Empresa COLLATE NOCASE, Aplica)"),
            {Distinct, Distinct}},
        {postgres ? QStringLiteral("(lower(Empresa), Aplica)")
                  : QStringLiteral("((Empresa || ''), Aplica)"),
            {Distinct, Distinct}},
    };
    for (const auto& [columns, reads] : indexes) {
        database.exec(QStringLiteral("CREATE INDEX Probada ON GRANGUIA %1").arg(columns));
        lists(qPrintable(columns), reads.first, reads.second, expected);
        database.exec(QStringLiteral("DROP INDEX Probada"));
        QVERIFY(!QTest::currentTestFailed());
    }
}

void StatementsTest::copyKeepsValuesAndDefaultsTheRest_data()
{
    QTest::addColumn<QString>("claveType");
    QTest::addColumn<QString>("cosaType");
    QTest::addColumn<QVariantList>("claves");
    QTest::addColumn<QVariantList>("cosas");

    const QVariantList texts = {QStringLiteral("texto"), QStringLiteral("ünïcödé 😀"), QString(),
        QStringLiteral("  con espacios  ")};
    const QVariantList integers = {42, qint64(-9007199254740993), QVariant(), 0};
    const QVariantList decimals = {3.25, -0.1, QVariant(), 1e-7};
    const QVariantList binaries
        = {QByteArray("\x00\xff\x10", 3), QByteArray(), QVariant(), QByteArray("texto\x00", 6)};
    // SQLite keeps each value's own type in one column; a server's columns have one type each.
    if (testEngine() != TestEngine::Postgres) {
        QTest::newRow("mixed") << QString() << QString()
                               << QVariantList {QStringLiteral("texto"), 3.25, QVariant(),
                                      qint64(-9007199254740993)}
                               << QVariantList {42, QByteArray("\x00\xff\x10", 3),
                                      QStringLiteral("ünïcödé 😀"), QVariant()};
        return;
    }
    QTest::newRow("text and integer") << "TEXT"
                                      << "BIGINT" << texts << integers;
    QTest::newRow("binary and decimal") << "BYTEA"
                                        << "NUMERIC(20,10)" << binaries << decimals;
    QTest::newRow("integer and real")
        << "INTEGER"
        << "DOUBLE PRECISION" << QVariantList {1, -2, QVariant(), 2147483647} << decimals;
}

void StatementsTest::copyKeepsValuesAndDefaultsTheRest()
{
    QFETCH(QString, claveType);
    QFETCH(QString, cosaType);
    QFETCH(QVariantList, claves);
    QFETCH(QVariantList, cosas);
    CompanyDatabase database(testEngine(), claveType, cosaType);
    for (int row = 0; row < claves.size(); ++row)
        database.insert(
            QStringLiteral("Origen"), QStringLiteral("Nóminas"), claves[row], cosas[row]);
    database.insert(QStringLiteral("Origen"), agenda, claves[0], cosas[0]);
    database.exec(QStringLiteral("UPDATE GRANGUIA SET Alta = 'antigua'"));

    QStringList expected;
    for (QString row : database.block(QStringLiteral("Origen"), QStringLiteral("Nóminas")))
        expected << row.replace(QStringLiteral("text:antigua"), QStringLiteral("text:por defecto"));
    QCOMPARE(expected.size(), claves.size());

    // The engine's own form, and the row-by-row one the Access driver and other ODBC sources get.
    // (Through ODBC a value is read by its column's declared type: the SQLite columns here have
    // none, an Access table's always have one.)
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    QList<std::pair<DatabaseConnection::CopyForm, QString>> forms {
        {connection->copyForm(), QStringLiteral("Nueva")}};
    if (testEngine() != TestEngine::SqliteOdbc)
        forms.append({DatabaseConnection::CopyForm::RowByRow, QStringLiteral("Fila a fila")});
    for (const auto& [form, target] : forms) {
        connection->setCopyForm(form);
        QCOMPARE(copy(*connection, QStringLiteral("Origen"), target, QStringLiteral("Nóminas")),
            DatabaseConnection::BlockCopy::Copied);
        QCOMPARE(database.block(target, QStringLiteral("Nóminas")), expected);
        QCOMPARE(database.count(QStringLiteral("Empresa = '%1'").arg(target)), claves.size());
    }
    QCOMPARE(database.count(QStringLiteral("Id IS NULL")), 0);
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
}

void StatementsTest::serverGoneMidCopyLeavesNothing()
{
    if (testEngine() != TestEngine::Postgres)
        QSKIP("only a server can go away");
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Origen"), agenda, 2000);
    database.slowInsertsOf(QStringLiteral("Agenda-1500"), 30);
    auto connection = openDatabase(CompanyDatabase::windowsPath);

    // While the copy is inside its block, the server ends its session.
    std::thread server([&] {
        const QString running
            = QStringLiteral("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE "
                             "datname = current_database() "
                             "AND query LIKE 'INSERT INTO GRANGUIA%' AND wait_event = 'PgSleep'");
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (database.column(running) == QStringList {QStringLiteral("1")})
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    QString text;
    const int number = failureNumber(
        [&] { copy(*connection, QStringLiteral("Origen"), QStringLiteral("Nueva"), agenda); },
        &text);
    server.join();
    QVERIFY2(number != noFailure, qPrintable(text));
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva'")), 0);
    QCOMPARE(database.count(), 2000);
}

void StatementsTest::copyLocksOnlyItsOwnBlock()
{
    if (testEngine() != TestEngine::Postgres)
        QSKIP("SQLite's write lock is the whole database's");
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Origen"), agenda, 3);
    database.addBlock(QStringLiteral("Origen"), QStringLiteral("Nóminas"), 3);
    database.slowInsertsOf(QStringLiteral("Agenda-1"), 4);

    // One operator's copy of Agenda to Nueva sits in its transaction…
    std::thread first([] {
        auto connection = openDatabase(CompanyDatabase::windowsPath);
        copy(*connection, QStringLiteral("Origen"), QStringLiteral("Nueva"), agenda);
    });
    const QString sleeping = QStringLiteral("SELECT count(*) FROM pg_stat_activity WHERE datname = "
                                            "current_database() AND wait_event = 'PgSleep'");
    for (int attempt = 0; attempt < 200 && database.column(sleeping) != QStringList {"1"};
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
    QCOMPARE(outcome, DatabaseConnection::BlockCopy::Copied);
    QVERIFY2(waited < 2000, qPrintable(QString::number(waited)));
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva'")), 6);
}

QTEST_GUILESS_MAIN(StatementsTest)
#include "test_statements.moc"
