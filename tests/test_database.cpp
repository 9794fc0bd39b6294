// Opening the database on real files: where a Windows path leads, what opens and what fails,
// ODBC file DSNs, and waiting for other programs' locks on SQLite.
#include <chrono>
#include <thread>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <sqlite3.h>

#include "db/database.h"
#include "db/dsn.h"
#include "db/errors.h"
#include "db/granguia.h"
#include "db/odbc.h"
#include "db/path.h"
#include "db/sqlite.h"
#include "tests/support.h"

using namespace duplivo;
using namespace duplivo::test;
using namespace std::chrono_literals;

namespace {

// Another program's connection, holding a lock from another thread for a while.
class LockHolder
{
public:
    LockHolder(const QString& file, const char* begin, std::chrono::milliseconds hold,
        const QString& work = QString())
    {
        sqlite3_open(file.toUtf8().constData(), &m_db);
        if (sqlite3_exec(m_db, begin, nullptr, nullptr, nullptr) != SQLITE_OK)
            qFatal("cannot take the lock: %s", sqlite3_errmsg(m_db));
        if (!work.isEmpty()
            && sqlite3_exec(m_db, work.toUtf8().constData(), nullptr, nullptr, nullptr)
                != SQLITE_OK)
            qFatal("cannot write: %s", sqlite3_errmsg(m_db));
        m_thread = std::thread([this, hold] {
            std::this_thread::sleep_for(hold);
            sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
        });
    }
    ~LockHolder()
    {
        m_thread.join();
        sqlite3_close(m_db);
    }

private:
    sqlite3* m_db = nullptr;
    std::thread m_thread;
};

} // namespace

class DatabaseTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void windowsPathLeadsThroughWineDrive();
    void otherPathFormsCannotBeOpened_data();
    void otherPathFormsCannotBeOpened();
    void missingFileIsNeverCreated();
    void onlyDatabasesOpen();
    void unusualFileNamesOpenThatFile();
    void resultsHoldNoLock();
    void waitsForAnotherProgramsLock();
    void copyTakesTheLockBeforeTheCheck();
    void lockHeldTooLongFails();
    void odbcSourceFileIsRead();
    void odbcPasswordReadableByOthersIsRefused();
    void odbcSourceReachesTheDriverAsWritten();
    void odbcFailuresCarryTheDriversText();
    void copyCheckInEachDialectsWords_data();
    void copyCheckInEachDialectsWords();
    void unansweringServerIsGivenUpAfterTenSeconds();

private:
    QTemporaryDir m_odbc;
};

void DatabaseTest::initTestCase()
{
    // The machine's ODBC drivers, and one listed whose library is not there. The driver manager
    // reads where drivers are listed once, at the first ODBC call of the process.
    QFile installed(QStringLiteral("/etc/odbcinst.ini"));
    QVERIFY(installed.open(QIODevice::ReadOnly));
    writeFile(m_odbc.filePath(QStringLiteral("odbcinst.ini")),
        installed.readAll() + "\n[Roto]\nDriver=" + QFile::encodeName(m_odbc.path())
            + "/no-hay.so\n",
        QFile::ReadOwner | QFile::WriteOwner);
    qputenv("ODBCSYSINI", QFile::encodeName(m_odbc.path()));
}

void DatabaseTest::windowsPathLeadsThroughWineDrive()
{
    QTemporaryDir root;
    const QDir dir(root.path());
    dir.mkpath(QStringLiteral("home/.wine/dosdevices"));
    dir.mkpath(QStringLiteral("disk/TARVEX.WIN"));
    dir.mkpath(QStringLiteral("disk/Tarvex.win"));
    dir.mkpath(QStringLiteral("disk/Otra/Datos"));
    QFile::link(dir.filePath(QStringLiteral("disk")),
        dir.filePath(QStringLiteral("home/.wine/dosdevices/d:")));

    const QByteArray oldHome = qgetenv("HOME");
    const QByteArray oldPrefix = qgetenv("WINEPREFIX");
    qputenv("HOME", dir.filePath(QStringLiteral("home")).toLocal8Bit());
    qunsetenv("WINEPREFIX");
    const QString drive = dir.filePath(QStringLiteral("home/.wine/dosdevices/d:"));
    // The exact name wins; otherwise any case matches; the drive letter's case does not matter.
    QCOMPARE(locateDatabaseFile(QStringLiteral("D:\\Tarvex.win\\Tarvex.mdb")).localPath,
        drive + "/Tarvex.win/Tarvex.mdb");
    QCOMPARE(locateDatabaseFile(QStringLiteral("d:\\otra\\DATOS\\x.mdb")).localPath,
        drive + "/Otra/Datos/x.mdb");

    qputenv("WINEPREFIX", dir.filePath(QStringLiteral("other")).toLocal8Bit());
    QCOMPARE(locateDatabaseFile(QStringLiteral("D:\\a\\b")).localPath,
        dir.filePath(QStringLiteral("other/dosdevices/d:/a/b")));

    qputenv("HOME", oldHome);
    if (oldPrefix.isNull())
        qunsetenv("WINEPREFIX");
    else
        qputenv("WINEPREFIX", oldPrefix);
}

void DatabaseTest::otherPathFormsCannotBeOpened_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("drive and colon") << "D::\\Tarvex.win\\Tarvex.mdb";
    QTest::newRow("space as drive") << " :\\Tarvex.win\\Tarvex.mdb";
    QTest::newRow("two letters") << "DE:\\Tarvex.win\\Tarvex.mdb";
    QTest::newRow("network path") << "\\\\servidor\\Tarvex.win\\Tarvex.mdb";
    QTest::newRow("no drive") << ":\\Tarvex.win\\Tarvex.mdb";
}

void DatabaseTest::otherPathFormsCannotBeOpened()
{
    QFETCH(QString, path);
    QString text;
    QCOMPARE(failureNumber([&] { openDatabase(path); }, &text), 3044);
    QVERIFY2(text.contains(path), qPrintable(text));
}

void DatabaseTest::missingFileIsNeverCreated()
{
    CompanyDatabase database(TestEngine::Sqlite);
    const QString missing = QStringLiteral("C:\\Tarvex.win\\Otra.mdb");
    QString text;
    QCOMPARE(failureNumber([&] { openDatabase(missing); }, &text), 3024);
    QVERIFY2(text.contains(missing), qPrintable(text));
    QVERIFY(!QFile::exists(database.folder() + QStringLiteral("/drive_c/Tarvex.win/Otra.mdb")));
    QCOMPARE(failureNumber([&] { openDatabase(QStringLiteral("C:\\NoHay\\Tarvex.mdb")); }), 3024);
    QVERIFY(!QFile::exists(database.folder() + QStringLiteral("/drive_c/NoHay")));

    // Nor by the SQLite open itself, should the file go between the check and the open.
    const QString gone = database.folder() + QStringLiteral("/drive_c/Tarvex.win/Ida.mdb");
    QVERIFY(failureNumber([&] { openSqlite(gone); }) != noFailure);
    QVERIFY(!QFile::exists(gone));
}

void DatabaseTest::onlyDatabasesOpen()
{
    CompanyDatabase database(TestEngine::Sqlite);
    const QString folder = database.folder() + QStringLiteral("/drive_c/");
    const auto write = [&](const char* name, const QByteArray& bytes) {
        QFile file(folder + QLatin1String(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    };
    write("texto.mdb", "Esto no es una base de datos\n");
    write("vacio.mdb", QByteArray());
    // The right signature over a damaged file fails when it is opened, not at a later statement.
    write("danado.mdb", QByteArray("SQLite format 3\0", 16) + QByteArray(4080, '\x7f'));
    write("access.mdb", QByteArray(4, '\0') + "Standard Jet DB" + QByteArray(100, '\0'));

    QString text;
    QCOMPARE(failureNumber([] { openDatabase(QStringLiteral("C:\\texto.mdb")); }, &text), 3343);
    QVERIFY2(text.contains(QStringLiteral("C:\\texto.mdb")), qPrintable(text));
    QCOMPARE(failureNumber([] { openDatabase(QStringLiteral("C:\\vacio.mdb")); }), 3343);
    QVERIFY(failureNumber([] { openDatabase(QStringLiteral("C:\\danado.mdb")); }) != noFailure);
    QCOMPARE(failureNumber([] { openDatabase(QStringLiteral("C:\\access.mdb")); }, &text), 3170);
    QVERIFY2(text.contains(QStringLiteral("no puede escribir archivos de Access"))
            && text.contains(QStringLiteral("Duplivo para Windows")),
        qPrintable(text));
    QCOMPARE(failureNumber([] { openDatabase(QStringLiteral("C:\\Tarvex.win")); }), 3024);
    QCOMPARE(failureNumber([] { openDatabase(CompanyDatabase::windowsPath); }), noFailure);
}

void DatabaseTest::unusualFileNamesOpenThatFile()
{
    CompanyDatabase database(TestEngine::Sqlite);
    const QString folderName = QStringLiteral("Datos #1 al 100% año");
    QDir(database.folder() + QStringLiteral("/drive_c")).mkpath(folderName);
    const QString copy = database.folder() + QStringLiteral("/drive_c/") + folderName
        + QStringLiteral("/Tarvex #2.mdb");
    database.insert(QStringLiteral("Marca"), QStringLiteral("Agenda"), 1, 1);
    QVERIFY(QFile::copy(database.file(), copy));

    auto connection
        = openDatabase(QStringLiteral("C:\\") + folderName + QStringLiteral("\\Tarvex #2.mdb"));
    auto rows = connection->openSnapshot(granguia::listCompanies());
    QCOMPARE(columnOf(*rows, granguia::companyColumn), QStringList {QStringLiteral("Marca")});
    QCOMPARE(
        QDir(database.folder() + QStringLiteral("/drive_c/") + folderName).entryList(QDir::Files),
        QStringList {QStringLiteral("Tarvex #2.mdb")});
    QCOMPARE(
        QDir(database.folder() + QStringLiteral("/drive_c")).entryList(QDir::Files), QStringList());
}

void DatabaseTest::resultsHoldNoLock()
{
    CompanyDatabase database(TestEngine::Sqlite);
    database.addBlock(QStringLiteral("Origen"), QStringLiteral("Agenda"), 50);
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    auto rows = connection->openSnapshot(granguia::copyBlock(QStringLiteral("Origen"),
        QStringLiteral("Nueva"), QStringLiteral("Agenda"), Dialect::Sqlite)
                                             .readRows);
    QVERIFY(rows->hasRows());

    sqlite3* other = nullptr;
    sqlite3_open(database.file().toUtf8().constData(), &other);
    const int rc = sqlite3_exec(
        other, "BEGIN EXCLUSIVE; DELETE FROM GRANGUIA; COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    QCOMPARE(rc, SQLITE_OK);
    QCOMPARE(columnOf(*rows, QStringLiteral("CLAVE")).size(), 50);
}

void DatabaseTest::waitsForAnotherProgramsLock()
{
    CompanyDatabase database(TestEngine::Sqlite);
    database.addBlock(QStringLiteral("Origen"), QStringLiteral("Agenda"), 5);
    QElapsedTimer timer;
    timer.start();
    {
        LockHolder holder(database.file(), "BEGIN EXCLUSIVE", 1500ms);
        auto connection = openDatabase(CompanyDatabase::windowsPath);
        auto rows = connection->openSnapshot(granguia::listCompanies());
        QCOMPARE(columnOf(*rows, granguia::companyColumn), QStringList {QStringLiteral("Origen")});
        QVERIFY(timer.elapsed() >= 1000);
        QCOMPARE(connection->execute(
                     granguia::deleteBlock(QStringLiteral("Origen"), QStringLiteral("Agenda"))),
            5);
    }
}

void DatabaseTest::copyTakesTheLockBeforeTheCheck()
{
    // Another operator is copying the same program to the same new company: ours waits for it
    // and then finds the block, instead of adding a second one.
    CompanyDatabase database(TestEngine::Sqlite);
    database.addBlock(QStringLiteral("Origen"), QStringLiteral("Agenda"), 20);
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    DatabaseConnection::BlockCopy outcome;
    {
        LockHolder otherOperator(database.file(), "BEGIN IMMEDIATE", 800ms,
            QStringLiteral("INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) "
                           "SELECT 'Nueva', Aplica, clave, cosa FROM GRANGUIA "
                           "WHERE Empresa = 'Origen'"));
        outcome = connection->copyUnlessPresent(
            granguia::findBlock(QStringLiteral("Nueva"), QStringLiteral("Agenda"), Dialect::Sqlite),
            granguia::copyBlock(QStringLiteral("Origen"), QStringLiteral("Nueva"),
                QStringLiteral("Agenda"), Dialect::Sqlite));
    }
    QCOMPARE(outcome, DatabaseConnection::BlockCopy::AlreadyPresent);
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva'")), 20);
}

void DatabaseTest::lockHeldTooLongFails()
{
    CompanyDatabase database(TestEngine::Sqlite);
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    QElapsedTimer timer;
    timer.start();
    LockHolder holder(database.file(), "BEGIN EXCLUSIVE", 11500ms);
    QString text;
    QCOMPARE(failureNumber([&] { connection->openSnapshot(granguia::listCompanies()); }, &text),
        SQLITE_BUSY);
    QVERIFY2(timer.elapsed() >= 9500, qPrintable(QString::number(timer.elapsed())));
}

namespace {

const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;

} // namespace

void DatabaseTest::odbcSourceFileIsRead()
{
    const auto source = readOdbcSource("\xEF\xBB\xBF; servidor de la oficina\r\n[odbc]\r\n"
                                       "DRIVER={PostgreSQL Unicode}\r\nSERVER = 127.0.0.1 \r\n"
                                       "Database=empresas;2026\r\nPWD=a}b=c\r\nUID={x}y\r\n"
                                       "Comment= con espacio\r\n[Otra]\r\nUID=nadie\r\n");
    QVERIFY(source);
    QVERIFY(source->holdsPassword());
    QCOMPARE(source->connectionString(),
        QStringLiteral("DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;Database={empresas;2026};"
                       "PWD=a}b=c;UID={{x}}y};Comment=con espacio"));
    QVERIFY(!readOdbcSource("[ODBC Data Sources]\nx=y\n"));
    QVERIFY(!readOdbcSource("DRIVER=x\n[ODBC]\n"));
    QVERIFY(!readOdbcSource("Esto no es una base de datos\n"));
    QVERIFY(!readOdbcSource("[ODBC]\nDRIVER=x\nPWD=\n")->holdsPassword());
    QVERIFY(readOdbcSource("[ODBC]\nDRIVER={x};SERVER=y;pwd=z\n")->holdsPassword());
}

void DatabaseTest::odbcPasswordReadableByOthersIsRefused()
{
    CompanyDatabase database(TestEngine::Sqlite);
    const QString path = database.folder() + QStringLiteral("/drive_c/fuente.dsn");
    const QString windowsPath = QStringLiteral("C:\\fuente.dsn");
    const QByteArray withPassword
        = "[ODBC]\nDRIVER=SQLite3\nDatabase=" + database.file().toUtf8() + "\nPWD=x\n";

    writeFile(path, withPassword, ownerOnly | QFile::ReadGroup);
    QString text;
    QCOMPARE(failureNumber([&] { openDatabase(windowsPath); }, &text), 3033);
    QVERIFY2(text.contains(QStringLiteral("contraseña")) && text.contains(windowsPath),
        qPrintable(text));
    writeFile(path, withPassword, ownerOnly | QFile::ReadOther);
    QCOMPARE(failureNumber([&] { openDatabase(windowsPath); }), 3033);

    // Readable only by its owner, or holding no password, it is used.
    writeFile(path, withPassword, ownerOnly);
    QCOMPARE(failureNumber([&] { openDatabase(windowsPath); }), noFailure);
    writeFile(path, "[ODBC]\nDRIVER=SQLite3\nDatabase=" + database.file().toUtf8() + "\n",
        ownerOnly | QFile::ReadGroup | QFile::ReadOther);
    auto connection = openDatabase(windowsPath);
    QVERIFY(!connection->openSnapshot(granguia::listCompanies())->hasRows());
}

void DatabaseTest::odbcSourceReachesTheDriverAsWritten()
{
    CompanyDatabase database(TestEngine::Sqlite);
    database.addBlock(QStringLiteral("Alfa"), QStringLiteral("Agenda"), 1);
    // '=' and braces inside a value need no braces around it; SQLite's driver does not read them.
    const QString folder = database.folder() + QStringLiteral("/Datos=2024 {x}");
    QVERIFY(QDir().mkpath(folder));
    const QByteArray file = (folder + QStringLiteral("/empresas.sqlite")).toUtf8();
    QVERIFY(QFile::copy(database.file(), QString::fromUtf8(file)));
    const QString path = database.folder() + QStringLiteral("/drive_c/fuente.dsn");
    const auto companies = [] {
        auto rows = openDatabase(QStringLiteral("C:\\fuente.dsn"))
                        ->openSnapshot(granguia::listCompanies());
        return columnOf(*rows, granguia::companyColumn);
    };
    const QStringList alfa {QStringLiteral("Alfa")};

    writeFile(path, "[ODBC]\nDRIVER=SQLite3\nDatabase=" + file + "\n", ownerOnly);
    QCOMPARE(companies(), alfa);

    // Qt's driver takes a name holding ".dsn" for a file DSN's name.
    writeFile(path,
        "[ODBC]\nDescription=Copia de EMPRESAS.DSN\nDRIVER=SQLite3\nDatabase=" + file + "\n",
        ownerOnly);
    QCOMPARE(companies(), alfa);

    // A data source of the user's ODBC settings, named instead of a driver.
    const QString odbcIni = database.folder() + QStringLiteral("/odbc.ini");
    writeFile(odbcIni, "[Empresas]\nDriver=SQLite3\nDatabase=" + file + "\n", ownerOnly);
    qputenv("ODBCINI", QFile::encodeName(odbcIni));
    writeFile(path, "[ODBC]\nDSN=Empresas\n", ownerOnly);
    const QStringList named = companies();
    qunsetenv("ODBCINI");
    QCOMPARE(named, alfa);
}

void DatabaseTest::odbcFailuresCarryTheDriversText()
{
    // The number is that of the first record that has one: a driver manager's own records have
    // none, and a driver may add a general record after the one that says what failed. Every
    // record is told, with its SQLSTATE.
    QString text;
    QCOMPARE(failureNumber(
                 [] {
                     throwDiagnostics({{QStringLiteral("01000"), 0, QStringLiteral("aviso")},
                                          {QStringLiteral("HY000"), -1305, QStringLiteral("no")},
                                          {QStringLiteral("IM006"), 0, QStringLiteral("atributo")},
                                          {QStringLiteral("HY000"), 1, QStringLiteral("general")}},
                         QString());
                 },
                 &text),
        -1305);
    QCOMPARE(text,
        QStringLiteral("aviso (SQLSTATE 01000)\r\nno (SQLSTATE HY000)\r\n"
                       "atributo (SQLSTATE IM006)\r\ngeneral (SQLSTATE HY000)"));

    CompanyDatabase database(TestEngine::Sqlite);
    const QString path = database.folder() + QStringLiteral("/drive_c/fuente.dsn");
    writeFile(path, "[ODBC]\nDRIVER=Controlador Inexistente\nSERVER=127.0.0.1\n", ownerOnly);
    failureNumber([] { openDatabase(QStringLiteral("C:\\fuente.dsn")); }, &text);
    QVERIFY2(text.contains(QStringLiteral("Controlador Inexistente")), qPrintable(text));

    // A driver that is listed but does not load (see initTestCase) is passed over for the next
    // one, as the Access drivers are; only when none loads is there nothing.
    const auto connectTo = [&database](const QStringList& drivers) {
        return connectWithFirstDriver(drivers,
            [&database](const QString& driver) {
                return QStringLiteral("DRIVER={%1};Database=%2").arg(driver, database.file());
            },
            {});
    };
    const std::unique_ptr<Session> second = connectTo(
        {QStringLiteral("No instalado"), QStringLiteral("Roto"), QStringLiteral("SQLite3")});
    const std::unique_ptr<Session> none = connectTo({QStringLiteral("Roto")});
    QVERIFY(second && second->dialect() == Dialect::Sqlite);
    QVERIFY(!none);
    // A driver that loads but refuses the file (as the Access Database Engine refuses an Access
    // 97 file) passes it on to the next only where asked to; when none takes it, the first
    // refusal is told.
    const QString absent = database.folder() + QStringLiteral("/falta.sqlite");
    const auto refusedFirst = [&](bool nextOnRefusal, const QStringList& drivers) {
        int attempt = 0;
        return connectWithFirstDriver(
            drivers,
            [&](const QString& driver) {
                return QStringLiteral("DRIVER={%1};NoCreat=1;Database=%2")
                    .arg(driver, ++attempt == 1 ? absent : database.file());
            },
            {}, nextOnRefusal);
    };
    const QStringList twice = {QStringLiteral("SQLite3"), QStringLiteral("SQLite3")};
    QVERIFY(refusedFirst(true, twice));
    QVERIFY(failureNumber([&] { refusedFirst(false, twice); }) != noFailure);
    QVERIFY(failureNumber([&] { refusedFirst(true, {QStringLiteral("SQLite3")}); }, &text)
        != noFailure);
    QVERIFY(!QFile::exists(absent));

    // A file the driver cannot open as a database fails when it is opened.
    writeFile(path, "[ODBC]\nDRIVER=SQLite3\nDatabase=" + path.toUtf8() + "\n", ownerOnly);
    QVERIFY(
        failureNumber([] { openDatabase(QStringLiteral("C:\\fuente.dsn")); }, &text) != noFailure);

    // A missing file behind the driver is reported, not created.
    const QString missing = database.folder() + QStringLiteral("/drive_c/falta.sqlite");
    writeFile(path, "[ODBC]\nDRIVER=SQLite3\nDatabase=" + missing.toUtf8() + "\n", ownerOnly);
    QVERIFY(
        failureNumber([] { openDatabase(QStringLiteral("C:\\fuente.dsn")); }, &text) != noFailure);
    QVERIFY(!QFile::exists(missing));

    // A server that is down, and one that refuses the password.
    if (qEnvironmentVariableIsEmpty("DUPLIVO_TEST_PG"))
        DUPLIVO_SKIP_UNAVAILABLE(QStringLiteral(
            "DUPLIVO_TEST_PG names no PostgreSQL server (tools/with_postgres.sh starts one)"));
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 closedPort = closed.serverPort();
    closed.close();
    writeFile(path,
        QStringLiteral("[ODBC]\nDRIVER=PostgreSQL Unicode\nSERVER=127.0.0.1\nPORT=%1\nUID=x\n")
            .arg(closedPort)
            .toUtf8(),
        ownerOnly);
    QVERIFY(
        failureNumber([] { openDatabase(QStringLiteral("C:\\fuente.dsn")); }, &text) != noFailure);
    QVERIFY2(text.contains(QStringLiteral("refused")), qPrintable(text));

    QByteArray wrongPassword = "[ODBC]\nDRIVER=PostgreSQL Unicode\nPWD=no-es-esta\n";
    for (const QString& part : qEnvironmentVariable("DUPLIVO_TEST_PG").split(u';')) {
        if (!part.startsWith(QLatin1String("PWD="), Qt::CaseInsensitive))
            wrongPassword += part.toUtf8() + '\n';
    }
    writeFile(path, wrongPassword, ownerOnly);
    QVERIFY(
        failureNumber([] { openDatabase(QStringLiteral("C:\\fuente.dsn")); }, &text) != noFailure);
    QVERIFY2(text.contains(QStringLiteral("password authentication failed")), qPrintable(text));
}

void DatabaseTest::copyCheckInEachDialectsWords_data()
{
    // What each engine is sent to find a block, one row at most: Jet knows TOP, not LIMIT, and
    // a driver whose dialect is unknown gets neither (only the first row is fetched). Nothing
    // here runs Jet, so this is what stands for it.
    QTest::addColumn<int>("dialect");
    QTest::addColumn<QString>("check");
    const QString limited
        = QStringLiteral("SELECT 1 FROM GRANGUIA WHERE Empresa = ? AND Aplica = ? LIMIT 1");
    QTest::newRow("SQLite") << int(Dialect::Sqlite) << limited;
    QTest::newRow("PostgreSQL") << int(Dialect::PostgreSql) << limited;
    QTest::newRow("MariaDB") << int(Dialect::MariaDb) << limited;
    QTest::newRow("Access") << int(Dialect::Access)
                            << QStringLiteral(
                                   "SELECT TOP 1 1 FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?");
    QTest::newRow("other") << int(Dialect::Other)
                           << QStringLiteral(
                                  "SELECT 1 FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?");
}

void DatabaseTest::copyCheckInEachDialectsWords()
{
    QFETCH(int, dialect);
    QFETCH(QString, check);
    const Statement found = granguia::findBlock(
        QStringLiteral("Nueva"), QStringLiteral("Agenda"), static_cast<Dialect>(dialect));
    QCOMPARE(found.text, check);
    QCOMPARE(found.values, (QVariantList {QStringLiteral("Nueva"), QStringLiteral("Agenda")}));
}

void DatabaseTest::unansweringServerIsGivenUpAfterTenSeconds()
{
    // Accepts connections (the system does) but never says a word.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    CompanyDatabase database(TestEngine::Sqlite);
    const QString path = database.folder() + QStringLiteral("/drive_c/fuente.dsn");
    writeFile(path,
        QStringLiteral(
            "[ODBC]\nDRIVER=PostgreSQL Unicode\nSERVER=127.0.0.1\nPORT=%1\nDATABASE=x\nUID=x\n")
            .arg(silent.serverPort())
            .toUtf8(),
        ownerOnly);
    QElapsedTimer timer;
    timer.start();
    QString text;
    QVERIFY(
        failureNumber([] { openDatabase(QStringLiteral("C:\\fuente.dsn")); }, &text) != noFailure);
    if (text.contains(QStringLiteral("PostgreSQL Unicode"))
        && !text.contains(QStringLiteral("timeout")))
        DUPLIVO_SKIP_UNAVAILABLE(
            QStringLiteral("the PostgreSQL ODBC driver is not installed: ") + text);
    QVERIFY2(timer.elapsed() >= 9000 && timer.elapsed() < 20000,
        qPrintable(QString::number(timer.elapsed())));
}

QTEST_GUILESS_MAIN(DatabaseTest)
#include "test_database.moc"
