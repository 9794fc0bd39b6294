// Two operators copying the same program to the same new company at the same moment, each in a
// program of their own: one copy results, and the other operator is told the company has it.
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
    // The isolation level the server gives a transaction that does not ask for one.
    QTest::addColumn<QString>("serverIsolation");
    QTest::newRow("as installed") << QString();
    QTest::newRow("repeatable read") << QStringLiteral("repeatable read");
    QTest::newRow("serializable") << QStringLiteral("serializable");
}

void ConcurrencyTest::twoOperatorsOneCopy()
{
    QFETCH(QString, serverIsolation);
    // Large enough that the two copies overlap.
    const int rows = 100000;
    CompanyDatabase database;
    if (!serverIsolation.isEmpty()) {
        if (database.engine() != TestEngine::Postgres)
            QSKIP("only PostgreSQL takes a default isolation level per database");
        database.exec(QStringLiteral("DO $$ BEGIN EXECUTE format('ALTER DATABASE %I SET "
                                     "default_transaction_isolation = %L', current_database(), "
                                     "'%1'); END $$")
                          .arg(serverIsolation));
    }
    const QString numbers = database.engine() == TestEngine::Postgres
        ? QStringLiteral("SELECT 'clave ' || n, n FROM generate_series(1, %1) AS n")
        : database.engine() == TestEngine::MariaDb
        ? QStringLiteral("SELECT CONCAT('clave ', seq), seq FROM seq_1_to_%1")
        : QStringLiteral("SELECT 'clave ' || n, n FROM (WITH RECURSIVE c(n) AS (SELECT 1 UNION "
                         "ALL SELECT n + 1 FROM c WHERE n < %1) SELECT n FROM c)");
    database.exec(QStringLiteral("INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) "
                                 "SELECT 'Origen', 'Nóminas', numeros.* FROM (%1) AS numeros")
                      .arg(numbers.arg(rows)));
    QCOMPARE(database.count(), rows);

    QTemporaryDir handshake;
    const QString go = handshake.filePath(QStringLiteral("adelante"));
    QList<QProcess*> operators;
    for (int number = 0; number < 2; ++number) {
        auto* process = new QProcess(this);
        process->setProgram(QStringLiteral(DUPLIVO_COPY_OPERATOR));
        process->setArguments(
            {QStringLiteral("Origen"), QStringLiteral("Nueva"), QStringLiteral("Nóminas"),
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
    const QString copied = QStringLiteral("64|Se han copiado correctamente los datos de Nóminas\\n "
                                          "de la empresa Origen a la empresa Nueva\nend 0\n");
    const QString refused
        = QStringLiteral("16|La Empresa Nueva tiene datos para Nóminas y no se pueden modificar "
                         "los\\nlos datos de una empresa ya "
                         "creada. Cambie el nombre de la nueva empresa.\nend 0\n");
    outputs.sort();
    QStringList expected = {copied, refused};
    expected.sort();
    QCOMPARE(outputs, expected);
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva'")), rows);
}

QTEST_GUILESS_MAIN(ConcurrencyTest)
#include "test_concurrency.moc"
