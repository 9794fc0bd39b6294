// Two operators copying the same program to the same new company at the same moment, each in a
// program of their own: one copy results, and the other operator is told the company has it;
// also when they type the name in two ways the table's column takes as one.
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "tests/support.h"

using namespace duplivo::test;

class ConcurrencyTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void twoOperatorsOneCopy_data();
    void twoOperatorsOneCopy();
};

void ConcurrencyTest::initTestCase()
{
    if (const QString why = engineUnavailable(); !why.isEmpty())
        DUPLIVO_SKIP_UNAVAILABLE(why);
}

void ConcurrencyTest::twoOperatorsOneCopy_data()
{
    // The isolation level the server gives a transaction that does not ask for one; how the
    // column compares names ("folds": as the engine's case- or accent-blind collations do); and
    // the name the second operator types.
    QTest::addColumn<QString>("serverIsolation");
    QTest::addColumn<QString>("comparison");
    QTest::addColumn<QString>("secondName");
    QTest::newRow("as installed") << QString() << QString() << QStringLiteral("Nueva");
    QTest::newRow("repeatable read")
        << QStringLiteral("repeatable read") << QString() << QStringLiteral("Nueva");
    QTest::newRow("serializable") << QStringLiteral("serializable") << QString()
                                  << QStringLiteral("Nueva");
    QTest::newRow("case, case-blind column")
        << QString() << QStringLiteral("case") << QStringLiteral("NUEVA");
    QTest::newRow("accent, accent-blind column")
        << QString() << QStringLiteral("accent") << QStringLiteral("Nuéva");
    QTest::newRow("trailing space, padding column")
        << QString() << QStringLiteral("space") << QStringLiteral("Nueva ");
}

void ConcurrencyTest::twoOperatorsOneCopy()
{
    QFETCH(QString, serverIsolation);
    QFETCH(QString, comparison);
    QFETCH(QString, secondName);
    // Large enough that the two copies overlap.
    const int rows = 100000;
    CompanyDatabase database;
    const TestEngine engine = database.engine();
    // The source company as the list shows it.
    QString source = QStringLiteral("Origen");
    if (!serverIsolation.isEmpty()) {
        if (engine != TestEngine::Postgres)
            QSKIP("only PostgreSQL takes a default isolation level per database");
        database.exec(QStringLiteral("DO $$ BEGIN EXECUTE format('ALTER DATABASE %I SET "
                                     "default_transaction_isolation = %L', current_database(), "
                                     "'%1'); END $$")
                          .arg(serverIsolation));
    }
    // The company column made to compare as the engine's own collations do.
    if (engine == TestEngine::MariaDb && !comparison.isEmpty()) {
        // Case- and accent-blind, padding with spaces: the usual collation of a MariaDB table.
        database.exec(QStringLiteral(
            "ALTER TABLE GRANGUIA MODIFY Empresa VARCHAR(255) COLLATE utf8mb4_general_ci"));
    } else if (engine == TestEngine::Postgres && comparison == QLatin1String("case")) {
        database.exec(QStringLiteral("CREATE EXTENSION IF NOT EXISTS citext; "
                                     "ALTER TABLE GRANGUIA ALTER COLUMN Empresa TYPE citext"));
    } else if (engine == TestEngine::Postgres && comparison == QLatin1String("accent")) {
        database.exec(QStringLiteral(
            "CREATE COLLATION IF NOT EXISTS ciega (provider = icu, locale = 'und-u-ks-level1', "
            "deterministic = false); "
            "ALTER TABLE GRANGUIA ALTER COLUMN Empresa TYPE text COLLATE ciega"));
    } else if (engine == TestEngine::Postgres && comparison == QLatin1String("space")) {
        // Fixed length, so padded with spaces when read: the list shows the names so.
        database.exec(QStringLiteral("ALTER TABLE GRANGUIA ALTER COLUMN Empresa TYPE char(40)"));
        source = source.leftJustified(40);
    } else if (!isServer(engine) && comparison == QLatin1String("case")) {
        // SQLite's one collation that folds: ASCII case. Its write lock, taken before the check,
        // already keeps the two copies apart.
        database.exec(
            QStringLiteral("DROP INDEX GRANGUIA_Empresa_Aplica; "
                           "ALTER TABLE GRANGUIA RENAME COLUMN Empresa TO Antes; "
                           "ALTER TABLE GRANGUIA ADD COLUMN Empresa TEXT COLLATE NOCASE"));
    } else if (!comparison.isEmpty()) {
        QSKIP("the engine has no such column to try");
    }
    const QString numbers = engine == TestEngine::Postgres
        ? QStringLiteral("SELECT 'clave ' || n, n FROM generate_series(1, %1) AS n")
        : engine == TestEngine::MariaDb
        ? QStringLiteral("SELECT CONCAT('clave ', seq), seq FROM seq_1_to_%1")
        : QStringLiteral("SELECT 'clave ' || n, n FROM (WITH RECURSIVE c(n) AS (SELECT 1 UNION "
                         "ALL SELECT n + 1 FROM c WHERE n < %1) SELECT n FROM c)");
    database.exec(QStringLiteral("INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) "
                                 "SELECT 'Origen', 'Nóminas', numeros.* FROM (%1) AS numeros")
                      .arg(numbers.arg(rows)));
    QCOMPARE(database.count(), rows);

    QTemporaryDir handshake;
    const QString go = handshake.filePath(QStringLiteral("adelante"));
    const QStringList names = {QStringLiteral("Nueva"), secondName};
    QList<QProcess*> operators;
    for (int number = 0; number < 2; ++number) {
        auto* process = new QProcess(this);
        process->setProgram(QStringLiteral(DUPLIVO_COPY_OPERATOR));
        process->setArguments({source, names[number], QStringLiteral("Nóminas"),
            handshake.filePath(QStringLiteral("listo%1").arg(number)), go});
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start();
        QVERIFY(process->waitForStarted());
        operators << process;
    }
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(handshake.filePath(QStringLiteral("listo0")))
            && QFile::exists(handshake.filePath(QStringLiteral("listo1"))),
        60000);
    QFile(go).open(QIODevice::WriteOnly);

    QStringList outputs;
    for (QProcess* process : operators) {
        QVERIFY(process->waitForFinished(120000));
        QCOMPARE(process->exitCode(), 0);
        outputs << QString::fromUtf8(process->readAllStandardOutput());
    }
    const auto copied = [&source](const QString& name) {
        return QStringLiteral("64|Se han copiado correctamente los datos de Nóminas\\n "
                              "de la empresa %1 a la empresa %2\nend 0\n")
            .arg(source, name);
    };
    const auto refused = [](const QString& name) {
        return QStringLiteral("16|La Empresa %1 tiene datos para Nóminas y no se pueden modificar "
                              "los\\nlos datos de una empresa ya "
                              "creada. Cambie el nombre de la nueva empresa.\nend 0\n")
            .arg(name);
    };
    // Either may come first; the other finds its block.
    QVERIFY2(outputs == QStringList({copied(names[0]), refused(names[1])})
            || outputs == QStringList({refused(names[0]), copied(names[1])}),
        qPrintable(outputs.join(QStringLiteral("----\n"))));
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva'")), rows);
}

QTEST_GUILESS_MAIN(ConcurrencyTest)
#include "test_concurrency.moc"
