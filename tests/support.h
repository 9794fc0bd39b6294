// Test doubles for the platform services, a company database in a temporary Wine drive, and the
// real window wired to both.
#pragma once

#include <functional>
#include <limits>
#include <memory>
#include <optional>

#include <QFile>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

#include "base/failure.h"
#include "base/platform.h"
#include "ui/frmseleccion.h"

class QComboBox;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace duplivo::test {

// Writes a whole file and gives it these permissions.
void writeFile(const QString& path, const QByteArray& content, QFile::Permissions permissions);
// The values of one column of a result, as text.
QStringList columnOf(ResultSet& rows, const QString& name);
// The number of the failure `action` throws, noFailure when it throws none; its text into `text`.
// (Drivers report failures numbered 0 too.)
constexpr int noFailure = std::numeric_limits<int>::min();
int failureNumber(const std::function<void()>& action, QString* text = nullptr);

class FakeSettings final : public SettingsStore
{
public:
    // The value under discos / BasesDeTarvex / Tarvex; nothing stored when empty.
    std::optional<QString> drive;
    std::optional<Failure> failure;

    QString get(const QString& application, const QString& section, const QString& key,
        const QString& defaultValue) const override;
};

struct ShownMessage
{
    QString text;
    int style;
    QString title;

    friend bool operator==(const ShownMessage&, const ShownMessage&) = default;
};
// How QCOMPARE shows one.
char* toString(const ShownMessage& message);

// Records every message and answers from a queue; an unscripted Yes/No question is answered No
// and counted, so a test notices it.
class ScriptedMessageBox final : public MessageBox
{
public:
    QList<ShownMessage> shown;
    QList<int> answers;
    int unscripted = 0;
    std::function<void()> whileShown;

    int show(const QString& text, int style, const QString& title = QString()) override;
    QStringList texts() const;
};

class RecordingProgramEnd final : public ProgramEnd
{
public:
    QList<int> statuses;
    void end(int status) override { statuses << status; }
};

// The engine the database tests run on, from DUPLIVO_TEST_ENGINE: "sqlite" (the default), a
// SQLite file behind an ODBC file DSN ("sqlite-odbc"), or a server behind one: "postgresql" on
// the server DUPLIVO_TEST_PG names, "mariadb" on the one DUPLIVO_TEST_MARIADB names.
enum class TestEngine { Sqlite, SqliteOdbc, Postgres, MariaDb };
// Whether the engine is a server the tests reach through its client library.
inline bool isServer(TestEngine engine)
{
    return engine == TestEngine::Postgres || engine == TestEngine::MariaDb;
}
TestEngine testEngine();
// Why the engine cannot be used here, or nothing when it can.
QString engineUnavailable();
// True where every engine, driver and tool is promised to be present (DUPLIVO_TEST_EVERYTHING is
// set, as CI sets it): a test that lacks one fails there instead of being skipped.
bool everythingRequired();

// Skips a test that this machine cannot run, or fails it where everything is required. A macro:
// QSKIP and QFAIL must stand in the test function itself.
#define DUPLIVO_SKIP_UNAVAILABLE(why)                                                              \
    do {                                                                                           \
        const QString reason_ = (why);                                                             \
        if (duplivo::test::everythingRequired())                                                   \
            QFAIL(qPrintable(QStringLiteral("required, but unavailable: ") + reason_));            \
        QSKIP(qPrintable(reason_));                                                                \
    } while (false)

// Drive C of the database path while it lives. On Linux a Wine prefix in a scratch folder, whose
// drive C is scratch/drive_c (WINEPREFIX points there); on Windows the machine's own drive C,
// which must not hold a company database of its own.
class DriveC
{
public:
    explicit DriveC(const QString& scratch);
    ~DriveC();
    DriveC(const DriveC&) = delete;
    DriveC& operator=(const DriveC&) = delete;

    // The folder that is C:\, with forward slashes.
    const QString& folder() const { return m_folder; }

private:
    QString m_folder;
    QByteArray m_previousPrefix;
};

// A company database at C:\Tarvex.win\Tarvex.mdb (see DriveC), on the test engine. Written and read
// with the engine's own client library (sqlite3, libpq), never with the code under test.
class CompanyDatabase
{
public:
    static inline const QString windowsPath = QStringLiteral("C:\\Tarvex.win\\Tarvex.mdb");

    // The column types of clave and cosa: by default none on SQLite, which then keeps each
    // value's own type, and TEXT on the servers. Empresa holds up to `companyLength` characters;
    // by default as many as the engine's text (MariaDB's: VARCHAR(255), compared exactly).
    explicit CompanyDatabase(TestEngine engine = testEngine(), const QString& claveType = QString(),
        const QString& cosaType = QString(), int companyLength = 0);
    ~CompanyDatabase();
    CompanyDatabase(const CompanyDatabase&) = delete;
    CompanyDatabase& operator=(const CompanyDatabase&) = delete;

    TestEngine engine() const { return m_engine; }
    QString folder() const { return m_dir.path(); }
    // The SQLite file itself, on the SQLite engines.
    QString file() const;
    // The file at the database path: the SQLite file, or the DSN file.
    QString pathFile() const;

    void exec(const QString& sql) const;
    void insert(const QVariant& company, const QVariant& program, const QVariant& clave,
        const QVariant& cosa) const;
    void addBlock(const QString& company, const QString& program, int rows) const;
    // Each row of the block as "clave|cosa|Alta", each value with its type.
    QStringList block(const QString& company, const QString& program) const;
    int count(const QString& where = QString()) const;
    // The first column of a query's rows, in the engine's order.
    QStringList column(const QString& sql) const;
    // Each row of a query as "value|value|…", each value with its type, in the engine's order.
    QStringList rows(const QString& sql) const;

    // From now on, inserting a row whose clave is `clave` fails with `message`.
    void failInsertsOf(const QString& clave, const QString& message) const;
    // From now on, inserting a row whose clave is `clave` takes `seconds` first (on SQLite,
    // about as long, counting).
    void slowInsertsOf(const QString& clave, int seconds) const;
    void dropTable() const;
    // No connection but this one holds a lock or an open transaction.
    bool nothingLocked() const;

    class Backend;

private:
    TestEngine m_engine;
    QTemporaryDir m_dir;
    DriveC m_driveC;
    std::unique_ptr<Backend> m_backend;
};

// The real window with scripted services; the window goes with it.
class WindowHarness
{
public:
    FakeSettings settings;
    ScriptedMessageBox messages;
    RecordingProgramEnd programEnd;
    // The user's data, where the copies of deleted blocks go: a folder of the harness's own.
    QTemporaryDir userData;
    std::unique_ptr<frmSeleccion> window;

    WindowHarness();
    ~WindowHarness();

    // Creates the window and runs its load step; shows it and waits until it is active when the
    // load step lets it open. Returns whether it opened.
    bool open();
    // Opens the window and does what an operator does before a command: chooses the company,
    // types the new name (unless it is empty) and ticks the programs in turn. Returns whether
    // every step went as it should.
    bool prepare(const QString& company, const QString& newName, const QStringList& programs);

    QComboBox* companies() const;
    QLineEdit* newCompany() const;
    QListWidget* programs() const;
    QPushButton* button(const char* name) const;
    QString focusName() const;
    QStringList programNames() const;

    // The operator's gestures.
    void chooseCompany(const QString& name);
    void clickProgram(const QString& name);
    void typeNewCompany(const QString& name);
    void click(const char* buttonName);
};

} // namespace duplivo::test
