// The database layer on real SQLite files: where a Windows path leads, what opens and what
// fails, bound values, the copy's transaction and waiting for other programs' locks.
#include <chrono>
#include <thread>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <sqlite3.h>

#include "db/database.h"
#include "db/granguia.h"
#include "tests/support.h"

using namespace duplivo;
using namespace duplivo::test;
using namespace std::chrono_literals;

namespace {

QStringList column(ResultSet& rows, const QString& name)
{
    QStringList values;
    for (rows.moveFirst(); !rows.atEnd(); rows.moveNext())
        values << rows.field(name).toString();
    return values;
}

int failureNumber(const std::function<void()>& action, QString* text = nullptr)
{
    try {
        action();
    } catch (const Failure& failure) {
        if (text)
            *text = failure.text();
        return failure.number();
    }
    return 0;
}

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
    void windowsPathLeadsThroughWineDrive();
    void otherPathFormsCannotBeOpened_data();
    void otherPathFormsCannotBeOpened();
    void missingFileIsNeverCreated();
    void onlyDatabasesOpen();
    void unusualFileNamesOpenThatFile();
    void valuesSelectExactlyTheirOwnRows();
    void copyKeepsValuesAndDefaultsTheRest();
    void copyChecksBeforeWriting();
    void failedCopyLeavesNothingAndConnectionUsable();
    void resultsHoldNoLock();
    void waitsForAnotherProgramsLock();
    void copyTakesTheLockBeforeTheCheck();
    void lockHeldTooLongFails();
};

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
    QCOMPARE(resolveDatabaseFile(QStringLiteral("D:\\Tarvex.win\\Tarvex.mdb")),
        drive + "/Tarvex.win/Tarvex.mdb");
    QCOMPARE(
        resolveDatabaseFile(QStringLiteral("d:\\otra\\DATOS\\x.mdb")), drive + "/Otra/Datos/x.mdb");

    qputenv("WINEPREFIX", dir.filePath(QStringLiteral("other")).toLocal8Bit());
    QCOMPARE(resolveDatabaseFile(QStringLiteral("D:\\a\\b")),
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
    CompanyDatabase database;
    const QString missing = QStringLiteral("C:\\Tarvex.win\\Otra.mdb");
    QString text;
    QCOMPARE(failureNumber([&] { openDatabase(missing); }, &text), 3024);
    QVERIFY2(text.contains(missing), qPrintable(text));
    QVERIFY(!QFile::exists(database.folder() + QStringLiteral("/drive_c/Tarvex.win/Otra.mdb")));
    QCOMPARE(failureNumber([&] { openDatabase(QStringLiteral("C:\\NoHay\\Tarvex.mdb")); }), 3024);
    QVERIFY(!QFile::exists(database.folder() + QStringLiteral("/drive_c/NoHay")));
}

void DatabaseTest::onlyDatabasesOpen()
{
    CompanyDatabase database;
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
    QVERIFY(failureNumber([] { openDatabase(QStringLiteral("C:\\danado.mdb")); }) != 0);
#ifndef Q_OS_WIN
    QCOMPARE(failureNumber([] { openDatabase(QStringLiteral("C:\\access.mdb")); }, &text), 3343);
    QVERIFY2(text.contains(QStringLiteral("ODBC de Microsoft Access")), qPrintable(text));
#endif
    QCOMPARE(failureNumber([] { openDatabase(QStringLiteral("C:\\Tarvex.win")); }), 3024);
    QCOMPARE(failureNumber([] { openDatabase(CompanyDatabase::windowsPath); }), 0);
}

void DatabaseTest::unusualFileNamesOpenThatFile()
{
    CompanyDatabase database;
    const QString folderName = QStringLiteral("Datos #1 al 100% año");
    QDir(database.folder() + QStringLiteral("/drive_c")).mkpath(folderName);
    const QString copy = database.folder() + QStringLiteral("/drive_c/") + folderName
        + QStringLiteral("/Tarvex #2.mdb");
    database.insert(QStringLiteral("Marca"), QStringLiteral("Agenda"), 1, 1);
    QVERIFY(QFile::copy(database.file(), copy));

    auto connection
        = openDatabase(QStringLiteral("C:\\") + folderName + QStringLiteral("\\Tarvex #2.mdb"));
    auto rows = connection->openSnapshot(granguia::listCompanies());
    QCOMPARE(column(*rows, granguia::companyColumn), QStringList {QStringLiteral("Marca")});
    QCOMPARE(
        QDir(database.folder() + QStringLiteral("/drive_c/") + folderName).entryList(QDir::Files),
        QStringList {QStringLiteral("Tarvex #2.mdb")});
    QCOMPARE(
        QDir(database.folder() + QStringLiteral("/drive_c")).entryList(QDir::Files), QStringList());
}

void DatabaseTest::valuesSelectExactlyTheirOwnRows()
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
    };
    for (const QString& name : names) {
        database.insert(name, name + QStringLiteral(" programa"), 1, 2);
        database.insert(name, QStringLiteral("Común"), 1, 2);
    }
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    QStringList companies
        = column(*connection->openSnapshot(granguia::listCompanies()), granguia::companyColumn);
    companies.sort();
    QStringList expected = names;
    expected.sort();
    QCOMPARE(companies, expected);

    for (const QString& name : names) {
        auto programs = connection->openSnapshot(granguia::listPrograms(name));
        QStringList listed = column(*programs, granguia::programColumn);
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

void DatabaseTest::copyKeepsValuesAndDefaultsTheRest()
{
    CompanyDatabase database;
    database.exec(QStringLiteral("INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa, Alta) VALUES "
                                 "('Origen', 'Nóminas', 'texto', 42, 'antigua'),"
                                 "('Origen', 'Nóminas', 3.25, x'00ff10', 'antigua'),"
                                 "('Origen', 'Nóminas', NULL, 'ünïcödé 😀', 'antigua'),"
                                 "('Origen', 'Nóminas', -9007199254740993, NULL, 'antigua'),"
                                 "('Origen', 'Agenda', 'otra', 1, 'antigua')"));
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    const auto outcome = connection->copyUnlessPresent(
        granguia::findBlock(QStringLiteral("Nueva"), QStringLiteral("Nóminas")),
        granguia::copyBlock(
            QStringLiteral("Origen"), QStringLiteral("Nueva"), QStringLiteral("Nóminas")));
    QCOMPARE(outcome, DatabaseConnection::BlockCopy::Copied);

    QStringList expected;
    for (QString row : database.block(QStringLiteral("Origen"), QStringLiteral("Nóminas")))
        expected << row.replace(QStringLiteral("text:antigua"), QStringLiteral("text:por defecto"));
    QCOMPARE(database.block(QStringLiteral("Nueva"), QStringLiteral("Nóminas")), expected);
    QCOMPARE(expected.size(), 4);
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva'")), 4);
    QCOMPARE(database.count(QStringLiteral("Id IS NULL")), 0);
}

void DatabaseTest::copyChecksBeforeWriting()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Origen"), QStringLiteral("Agenda"), 3);
    database.addBlock(QStringLiteral("Nueva"), QStringLiteral("Agenda"), 1);
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    const auto copy = [&](const QString& from, const QString& to) {
        return connection->copyUnlessPresent(granguia::findBlock(to, QStringLiteral("Agenda")),
            granguia::copyBlock(from, to, QStringLiteral("Agenda")));
    };
    QCOMPARE(copy(QStringLiteral("Origen"), QStringLiteral("Nueva")),
        DatabaseConnection::BlockCopy::AlreadyPresent);
    QCOMPARE(copy(QStringLiteral("Origen"), QStringLiteral("Origen")),
        DatabaseConnection::BlockCopy::AlreadyPresent);
    QCOMPARE(copy(QStringLiteral("Nadie"), QStringLiteral("Otra")),
        DatabaseConnection::BlockCopy::NothingToCopy);
    QCOMPARE(database.count(), 4);
    QCOMPARE(copy(QStringLiteral("Origen"), QStringLiteral("Otra")),
        DatabaseConnection::BlockCopy::Copied);
    QCOMPARE(copy(QStringLiteral("Origen"), QStringLiteral("Otra")),
        DatabaseConnection::BlockCopy::AlreadyPresent);
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Otra'")), 3);
}

void DatabaseTest::failedCopyLeavesNothingAndConnectionUsable()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Origen"), QStringLiteral("Agenda"), 100);
    database.exec(QStringLiteral(
        "CREATE TRIGGER falla BEFORE INSERT ON GRANGUIA WHEN NEW.clave = 'Agenda-60' "
        "BEGIN SELECT RAISE(ABORT, 'disco lleno'); END"));
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    const auto copy = [&] {
        return connection->copyUnlessPresent(
            granguia::findBlock(QStringLiteral("Nueva"), QStringLiteral("Agenda")),
            granguia::copyBlock(
                QStringLiteral("Origen"), QStringLiteral("Nueva"), QStringLiteral("Agenda")));
    };
    QString text;
    QCOMPARE(failureNumber(copy, &text), SQLITE_CONSTRAINT_TRIGGER);
    QVERIFY2(text.contains(QStringLiteral("disco lleno")), qPrintable(text));
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva'")), 0);

    // No transaction was left open: another program can write, and a retry goes through.
    database.exec(QStringLiteral("DROP TRIGGER falla"));
    QCOMPARE(copy(), DatabaseConnection::BlockCopy::Copied);
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva'")), 100);
}

void DatabaseTest::resultsHoldNoLock()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Origen"), QStringLiteral("Agenda"), 50);
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    auto rows = connection->openSnapshot(
        granguia::findBlock(QStringLiteral("Origen"), QStringLiteral("Agenda")));
    QVERIFY(rows->hasRows());

    sqlite3* other = nullptr;
    sqlite3_open(database.file().toUtf8().constData(), &other);
    const int rc = sqlite3_exec(
        other, "BEGIN EXCLUSIVE; DELETE FROM GRANGUIA; COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    QCOMPARE(rc, SQLITE_OK);
    QCOMPARE(column(*rows, QStringLiteral("CLAVE")).size(), 50);
}

void DatabaseTest::waitsForAnotherProgramsLock()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Origen"), QStringLiteral("Agenda"), 5);
    QElapsedTimer timer;
    timer.start();
    {
        LockHolder holder(database.file(), "BEGIN EXCLUSIVE", 1500ms);
        auto connection = openDatabase(CompanyDatabase::windowsPath);
        auto rows = connection->openSnapshot(granguia::listCompanies());
        QCOMPARE(column(*rows, granguia::companyColumn), QStringList {QStringLiteral("Origen")});
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
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Origen"), QStringLiteral("Agenda"), 20);
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    DatabaseConnection::BlockCopy outcome;
    {
        LockHolder otherOperator(database.file(), "BEGIN IMMEDIATE", 800ms,
            QStringLiteral("INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) "
                           "SELECT 'Nueva', Aplica, clave, cosa FROM GRANGUIA "
                           "WHERE Empresa = 'Origen'"));
        outcome = connection->copyUnlessPresent(
            granguia::findBlock(QStringLiteral("Nueva"), QStringLiteral("Agenda")),
            granguia::copyBlock(
                QStringLiteral("Origen"), QStringLiteral("Nueva"), QStringLiteral("Agenda")));
    }
    QCOMPARE(outcome, DatabaseConnection::BlockCopy::AlreadyPresent);
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva'")), 20);
}

void DatabaseTest::lockHeldTooLongFails()
{
    CompanyDatabase database;
    auto connection = openDatabase(CompanyDatabase::windowsPath);
    QElapsedTimer timer;
    timer.start();
    LockHolder holder(database.file(), "BEGIN EXCLUSIVE", 11500ms);
    QString text;
    QCOMPARE(failureNumber([&] { connection->openSnapshot(granguia::listCompanies()); }, &text),
        SQLITE_BUSY);
    QVERIFY2(timer.elapsed() >= 9500, qPrintable(QString::number(timer.elapsed())));
}

QTEST_GUILESS_MAIN(DatabaseTest)
#include "test_database.moc"
