// The real program on its own X server, driven with real mouse clicks and key presses through
// xdotool, and judged by the windows it shows, the database it leaves and the status it ends with.
#include <algorithm>
#include <optional>

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>

namespace {

const QString programPath = QStringLiteral(DUPLIVO_PROGRAM);
const QString mainTitle = QStringLiteral("Copia de Empresa");
const QString boxTitle = QStringLiteral("Duplivo");
const QString installationTitle = QStringLiteral("Error de instalación");
const QByteArray driveC = "[BasesDeTarvex]\r\nTarvex=C\r\n";

// The first window may be slow to come: a sanitizer build starts slowly, and CI runs the tests
// side by side on two cores.
constexpr int startTimeoutMs = 60000;
constexpr int stepTimeoutMs = 20000;
constexpr int pollMs = 40;

// Positions in twips from the client area's top-left corner; 15 twips make a pixel at the 96 DPI
// the X server is started with.
constexpr int pixels(int twips)
{
    return (twips + 7) / 15;
}

constexpr QRect twipRect(int left, int top, int width, int height)
{
    return QRect(pixels(left), pixels(top), pixels(width), pixels(height));
}

constexpr QSize windowSize(pixels(7215), pixels(2880));
constexpr QRect companyBox = twipRect(480, 720, 1935, 315);
constexpr QRect copiarButton = twipRect(5400, 480, 1215, 495);
constexpr QRect salirButton = twipRect(5400, 1680, 1215, 495);
constexpr QRect programList = twipRect(1200, 1440, 1935, 1035);

QPoint companyArrow()
{
    return {companyBox.right() - 6, companyBox.center().y()};
}

// The middle of a row of the programs list. The program's list cannot be looked into from
// outside, so the row height comes from a list of the same Qt, style and font built here.
QPoint programRow(int row)
{
    QListWidget probe;
    probe.addItem(QStringLiteral("Nóminas"));
    const int height = probe.sizeHintForRow(0);
    return {programList.center().x(),
        programList.top() + probe.frameWidth() + row * height + height / 2};
}

// Children die with the test, even when it is killed on a timeout.
void endWithParent(QProcess& process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

struct XWindow
{
    QString id;
    QString name;
    QRect geometry;
    // Override-redirect: drop-down lists, menus and tool tips, never a window or a message box.
    bool popup = false;
};

// A private Xvfb, and the X tools run against it.
class XServer
{
public:
    ~XServer() { stop(); }

    // Empty when the server runs; otherwise why it does not.
    QString start()
    {
        if (!m_logDir.isValid())
            return m_logDir.errorString();
        m_server.setProgram(QStringLiteral("Xvfb"));
        // The server takes a free display and writes its number once it accepts clients.
        m_server.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"),
            QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1024x768x24"),
            QStringLiteral("-dpi"), QStringLiteral("96"), QStringLiteral("-nolisten"),
            QStringLiteral("tcp"), QStringLiteral("-noreset")});
        m_server.setStandardErrorFile(m_logDir.filePath(QStringLiteral("xvfb.log")));
        endWithParent(m_server);
        m_server.start();
        const QDeadlineTimer deadline(stepTimeoutMs);
        QByteArray number;
        while (!number.contains('\n')) {
            if (!m_server.waitForReadyRead(int(deadline.remainingTime()))) {
                const QString what = m_server.state() == QProcess::NotRunning
                    ? QStringLiteral("it ended with status %1").arg(m_server.exitCode())
                    : QStringLiteral("it gave no display number in time");
                stop();
                QFile log(m_logDir.filePath(QStringLiteral("xvfb.log")));
                log.open(QIODevice::ReadOnly);
                return what + QStringLiteral(": ")
                    + QString::fromLocal8Bit(log.readAll()).trimmed();
            }
            number += m_server.readAllStandardOutput();
        }
        m_display = u':' + QString::fromLatin1(number.trimmed());
        return {};
    }

    void stop()
    {
        if (m_server.state() == QProcess::NotRunning)
            return;
        m_server.terminate();
        if (!m_server.waitForFinished(5000)) {
            m_server.kill();
            m_server.waitForFinished(5000);
        }
    }

    const QString& display() const { return m_display; }

    // The standard output of an X tool that succeeded in time; nothing otherwise.
    std::optional<QByteArray> run(const QString& tool, const QStringList& arguments) const
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), m_display);
        // Window names are UTF-8; xwininfo prints them only under a UTF-8 locale.
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        process.setProcessEnvironment(environment);
        endWithParent(process);
        process.start(tool, arguments);
        if (!process.waitForFinished(stepTimeoutMs)) {
            process.kill();
            process.waitForFinished(5000);
            return std::nullopt;
        }
        if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            return std::nullopt;
        return process.readAllStandardOutput();
    }

    // The visible top-level windows of a process, oldest first.
    QList<XWindow> windows(qint64 pid) const
    {
        QList<XWindow> found;
        const std::optional<QByteArray> ids = run(QStringLiteral("xdotool"),
            {QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("--onlyvisible"),
                QStringLiteral("--pid"), QString::number(pid), QStringLiteral("--name"),
                QString()});
        if (!ids)
            return found;
        for (const QByteArray& id : ids->split('\n')) {
            if (id.trimmed().isEmpty())
                continue;
            const std::optional<QByteArray> info
                = run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), QString::fromLatin1(id)});
            // Gone since the search.
            if (!info || !info->contains("Map State: IsViewable"))
                continue;
            if (const std::optional<XWindow> window = describe(QString::fromUtf8(*info)))
                found << *window;
        }
        std::sort(found.begin(), found.end(), [](const XWindow& a, const XWindow& b) {
            return a.id.toULongLong() < b.id.toULongLong();
        });
        return found;
    }

private:
    static std::optional<XWindow> describe(const QString& info)
    {
        static const QRegularExpression header(
            QStringLiteral("Window id: 0x([0-9a-f]+) (?:\"(.*)\"|\\(has no name\\))$"),
            QRegularExpression::MultilineOption);
        const auto number = [&info](const char* label) {
            const QRegularExpression field(QLatin1String(label) + QStringLiteral(":\\s+(-?\\d+)"));
            return field.match(info).captured(1).toInt();
        };
        const QRegularExpressionMatch match = header.match(info);
        if (!match.hasMatch())
            return std::nullopt;
        XWindow window;
        window.id = QString::number(match.captured(1).toULongLong(nullptr, 16));
        window.name = match.captured(2);
        window.geometry = QRect(number("Absolute upper-left X"), number("Absolute upper-left Y"),
            number("Width"), number("Height"));
        window.popup = info.contains(QStringLiteral("Override Redirect State: yes"));
        return window;
    }

    QTemporaryDir m_logDir;
    QProcess m_server;
    QString m_display;
};

// A user's setup in a temporary folder: home and configuration folders, and a Wine prefix whose
// drive C holds the company database.
class Installation
{
public:
    Installation()
    {
        const QDir root(m_dir.path());
        m_ready = m_dir.isValid() && root.mkpath(QStringLiteral("home"))
            && root.mkpath(QStringLiteral("config")) && root.mkpath(QStringLiteral("runtime"))
            && QFile::setPermissions(
                path("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)
            && root.mkpath(QStringLiteral("wine/dosdevices"))
            && root.mkpath(QStringLiteral("drive_c/Tarvex.win"))
            && QFile::link(QStringLiteral("../../drive_c"), path("wine/dosdevices/c:"));
    }

    bool ready() const { return m_ready; }
    QString path(const char* relative) const { return m_dir.filePath(QLatin1String(relative)); }
    QString databaseFile() const { return path("drive_c/Tarvex.win/Tarvex.mdb"); }

    bool writeSettings(const QByteArray& ini) const
    {
        QFile file(path("config/discos.ini"));
        return file.open(QIODevice::WriteOnly) && file.write(ini) == ini.size();
    }

    // Only what the program needs, so that nothing of the user's desktop or home plays a part.
    QProcessEnvironment environment(const QString& display) const
    {
        const QProcessEnvironment outer = QProcessEnvironment::systemEnvironment();
        QProcessEnvironment environment;
        for (const char* name :
            {"PATH", "LD_LIBRARY_PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
            if (outer.contains(QLatin1String(name)))
                environment.insert(QLatin1String(name), outer.value(QLatin1String(name)));
        }
        environment.insert(QStringLiteral("DISPLAY"), display);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        environment.insert(QStringLiteral("HOME"), path("home"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), path("config"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), path("runtime"));
        environment.insert(QStringLiteral("WINEPREFIX"), path("wine"));
        return environment;
    }

private:
    QTemporaryDir m_dir;
    bool m_ready = false;
};

// The company database, written and read with SQLite's own library.
class CompanyFile
{
public:
    explicit CompanyFile(const QString& file)
    {
        check(sqlite3_open(file.toUtf8().constData(), &m_db), "open");
        sqlite3_busy_timeout(m_db, 10000);
        exec("CREATE TABLE GRANGUIA (Id INTEGER PRIMARY KEY, Empresa TEXT, Aplica TEXT, clave, "
             "cosa, Alta TEXT NOT NULL DEFAULT 'por defecto');"
             "CREATE INDEX GRANGUIA_Empresa_Aplica ON GRANGUIA (Empresa, Aplica)");
    }

    ~CompanyFile() { sqlite3_close(m_db); }
    CompanyFile(const CompanyFile&) = delete;
    CompanyFile& operator=(const CompanyFile&) = delete;

    // Rows whose clave and cosa mix SQLite's types, so that a copy has to keep them; Alta is
    // set, so that a copy has to leave it to the table's default.
    void addBlock(const QString& company, const QString& program, int rows)
    {
        sqlite3_stmt* statement = prepare("INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa, "
                                          "Alta) VALUES (?, ?, ?, ?, 'cargado')");
        for (int row = 1; row <= rows; ++row) {
            bindText(statement, 1, company);
            bindText(statement, 2, program);
            if (row % 3 == 0)
                sqlite3_bind_int(statement, 3, row);
            else
                bindText(statement, 3, program.left(3) + u'-' + QString::number(row));
            switch (row % 4) {
            case 0:
                sqlite3_bind_null(statement, 4);
                break;
            case 1:
                sqlite3_bind_int(statement, 4, row * 100);
                break;
            case 2:
                sqlite3_bind_double(statement, 4, row + 0.25);
                break;
            default:
                bindText(statement, 4, QStringLiteral("saldo ñ %1").arg(row));
                break;
            }
            check(sqlite3_step(statement), "insert");
            sqlite3_reset(statement);
        }
        sqlite3_finalize(statement);
    }

    // Every row as "Id|Empresa|Aplica|clave|cosa|Alta", each value with its type, by Id.
    QStringList table() const
    {
        return select("SELECT Id, Empresa, Aplica, clave, cosa, Alta FROM GRANGUIA ORDER BY Id");
    }

    // The rows of one company's program as "clave|cosa|Alta", sorted.
    QStringList block(const QString& company, const QString& program) const
    {
        QStringList rows
            = select("SELECT clave, cosa, Alta FROM GRANGUIA WHERE Empresa = ? AND Aplica = ?",
                {company, program});
        rows.sort();
        return rows;
    }

    // What a copy of these rows holds: the same clave and cosa, Alta from the table's default.
    static QStringList copied(QStringList rows)
    {
        for (QString& row : rows)
            row.replace(QStringLiteral("|text:cargado"), QStringLiteral("|text:por defecto"));
        return rows;
    }

private:
    void check(int rc, const char* what) const
    {
        if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
            qFatal("%s: %s", what, sqlite3_errmsg(m_db));
    }

    void exec(const char* sql) const
    {
        check(sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr), sql);
    }

    sqlite3_stmt* prepare(const char* sql) const
    {
        sqlite3_stmt* statement = nullptr;
        check(sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr), sql);
        return statement;
    }

    static void bindText(sqlite3_stmt* statement, int position, const QString& value)
    {
        const QByteArray text = value.toUtf8();
        sqlite3_bind_text(
            statement, position, text.constData(), int(text.size()), SQLITE_TRANSIENT);
    }

    QStringList select(const char* sql, const QStringList& values = {}) const
    {
        sqlite3_stmt* statement = prepare(sql);
        for (int i = 0; i < values.size(); ++i)
            bindText(statement, i + 1, values[i]);
        QStringList rows;
        int rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            QStringList row;
            for (int column = 0; column < sqlite3_column_count(statement); ++column)
                row << describe(statement, column);
            rows << row.join(u'|');
        }
        check(rc, sql);
        sqlite3_finalize(statement);
        return rows;
    }

    static QString describe(sqlite3_stmt* statement, int column)
    {
        switch (sqlite3_column_type(statement, column)) {
        case SQLITE_NULL:
            return QStringLiteral("null");
        case SQLITE_INTEGER:
            return QStringLiteral("int:%1").arg(sqlite3_column_int64(statement, column));
        case SQLITE_FLOAT:
            return QStringLiteral("real:%1").arg(
                sqlite3_column_double(statement, column), 0, 'g', 17);
        default:
            return QStringLiteral("text:")
                + QString::fromUtf8(
                    reinterpret_cast<const char*>(sqlite3_column_text(statement, column)));
        }
    }

    sqlite3* m_db = nullptr;
};

// One run of the program on the test's X server. Every step waits for what it needs with a
// deadline; a run that is still going when it is destroyed is killed.
class ProgramRun
{
public:
    ProgramRun(const XServer& x, const Installation& installation)
        : m_x(x)
        , m_log(installation.path("duplivo.log"))
    {
        m_process.setProgram(programPath);
        m_process.setProcessEnvironment(installation.environment(x.display()));
        m_process.setWorkingDirectory(installation.path("home"));
        m_process.setStandardOutputFile(m_log);
        m_process.setStandardErrorFile(m_log, QIODevice::Append);
        endWithParent(m_process);
        m_process.start();
        m_pid = m_process.processId();
    }

    ~ProgramRun()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    // Why the last step failed, with what the program wrote.
    QString error() const
    {
        QFile log(m_log);
        log.open(QIODevice::ReadOnly);
        const QString output = QString::fromLocal8Bit(log.readAll()).right(4000).trimmed();
        return m_error + QStringLiteral("\nwindows so far: ") + m_titles.join(QStringLiteral(", "))
            + (output.isEmpty() ? QString() : QStringLiteral("\nprogram output:\n") + output);
    }

    // The names of the windows the program showed, in the order they appeared.
    const QStringList& titles() const { return m_titles; }
    const XWindow& mainWindow() const { return m_main; }
    int exitCode() const { return m_process.exitCode(); }

    // Waits for the main window and gives it the keyboard, as a window manager would.
    bool openMainWindow()
    {
        const std::optional<XWindow> window = nextWindow(startTimeoutMs);
        if (!window)
            return false;
        // The exact name is checked with all the others at the end of each case.
        if (!window->name.startsWith(mainTitle))
            return fail(QStringLiteral("the first window is not the main window"));
        m_main = *window;
        return tool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), m_main.id});
    }

    // Waits for the next window other than a drop-down list: a message box, here.
    bool nextBox(int timeoutMs = stepTimeoutMs)
    {
        const std::optional<XWindow> window = nextWindow(timeoutMs);
        if (window)
            m_box = *window;
        return window.has_value();
    }

    // Gives the keyboard to the message box, presses a key, and waits until the box has gone.
    bool answerBox(const QString& key)
    {
        if (!tool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), m_box.id,
                QStringLiteral("key"), key}))
            return false;
        const QDeadlineTimer deadline(stepTimeoutMs);
        while (isShown(m_box)) {
            if (deadline.hasExpired())
                return fail(
                    QStringLiteral("the box '%1' did not close on %2").arg(m_box.name, key));
            QThread::msleep(pollMs);
        }
        return true;
    }

    // A click into the main window at a position of its client area; the window gets the
    // keyboard first, as a click-to-focus window manager would give it.
    bool click(QPoint position)
    {
        return tool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), m_main.id,
            QStringLiteral("mousemove"), QStringLiteral("--window"), m_main.id,
            QString::number(position.x()), QString::number(position.y()), QStringLiteral("click"),
            QStringLiteral("1")});
    }

    bool key(const QString& key)
    {
        return tool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), m_main.id,
            QStringLiteral("key"), key});
    }

    bool type(const QString& text)
    {
        return tool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), m_main.id,
            QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"), text});
    }

    // Opens the company box's drop-down list with the mouse, and picks the company whose name
    // starts with `initial` with the keyboard. Returns once the list has closed: while it is open
    // it holds the mouse, and a click would go to it.
    bool chooseFromCompanyList(const QString& initial)
    {
        return click(companyArrow()) && waitForDropDown(true)
            && tool({QStringLiteral("key"), initial, QStringLiteral("Return")})
            && waitForDropDown(false);
    }

    // The program still runs and shows its main window.
    bool staysOpen()
    {
        if (ended())
            return fail(QStringLiteral("the program ended"));
        return isShown(m_main) || fail(QStringLiteral("the main window has gone"));
    }

    // Waits for the program to end by itself, showing no further window.
    bool waitForExit()
    {
        const QDeadlineTimer deadline(stepTimeoutMs);
        while (!ended()) {
            if (deadline.hasExpired())
                return fail(QStringLiteral("the program did not end"));
            const int shown = m_titles.size();
            noteNewWindows();
            if (m_titles.size() > shown)
                return fail(QStringLiteral("a window appeared instead of the end"));
            QThread::msleep(pollMs);
        }
        if (m_process.exitStatus() != QProcess::NormalExit)
            return fail(QStringLiteral("the program crashed"));
        return true;
    }

private:
    bool fail(const QString& what)
    {
        m_error = what;
        return false;
    }

    bool tool(const QStringList& arguments)
    {
        return m_x.run(QStringLiteral("xdotool"), arguments).has_value()
            || fail(QStringLiteral("xdotool %1 failed").arg(arguments.join(u' ')));
    }

    // QProcess learns of the end only when asked.
    bool ended()
    {
        return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(0);
    }

    QList<XWindow> windows() { return ended() ? QList<XWindow>() : m_x.windows(m_pid); }

    bool isShown(const XWindow& window)
    {
        const QList<XWindow> windows = this->windows();
        return std::any_of(windows.cbegin(), windows.cend(),
            [&window](const XWindow& shown) { return shown.id == window.id; });
    }

    bool waitForDropDown(bool open)
    {
        const QDeadlineTimer deadline(stepTimeoutMs);
        for (;;) {
            const QList<XWindow> windows = this->windows();
            if (std::any_of(windows.cbegin(), windows.cend(),
                    [](const XWindow& window) { return window.popup; })
                == open)
                return true;
            if (deadline.hasExpired())
                return fail(open ? QStringLiteral("the company list did not open")
                                 : QStringLiteral("the company list did not close"));
            QThread::msleep(pollMs);
        }
    }

    void noteNewWindows()
    {
        for (const XWindow& window : windows()) {
            if (window.popup || m_known.contains(window.id))
                continue;
            m_known.insert(window.id);
            m_titles << window.name;
            m_pending << window;
        }
    }

    std::optional<XWindow> nextWindow(int timeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            noteNewWindows();
            if (!m_pending.isEmpty())
                return m_pending.takeFirst();
            if (ended()) {
                fail(QStringLiteral("the program ended with status %1 instead of showing a window")
                         .arg(m_process.exitCode()));
                return std::nullopt;
            }
            if (deadline.hasExpired()) {
                fail(QStringLiteral("no new window appeared"));
                return std::nullopt;
            }
            QThread::msleep(pollMs);
        }
    }

    const XServer& m_x;
    const QString m_log;
    QProcess m_process;
    qint64 m_pid = 0;
    QString m_error;
    QStringList m_titles;
    QSet<QString> m_known;
    QList<XWindow> m_pending;
    XWindow m_main;
    XWindow m_box;
};

} // namespace

// A step of a run; when it fails, the run says why.
#define STEP(run, call) QVERIFY2((run).call, qPrintable((run).error()))

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void copySkipsProgramsTheNewCompanyAlreadyHas();
    void deleteAsksForEachProgram();
    void inputErrorsKeepTheWindowOpenUntilCorrected();
    void salirEndsAtOnceWithoutChanges();
    void missingSettingShowsOnlyTheInstallationMessage_data();
    void missingSettingShowsOnlyTheInstallationMessage();
    void databaseFailureIsReportedAndEndsWithError();

private:
    XServer m_x;
};

void EndToEndTest::initTestCase()
{
    for (const QString& tool :
        {QStringLiteral("Xvfb"), QStringLiteral("xdotool"), QStringLiteral("xwininfo")}) {
        if (QStandardPaths::findExecutable(tool).isEmpty())
            QSKIP(qPrintable(tool + QStringLiteral(" is not installed: no X server to run on")));
    }
    QVERIFY2(QFile::exists(programPath), qPrintable(programPath));
    const QString why = m_x.start();
    if (!why.isEmpty())
        QSKIP(qPrintable(QStringLiteral("Xvfb did not start: ") + why));
}

void EndToEndTest::cleanupTestCase()
{
    m_x.stop();
}

void EndToEndTest::copySkipsProgramsTheNewCompanyAlreadyHas()
{
    Installation installation;
    QVERIFY(installation.ready());
    QVERIFY(installation.writeSettings(driveC));
    CompanyFile database(installation.databaseFile());
    // Companies and programs go in alphabetically, so the lists show them in this order however
    // the engine reads them: Alfa first, and Almacén, Contabilidad, Nóminas.
    database.addBlock(QStringLiteral("Alfa"), QStringLiteral("Almacén"), 3);
    database.addBlock(QStringLiteral("Alfa"), QStringLiteral("Contabilidad"), 5);
    database.addBlock(QStringLiteral("Alfa"), QStringLiteral("Nóminas"), 4);
    database.addBlock(QStringLiteral("Beta"), QStringLiteral("Contabilidad"), 2);
    database.addBlock(QStringLiteral("Nueva"), QStringLiteral("Nóminas"), 2);
    const QStringList before = database.table();
    const QStringList contabilidad = CompanyFile::copied(
        database.block(QStringLiteral("Alfa"), QStringLiteral("Contabilidad")));
    const QStringList existing = database.block(QStringLiteral("Nueva"), QStringLiteral("Nóminas"));

    ProgramRun run(m_x, installation);
    STEP(run, openMainWindow());
    // Down in the company box chooses the first company and moves on to the new name.
    STEP(run, key(QStringLiteral("Down")));
    STEP(run, type(QStringLiteral("Nueva")));
    STEP(run, click(programRow(1)));
    STEP(run, click(programRow(2)));
    // With a new name typed, the ticked program handed the focus to Copiar.
    STEP(run, key(QStringLiteral("Return")));

    // Each program is written before its message appears.
    STEP(run, nextBox());
    QCOMPARE(database.block(QStringLiteral("Nueva"), QStringLiteral("Contabilidad")), contabilidad);
    QCOMPARE(database.block(QStringLiteral("Nueva"), QStringLiteral("Nóminas")), existing);
    STEP(run, answerBox(QStringLiteral("Return")));
    STEP(run, nextBox());
    STEP(run, answerBox(QStringLiteral("Return")));
    STEP(run, waitForExit());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.titles(), (QStringList {mainTitle, boxTitle, boxTitle}));

    const QStringList after = database.table();
    QCOMPARE(after.size(), before.size() + contabilidad.size());
    QCOMPARE(after.mid(0, before.size()), before);
    QCOMPARE(database.block(QStringLiteral("Nueva"), QStringLiteral("Contabilidad")), contabilidad);
    QCOMPARE(database.block(QStringLiteral("Nueva"), QStringLiteral("Nóminas")), existing);
}

void EndToEndTest::deleteAsksForEachProgram()
{
    Installation installation;
    QVERIFY(installation.ready());
    QVERIFY(installation.writeSettings(driveC));
    CompanyFile database(installation.databaseFile());
    // Alphabetical, as above: Beta's list shows Almacén, Contabilidad, Nóminas, Ventas.
    for (const char* program : {"Almacén", "Contabilidad", "Nóminas"})
        database.addBlock(QStringLiteral("Alfa"), QString::fromUtf8(program), 3);
    for (const char* program : {"Almacén", "Contabilidad", "Nóminas"})
        database.addBlock(QStringLiteral("Beta"), QString::fromUtf8(program), 4);
    database.addBlock(QStringLiteral("Beta"), QStringLiteral("Ventas"), 2);
    database.addBlock(QStringLiteral("Gamma"), QStringLiteral("Nóminas"), 2);
    const QStringList before = database.table();
    const auto rowsOf = [&database](const char* program) {
        return database.block(QStringLiteral("Beta"), QString::fromUtf8(program)).size();
    };

    ProgramRun run(m_x, installation);
    STEP(run, openMainWindow());
    STEP(run, chooseFromCompanyList(QStringLiteral("b")));
    for (int row = 0; row < 3; ++row)
        STEP(run, click(programRow(row)));
    // With no new name, the ticked program handed the focus to Borrar.
    STEP(run, key(QStringLiteral("space")));

    // Each question comes before its delete; "s" is the mnemonic of Sí, and only a Yes/No box
    // answers it.
    STEP(run, nextBox());
    QCOMPARE(rowsOf("Almacén"), 4);
    STEP(run, answerBox(QStringLiteral("s")));
    STEP(run, nextBox());
    QCOMPARE(rowsOf("Almacén"), 0);
    STEP(run, answerBox(QStringLiteral("Return")));

    STEP(run, nextBox());
    STEP(run, answerBox(QStringLiteral("Escape")));
    STEP(run, nextBox());
    QCOMPARE(rowsOf("Contabilidad"), 4);
    STEP(run, answerBox(QStringLiteral("Return")));

    STEP(run, nextBox());
    QCOMPARE(rowsOf("Nóminas"), 4);
    STEP(run, answerBox(QStringLiteral("s")));
    STEP(run, nextBox());
    QCOMPARE(rowsOf("Nóminas"), 0);
    STEP(run, answerBox(QStringLiteral("Return")));

    STEP(run, waitForExit());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.titles(), QStringList {mainTitle} + QStringList(6, boxTitle));

    QStringList expected = before;
    expected.removeIf([](const QString& row) {
        return row.contains(QStringLiteral("|text:Beta|text:Almacén|"))
            || row.contains(QStringLiteral("|text:Beta|text:Nóminas|"));
    });
    QCOMPARE(expected.size(), before.size() - 8);
    QCOMPARE(database.table(), expected);
}

void EndToEndTest::inputErrorsKeepTheWindowOpenUntilCorrected()
{
    Installation installation;
    QVERIFY(installation.ready());
    QVERIFY(installation.writeSettings(driveC));
    CompanyFile database(installation.databaseFile());
    database.addBlock(QStringLiteral("Alfa"), QStringLiteral("Almacén"), 2);
    database.addBlock(QStringLiteral("Alfa"), QStringLiteral("Contabilidad"), 3);
    database.addBlock(QStringLiteral("Beta"), QStringLiteral("Contabilidad"), 2);
    const QStringList before = database.table();
    const QStringList contabilidad = CompanyFile::copied(
        database.block(QStringLiteral("Alfa"), QStringLiteral("Contabilidad")));

    ProgramRun run(m_x, installation);
    STEP(run, openMainWindow());
    STEP(run, key(QStringLiteral("Down")));

    // No new name.
    STEP(run, click(copiarButton.center()));
    STEP(run, nextBox());
    STEP(run, answerBox(QStringLiteral("Return")));
    STEP(run, staysOpen());
    QCOMPARE(database.table(), before);

    // The error gave the focus to the new name's box: typing needs no click. No program yet.
    STEP(run, type(QStringLiteral("Copia")));
    STEP(run, click(copiarButton.center()));
    STEP(run, nextBox());
    STEP(run, answerBox(QStringLiteral("Return")));
    STEP(run, staysOpen());
    QCOMPARE(database.table(), before);

    STEP(run, click(programRow(1)));
    STEP(run, key(QStringLiteral("Return")));
    STEP(run, nextBox());
    QCOMPARE(database.block(QStringLiteral("Copia"), QStringLiteral("Contabilidad")), contabilidad);
    STEP(run, answerBox(QStringLiteral("Return")));
    STEP(run, waitForExit());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.titles(), (QStringList {mainTitle, boxTitle, boxTitle, boxTitle}));

    const QStringList after = database.table();
    QCOMPARE(after.size(), before.size() + contabilidad.size());
    QCOMPARE(after.mid(0, before.size()), before);
    QCOMPARE(database.block(QStringLiteral("Copia"), QStringLiteral("Almacén")), QStringList());
}

void EndToEndTest::salirEndsAtOnceWithoutChanges()
{
    Installation installation;
    QVERIFY(installation.ready());
    QVERIFY(installation.writeSettings(driveC));
    CompanyFile database(installation.databaseFile());
    database.addBlock(QStringLiteral("Alfa"), QStringLiteral("Almacén"), 2);
    database.addBlock(QStringLiteral("Alfa"), QStringLiteral("Contabilidad"), 2);
    database.addBlock(QStringLiteral("Beta"), QStringLiteral("Nóminas"), 2);
    const QStringList before = database.table();

    ProgramRun run(m_x, installation);
    STEP(run, openMainWindow());
    QCOMPARE(run.mainWindow().geometry.size(), windowSize);
    // A form filled in, then left.
    STEP(run, key(QStringLiteral("Down")));
    STEP(run, type(QStringLiteral("Otra")));
    STEP(run, click(programRow(0)));
    STEP(run, click(salirButton.center()));
    STEP(run, waitForExit());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.titles(), QStringList {mainTitle});
    QCOMPARE(database.table(), before);
}

void EndToEndTest::missingSettingShowsOnlyTheInstallationMessage_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::newRow("no settings file") << QByteArray();
    QTest::newRow("no drive in the file") << QByteArray("[BasesDeTarvex]\r\nOtro=C\r\n");
    QTest::newRow("empty drive") << QByteArray("[BasesDeTarvex]\r\nTarvex=\r\n");
}

void EndToEndTest::missingSettingShowsOnlyTheInstallationMessage()
{
    QFETCH(QByteArray, settings);
    Installation installation;
    QVERIFY(installation.ready());
    if (!settings.isNull())
        QVERIFY(installation.writeSettings(settings));
    // A database in its place, so that only the setting is missing.
    CompanyFile database(installation.databaseFile());
    database.addBlock(QStringLiteral("Alfa"), QStringLiteral("Almacén"), 2);
    const QStringList before = database.table();

    ProgramRun run(m_x, installation);
    STEP(run, nextBox(startTimeoutMs));
    QCOMPARE(run.titles(), QStringList {installationTitle});
    STEP(run, answerBox(QStringLiteral("Return")));
    STEP(run, waitForExit());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.titles(), QStringList {installationTitle});
    QCOMPARE(database.table(), before);
}

void EndToEndTest::databaseFailureIsReportedAndEndsWithError()
{
    Installation installation;
    QVERIFY(installation.ready());
    QVERIFY(installation.writeSettings(driveC));

    ProgramRun run(m_x, installation);
    // The company box reads the missing database as soon as it has the focus.
    STEP(run, openMainWindow());
    STEP(run, nextBox());
    STEP(run, answerBox(QStringLiteral("Return")));
    STEP(run, waitForExit());
    QCOMPARE(run.exitCode(), 1);
    QCOMPARE(run.titles(), (QStringList {mainTitle, boxTitle}));
    QVERIFY2(!QFile::exists(installation.databaseFile()), "the missing database was created");
}

int main(int argc, char* argv[])
{
    // This process shows nothing; it only measures a list widget.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    EndToEndTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_e2e.moc"
