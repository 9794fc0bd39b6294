// The real program on its own X server, driven with real mouse clicks and key presses through
// xdotool, and judged by the windows it shows, the database it leaves and the status it ends with;
// on the engine DUPLIVO_TEST_ENGINE names. The Linux program, or the Windows one under Wine when
// DUPLIVO_E2E_WINDOWS_PROGRAM names its duplivo.exe: then each case has a Wine prefix of its own,
// and the setting is in that prefix's registry.
#include <algorithm>
#include <optional>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QtEndian>
#include <signal.h>
#include <sys/prctl.h>
#include <xcb/xcb.h>

#include "base/ini.h"
#include "tests/support.h"

using namespace duplivo::test;

namespace {

const QString programPath = QStringLiteral(DUPLIVO_PROGRAM);
const QString windowsProgram = qEnvironmentVariable("DUPLIVO_E2E_WINDOWS_PROGRAM");
const QString settingKey
    = QStringLiteral("HKCU\\Software\\VB and VBA Program Settings\\discos\\BasesDeTarvex");
const QString mainTitle = QStringLiteral("Copia de Empresa");
const QString boxTitle = QStringLiteral("Duplivo");
const QString installationTitle = QStringLiteral("Error de instalación");
const QByteArray driveC = "[BasesDeTarvex]\r\nTarvex=C\r\n";

const QString alfa = QStringLiteral("Alfa");
const QString beta = QStringLiteral("Beta");
const QString almacen = QStringLiteral("Almacén");
const QString contabilidad = QStringLiteral("Contabilidad");
const QString nominas = QStringLiteral("Nóminas");

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

constexpr QRect companyBox = twipRect(480, 720, 1935, 315);
constexpr QRect newNameBox = twipRect(2640, 720, 1935, 405);

// Keys that move the focus to the programs list, from where it is.
const QString fromNewName = QStringLiteral("Tab Tab Tab");
const QString fromCopiar = QStringLiteral("Tab Tab");
const QString fromBorrar = QStringLiteral("shift+Tab");

QPoint companyArrow()
{
    return {companyBox.right() - 6, companyBox.center().y()};
}

bool underWine()
{
    return !windowsProgram.isEmpty();
}

// Wine's loader for the program's bitness, from its PE header. Run directly, it keeps its process
// id, which the program's windows then carry; the wine script would start another process.
QString wineLoader(const QString& program)
{
    QFile file(program);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray head = file.read(4096);
    const qsizetype pe
        = head.size() >= 0x40 ? qFromLittleEndian<quint32>(head.constData() + 0x3c) : head.size();
    if (pe + 6 > head.size() || !head.mid(pe, 4).startsWith("PE"))
        return QString();
    return qFromLittleEndian<quint16>(head.constData() + pe + 4) == 0x8664
        ? QStringLiteral("/usr/lib/wine/wine64")
        : QStringLiteral("/usr/lib/wine/wine");
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
    // `errors`, when given, receives what the tool wrote to its standard error.
    std::optional<QByteArray> run(
        const QString& tool, const QStringList& arguments, QByteArray* errors = nullptr) const
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
        if (errors)
            *errors = process.readAllStandardError();
        if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            return std::nullopt;
        return process.readAllStandardOutput();
    }

    // The visible top-level windows of a process, oldest first.
    QList<XWindow> windows(qint64 pid) const
    {
        QList<XWindow> found;
        // A window that goes away while xdotool walks the tree (a message box closing) fails the
        // whole search with BadWindow, which says nothing about the windows that are there: the
        // search is repeated.
        std::optional<QByteArray> ids;
        for (int attempt = 0; attempt < 10 && !ids; ++attempt) {
            QByteArray errors;
            ids = run(QStringLiteral("xdotool"),
                {QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("--onlyvisible"),
                    QStringLiteral("--pid"), QString::number(pid), QStringLiteral("--name"),
                    QString()},
                &errors);
            if (!errors.contains("BadWindow"))
                break;
        }
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
        const QRegularExpressionMatch match = header.match(info);
        if (!match.hasMatch())
            return std::nullopt;
        XWindow window;
        window.id = QString::number(match.captured(1).toULongLong(nullptr, 16));
        window.name = match.captured(2);
        window.popup = info.contains(QStringLiteral("Override Redirect State: yes"));
        return window;
    }

    QTemporaryDir m_logDir;
    QProcess m_server;
    QString m_display;
};

// A user's setup in a temporary folder: home and configuration folders, and the Wine prefix of
// the company database.
class Installation
{
public:
    // Under Wine, a new prefix of its own whose C:\\Tarvex.win is the database's folder.
    Installation(const CompanyDatabase& database, const XServer& x)
        : m_winePrefix(underWine() ? m_dir.filePath(QStringLiteral("wine"))
                                   : QDir(database.folder()).filePath(QStringLiteral("wine")))
        , m_display(x.display())
    {
        const QDir root(m_dir.path());
        m_ready = m_dir.isValid() && root.mkpath(QStringLiteral("home"))
            && root.mkpath(QStringLiteral("config")) && root.mkpath(QStringLiteral("runtime"))
            && QFile::setPermissions(
                path("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (m_ready && underWine()) {
            m_ready = wine({QStringLiteral("wineboot"), QStringLiteral("--init")})
                && QFile::link(
                    QDir(database.folder()).filePath(QStringLiteral("drive_c/Tarvex.win")),
                    m_winePrefix + QStringLiteral("/drive_c/Tarvex.win"));
        }
        m_ready = m_ready && QFile::exists(m_winePrefix + QStringLiteral("/dosdevices/c:"));
    }

    ~Installation()
    {
        if (underWine())
            wine({QStringLiteral("wineserver"), QStringLiteral("-k")});
    }

    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;

    bool ready() const { return m_ready; }
    QString path(const char* relative) const { return m_dir.filePath(QLatin1String(relative)); }

    // The setting as an INI file holds it; under Wine, the value of that file (if any) in the
    // registry, where a Tarvex program running there keeps it.
    bool writeSettings(const QByteArray& ini) const
    {
        if (underWine()) {
            const std::optional<QString> drive = duplivo::iniValue(
                QString::fromUtf8(ini), QStringLiteral("BasesDeTarvex"), QStringLiteral("Tarvex"));
            return !drive
                || wine({QStringLiteral("wine"), QStringLiteral("reg"), QStringLiteral("add"),
                    settingKey, QStringLiteral("/v"), QStringLiteral("Tarvex"),
                    QStringLiteral("/t"), QStringLiteral("REG_SZ"), QStringLiteral("/d"), *drive,
                    QStringLiteral("/f")});
        }
        QFile file(path("config/discos.ini"));
        return file.open(QIODevice::WriteOnly) && file.write(ini) == ini.size();
    }

    // Only what the program needs, so that nothing of the user's desktop, home or database server
    // settings plays a part: the DSN file alone says where the data is.
    QProcessEnvironment environment(const QString& display) const
    {
        const QProcessEnvironment outer = QProcessEnvironment::systemEnvironment();
        QProcessEnvironment environment;
        for (const char* name : {"PATH", "LD_LIBRARY_PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS",
                 "LSAN_OPTIONS", "ODBCSYSINI", "ODBCINSTINI"}) {
            if (outer.contains(QLatin1String(name)))
                environment.insert(QLatin1String(name), outer.value(QLatin1String(name)));
        }
        environment.insert(QStringLiteral("DISPLAY"), display);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        environment.insert(QStringLiteral("HOME"), path("home"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), path("config"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), path("runtime"));
        environment.insert(QStringLiteral("WINEPREFIX"), m_winePrefix);
        // No Mono or Gecko installers, no debug noise.
        environment.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
        environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
        return environment;
    }

private:
    // A Wine tool on this installation's prefix, waited for until Wine has written everything.
    bool wine(const QStringList& command) const
    {
        QProcess process;
        process.setProcessEnvironment(environment(m_display));
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(path("wine.log"), QIODevice::Append);
        endWithParent(process);
        process.start(command.first(), command.mid(1));
        if (!process.waitForFinished(120000) || process.exitCode() != 0)
            return false;
        process.start(QStringLiteral("wineserver"), {QStringLiteral("-w")});
        return process.waitForFinished(120000) && process.exitCode() == 0;
    }

    QTemporaryDir m_dir;
    QString m_winePrefix;
    QString m_display;
    bool m_ready = false;
};

// Rows whose clave and cosa mix SQLite's types (on PostgreSQL, their text) with NULLs and
// accents, so that a copy has to keep them. Alta is then set on every row, so that a copy has to
// leave it to the table's default.
void addBlock(
    const CompanyDatabase& database, const QString& company, const QString& program, int rows)
{
    for (int row = 1; row <= rows; ++row) {
        const QVariant clave = row % 3 == 0
            ? QVariant(row)
            : QVariant(program.left(3) + u'-' + QString::number(row));
        QVariant cosa;
        switch (row % 4) {
        case 0:
            // Left NULL.
            break;
        case 1:
            cosa = row * 100;
            break;
        case 2:
            cosa = row + 0.25;
            break;
        default:
            cosa = QStringLiteral("saldo ñ %1").arg(row);
            break;
        }
        database.insert(company, program, clave, cosa);
    }
    database.exec(QStringLiteral("UPDATE GRANGUIA SET Alta = 'cargado'"));
}

// Every row as "Id|Empresa|Aplica|clave|cosa|Alta", each value with its type, by Id.
QStringList table(const CompanyDatabase& database)
{
    return database.rows(
        QStringLiteral("SELECT Id, Empresa, Aplica, clave, cosa, Alta FROM GRANGUIA ORDER BY Id"));
}

QStringList sorted(QStringList values)
{
    values.sort();
    return values;
}

// The rows of one company's program as "clave|cosa|Alta", sorted: a copy need not keep the order.
QStringList block(const CompanyDatabase& database, const QString& company, const QString& program)
{
    return sorted(database.block(company, program));
}

// What a copy of these rows holds: the same clave and cosa, Alta from the table's default.
QStringList copied(QStringList rows)
{
    for (QString& row : rows)
        row.replace(QStringLiteral("|text:cargado"), QStringLiteral("|text:por defecto"));
    return rows;
}

// The cases' tables have an index on (Empresa, Aplica), so the programs come in their own order,
// whatever the order the rows went in.
QStringList programsOf(const CompanyDatabase& database, const QString& company)
{
    return database.column(
        QStringLiteral("SELECT DISTINCT Aplica FROM GRANGUIA WHERE Empresa = '%1' ORDER BY 1")
            .arg(company));
}

// Asks a window, as a window manager does with _NET_WM_PING, whether it is alive, and times the
// answer: a window whose thread handles no events gives none, and a desktop then offers to close
// it ("(No responde)").
class PingProbe
{
public:
    explicit PingProbe(const QString& display)
        : m_connection(xcb_connect(display.toLatin1().constData(), nullptr))
    {
        if (xcb_connection_has_error(m_connection))
            return;
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        m_protocols = atom("WM_PROTOCOLS");
        m_ping = atom("_NET_WM_PING");
        // The answer goes to the root window, to whoever listens there for its structure (Qt) or
        // its children's (Wine).
        const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_connection, m_root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(m_connection);
    }
    ~PingProbe() { xcb_disconnect(m_connection); }
    PingProbe(const PingProbe&) = delete;
    PingProbe& operator=(const PingProbe&) = delete;

    // Milliseconds until the answer; nothing when none came within `patienceMs`.
    std::optional<qint64> ping(const QString& window, int patienceMs)
    {
        if (xcb_connection_has_error(m_connection))
            return std::nullopt;
        const xcb_window_t target = window.toUInt();
        const uint32_t stamp = ++m_stamp;
        xcb_client_message_event_t event {};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = target;
        event.type = m_protocols;
        event.data.data32[0] = m_ping;
        event.data.data32[1] = stamp;
        event.data.data32[2] = target;
        xcb_send_event(m_connection, 0, target, XCB_EVENT_MASK_NO_EVENT,
            reinterpret_cast<const char*>(&event));
        xcb_flush(m_connection);
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < patienceMs) {
            while (xcb_generic_event_t* received = xcb_poll_for_event(m_connection)) {
                const auto* message = reinterpret_cast<xcb_client_message_event_t*>(received);
                const bool answer = (received->response_type & 0x7f) == XCB_CLIENT_MESSAGE
                    && message->data.data32[0] == m_ping && message->data.data32[1] == stamp;
                std::free(received);
                if (answer)
                    return clock.elapsed();
            }
            QThread::msleep(2);
        }
        return std::nullopt;
    }

private:
    xcb_atom_t atom(const char* name)
    {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(m_connection,
            xcb_intern_atom(m_connection, 0, uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t found = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return found;
    }

    xcb_connection_t* m_connection;
    xcb_window_t m_root = 0;
    xcb_atom_t m_protocols = XCB_ATOM_NONE;
    xcb_atom_t m_ping = XCB_ATOM_NONE;
    uint32_t m_stamp = 0;
};

// One run of the program on the test's X server, for a user whose setup holds `settings` (the
// text of an INI file, or under Wine the registry value it names; nothing when null) and whose
// drive C holds the database. Every step waits for what it needs with a deadline; a run that is
// still going when it is destroyed is killed.
class ProgramRun
{
public:
    ProgramRun(const XServer& x, const CompanyDatabase& database, const QByteArray& settings)
        : m_x(x)
        , m_installation(database, x)
        , m_log(m_installation.path("duplivo.log"))
    {
        if (!m_installation.ready()
            || (!settings.isNull() && !m_installation.writeSettings(settings))) {
            fail(QStringLiteral("the user's setup could not be made"));
            return;
        }
        if (underWine()) {
            m_process.setProgram(wineLoader(windowsProgram));
            m_process.setArguments({windowsProgram});
        } else {
            m_process.setProgram(programPath);
        }
        m_process.setProcessEnvironment(m_installation.environment(x.display()));
        m_process.setWorkingDirectory(m_installation.path("home"));
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
    const QString& mainWindow() const { return m_main.id; }
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

    // Ticks the program in `row` of the list from the keyboard, as the list's rows are as high
    // as the platform's fonts make them: `reach` are the keys that take the focus from where it
    // is to the list, then Home, Down to the row, and Space.
    bool tickProgram(int row, const QString& reach)
    {
        QStringList keys = reach.split(u' ', Qt::SkipEmptyParts);
        keys << QStringLiteral("Home");
        for (int down = 0; down < row; ++down)
            keys << QStringLiteral("Down");
        keys << QStringLiteral("space");
        return std::all_of(keys.cbegin(), keys.cend(), [this](const QString& k) { return key(k); });
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

    // Waits until the text field of a box of the main window (its place in the window's client
    // area) shows text, judged from a screenshot: the columns that hold dark pixels, which a text
    // cursor, the box's frame or the combo box's arrow (both left out) do not fill. Where the
    // font engine draws no text, the box stays white.
    bool showsText(const QRect& box, const QString& name)
    {
        constexpr int frame = 4;
        constexpr int arrow = 24;
        constexpr int inkedColumns = 8;
        const QRect field = box.adjusted(frame, frame, box == companyBox ? -arrow : -frame, -frame);
        const QDeadlineTimer deadline(stepTimeoutMs);
        int columns = 0;
        for (;;) {
            const std::optional<QByteArray> png = m_x.run(QStringLiteral("import"),
                {QStringLiteral("-window"), m_main.id, QStringLiteral("png:-")});
            const QImage shot = png ? QImage::fromData(*png, "PNG") : QImage();
            columns = 0;
            for (int x = field.left(); x <= field.right() && !shot.isNull(); ++x) {
                bool inked = false;
                for (int y = field.top(); y <= field.bottom() && !inked; ++y) {
                    const QColor pixel = shot.pixelColor(x, y);
                    inked = std::max({pixel.red(), pixel.green(), pixel.blue()}) < 110;
                }
                columns += inked ? 1 : 0;
            }
            if (columns >= inkedColumns)
                return true;
            if (deadline.hasExpired())
                return fail(
                    QStringLiteral("%1 shows no text: %2 inked columns").arg(name).arg(columns));
            QThread::msleep(pollMs);
        }
    }

    // The program started again with a technician's command, on the same setup: its exit status
    // and what it printed.
    std::pair<int, QString> command(const QStringList& arguments)
    {
        QProcess process;
        if (underWine()) {
            process.setProgram(wineLoader(windowsProgram));
            process.setArguments(QStringList {windowsProgram} + arguments);
        } else {
            process.setProgram(programPath);
            process.setArguments(arguments);
        }
        QProcessEnvironment environment = m_installation.environment(m_x.display());
        // A terminal's, with no display: printing needs none.
        if (!underWine())
            environment.remove(QStringLiteral("DISPLAY"));
        process.setProcessEnvironment(environment);
        endWithParent(process);
        process.start();
        if (!process.waitForFinished(startTimeoutMs)) {
            process.kill();
            process.waitForFinished(5000);
            return {-1, QStringLiteral("did not end")};
        }
        return {process.exitCode(),
            QString::fromUtf8(process.readAllStandardOutput()).remove(u'\r').trimmed()};
    }

    // Under Wine, the program started again with a technician's command from its icon, with no
    // console to print to: the title of the window it shows, once answered with Return, and its
    // exit status then.
    std::pair<int, QString> commandFromIcon(const QStringList& arguments)
    {
        QProcess process;
        process.setProgram(wineLoader(windowsProgram));
        process.setArguments(QStringList {QStringLiteral("start"), QStringLiteral("/wait"),
                                 QStringLiteral("/unix"), windowsProgram}
            + arguments);
        const QProcessEnvironment environment = m_installation.environment(m_x.display());
        process.setProcessEnvironment(environment);
        endWithParent(process);
        process.start();
        // start.exe starts the program as a process of its own, found by its command line.
        const QByteArray prefix
            = "WINEPREFIX=" + environment.value(QStringLiteral("WINEPREFIX")).toLocal8Bit();
        const auto program = [&prefix]() -> qint64 {
            for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
                QFile command(QStringLiteral("/proc/%1/cmdline").arg(pid));
                QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
                if (command.open(QIODevice::ReadOnly) && environ.open(QIODevice::ReadOnly)
                    && command.readAll().split('\0').first().endsWith("duplivo.exe")
                    && environ.readAll().split('\0').contains(prefix))
                    return pid.toLongLong();
            }
            return 0;
        };
        const QDeadlineTimer deadline(startTimeoutMs);
        QList<XWindow> shown;
        while (shown.isEmpty() && !deadline.hasExpired()) {
            if (const qint64 pid = program())
                shown = m_x.windows(pid);
            QThread::msleep(pollMs);
        }
        const bool answered = !shown.isEmpty()
            && tool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), shown.first().id,
                QStringLiteral("key"), QStringLiteral("Return")});
        if (!answered || !process.waitForFinished(stepTimeoutMs)) {
            process.kill();
            process.waitForFinished(5000);
            return {-1, QStringLiteral("no window was shown and answered")};
        }
        return {process.exitCode(), shown.first().name};
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
    bool started() const { return m_pid != 0; }

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
        // Why it was not started is already said.
        if (!started())
            return std::nullopt;
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
    Installation m_installation;
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
    void longCopyAnswersAndStops();
    void startUpFailuresShowOneMessageAndEnd_data();
    void startUpFailuresShowOneMessageAndEnd();

private:
    XServer m_x;
};

void EndToEndTest::initTestCase()
{
    for (const QString& tool : {QStringLiteral("Xvfb"), QStringLiteral("xdotool"),
             QStringLiteral("xwininfo"), QStringLiteral("import")}) {
        if (QStandardPaths::findExecutable(tool).isEmpty())
            DUPLIVO_SKIP_UNAVAILABLE(tool
                + QStringLiteral(" is not installed: no X server to run and watch the program on"));
    }
    if (const QString why = engineUnavailable(); !why.isEmpty())
        DUPLIVO_SKIP_UNAVAILABLE(why);
    QVERIFY2(QFile::exists(programPath), qPrintable(programPath));
    const QString why = m_x.start();
    if (!why.isEmpty())
        DUPLIVO_SKIP_UNAVAILABLE(QStringLiteral("Xvfb did not start: ") + why);
}

void EndToEndTest::cleanupTestCase()
{
    m_x.stop();
}

void EndToEndTest::copySkipsProgramsTheNewCompanyAlreadyHas()
{
    const QString nueva = QStringLiteral("Nueva");
    CompanyDatabase database;
    addBlock(database, alfa, almacen, 3);
    addBlock(database, alfa, contabilidad, 5);
    addBlock(database, alfa, nominas, 4);
    addBlock(database, beta, contabilidad, 2);
    addBlock(database, nueva, nominas, 2);
    const QStringList before = table(database);
    const QStringList copy = copied(block(database, alfa, contabilidad));
    const QStringList existing = block(database, nueva, nominas);
    const QStringList listed = programsOf(database, alfa);
    QCOMPARE(sorted(listed), (QStringList {almacen, contabilidad, nominas}));
    ProgramRun run(m_x, database, driveC);
    STEP(run, openMainWindow());
    // Alfa is the only company starting with "a"; choosing it moves on to the new name.
    STEP(run, chooseFromCompanyList(QStringLiteral("a")));
    STEP(run, type(nueva));
    STEP(run, showsText(companyBox, QStringLiteral("the company box")));
    STEP(run, showsText(newNameBox, QStringLiteral("the new company box")));
    STEP(run, tickProgram(int(listed.indexOf(contabilidad)), fromNewName));
    STEP(run, tickProgram(int(listed.indexOf(nominas)), fromCopiar));
    // With a new name typed, the ticked program handed the focus to Copiar.
    STEP(run, key(QStringLiteral("Return")));

    // One message for each ticked program in the list's order; each program is written before
    // its message appears, and not before its turn.
    bool copiedYet = false;
    for (const QString& program : listed) {
        if (program == almacen)
            continue;
        STEP(run, nextBox());
        copiedYet = copiedYet || program == contabilidad;
        QCOMPARE(block(database, nueva, contabilidad), copiedYet ? copy : QStringList());
        QCOMPARE(block(database, nueva, nominas), existing);
        STEP(run, answerBox(QStringLiteral("Return")));
    }
    STEP(run, waitForExit());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.titles(), (QStringList {mainTitle, boxTitle, boxTitle}));

    const QStringList after = table(database);
    QCOMPARE(after.size(), before.size() + copy.size());
    QCOMPARE(after.mid(0, before.size()), before);
    QCOMPARE(block(database, nueva, contabilidad), copy);
    QCOMPARE(block(database, nueva, nominas), existing);
}

void EndToEndTest::deleteAsksForEachProgram()
{
    const QString ventas = QStringLiteral("Ventas");
    CompanyDatabase database;
    for (const QString& program : {almacen, contabilidad, nominas})
        addBlock(database, alfa, program, 3);
    for (const QString& program : {almacen, contabilidad, nominas})
        addBlock(database, beta, program, 4);
    addBlock(database, beta, ventas, 2);
    addBlock(database, QStringLiteral("Gamma"), nominas, 2);
    const QStringList before = table(database);
    const QStringList listed = programsOf(database, beta);
    QCOMPARE(sorted(listed), (QStringList {almacen, contabilidad, nominas, ventas}));
    const auto rowsOf
        = [&database](const QString& program) { return database.block(beta, program).size(); };
    // Whether each ticked program is to go; Ventas stays unticked.
    const QMap<QString, bool> ticked {{almacen, true}, {contabilidad, false}, {nominas, true}};
    ProgramRun run(m_x, database, driveC);
    STEP(run, openMainWindow());
    STEP(run, chooseFromCompanyList(QStringLiteral("b")));
    for (const QString& program : ticked.keys()) {
        STEP(run,
            tickProgram(int(listed.indexOf(program)),
                program == ticked.firstKey() ? fromNewName : fromBorrar));
    }
    // With no new name, the ticked program handed the focus to Borrar.
    STEP(run, key(QStringLiteral("space")));

    // A question for each ticked program in the list's order, each before its delete; "s" is
    // the mnemonic of Sí, and only a Yes/No box answers it.
    for (const QString& program : listed) {
        if (!ticked.contains(program))
            continue;
        const bool yes = ticked.value(program);
        STEP(run, nextBox());
        QCOMPARE(rowsOf(program), 4);
        STEP(run, answerBox(yes ? QStringLiteral("s") : QStringLiteral("Escape")));
        STEP(run, nextBox());
        QCOMPARE(rowsOf(program), yes ? 0 : 4);
        STEP(run, answerBox(QStringLiteral("Return")));
    }

    STEP(run, waitForExit());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.titles(), QStringList {mainTitle} + QStringList(6, boxTitle));

    QStringList expected = before;
    expected.removeIf([](const QString& row) {
        return row.contains(QStringLiteral("|text:Beta|text:Almacén|"))
            || row.contains(QStringLiteral("|text:Beta|text:Nóminas|"));
    });
    QCOMPARE(expected.size(), before.size() - 8);
    QCOMPARE(table(database), expected);

    // A technician, from a terminal, lists the copies the deletes kept and puts one back; the
    // Windows program, which has no console of its own, prints to the one it was started from.
    const auto [listedStatus, copies] = run.command({QStringLiteral("--borrados")});
    QCOMPARE(listedStatus, 0);
    const QStringList lines = copies.split(u'\n');
    QCOMPARE(lines.size(), 2);
    const QStringList almacenLine
        = lines[0].contains(almacen) ? lines[0].split(u'\t') : lines[1].split(u'\t');
    QCOMPARE(almacenLine.mid(1, 3), (QStringList {beta, almacen, QStringLiteral("4 filas")}));
    const auto [restoredStatus, restored]
        = run.command({QStringLiteral("--restaurar"), almacenLine.value(5)});
    QVERIFY2(restoredStatus == 0, qPrintable(restored));
    QCOMPARE(rowsOf(almacen), 4);
    QStringList back = before;
    back.removeIf([](const QString& row) {
        return row.contains(QStringLiteral("|text:Beta|text:Nóminas|"));
    });
    QCOMPARE(table(database), back);
    const auto [againStatus, again]
        = run.command({QStringLiteral("--restaurar"), almacenLine.value(5)});
    QCOMPARE(againStatus, 1);
    QVERIFY2(again.startsWith(QStringLiteral("La Empresa Beta tiene datos para Almacén")),
        qPrintable(again));

    // Started from its icon, with no console to print to, the Windows program shows what it
    // would have printed in a message box, and ends with the same status once it is answered.
    if (!underWine())
        return;
    QCOMPARE(run.commandFromIcon({QStringLiteral("--borrados")}), std::make_pair(0, boxTitle));
    QCOMPARE(run.commandFromIcon({QStringLiteral("--restaurar"), almacenLine.value(5)}),
        std::make_pair(1, boxTitle));
    QCOMPARE(table(database), back);
}

void EndToEndTest::longCopyAnswersAndStops()
{
    // A block whose copy takes half a minute: its middle row keeps SQLite counting.
    CompanyDatabase database;
    database.exec(QStringLiteral(
        "INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) SELECT 'Alfa', 'Nóminas', "
        "'Nóminas-' || n, n FROM (WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c "
        "WHERE n < 3000) SELECT n FROM c)"));
    database.slowInsertsOf(QStringLiteral("Nóminas-1500"), 30);
    const QStringList before = table(database);
    ProgramRun run(m_x, database, driveC);
    STEP(run, openMainWindow());
    STEP(run, chooseFromCompanyList(QStringLiteral("a")));
    STEP(run, type(QStringLiteral("Nueva")));
    STEP(run, tickProgram(0, fromNewName));
    STEP(run, key(QStringLiteral("Return")));

    // Asked as a window manager asks, every 50 ms for two seconds, the window answers each time
    // within 0.2 s while the copy runs.
    PingProbe probe(m_x.display());
    qint64 slowest = 0;
    for (int ping = 0; ping < 40; ++ping) {
        const std::optional<qint64> answered = probe.ping(run.mainWindow(), 1000);
        QVERIFY2(answered, qPrintable(QStringLiteral("ping %1 went unanswered").arg(ping)));
        slowest = std::max(slowest, *answered);
        QThread::msleep(50);
    }
    QVERIFY2(slowest < 200, qPrintable(QString::number(slowest)));

    // The progress window came after a second; Escape in it stops the copy, and one message
    // says so.
    STEP(run, nextBox());
    STEP(run, answerBox(QStringLiteral("Escape")));
    STEP(run, nextBox());
    STEP(run, answerBox(QStringLiteral("Return")));
    STEP(run, waitForExit());
    QCOMPARE(run.exitCode(), 1);
    QCOMPARE(run.titles(), (QStringList {mainTitle, boxTitle, boxTitle}));
    QCOMPARE(table(database), before);
}

void EndToEndTest::startUpFailuresShowOneMessageAndEnd_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("titles");
    QTest::addColumn<int>("status");
    const QStringList installation {installationTitle};
    const QStringList failure {mainTitle, boxTitle};
    QTest::newRow("no settings") << QByteArray() << QString() << installation << 0;
    QTest::newRow("no drive in the settings")
        << QByteArray("[BasesDeTarvex]\r\nOtro=C\r\n") << QString() << installation << 0;
    QTest::newRow("an empty drive")
        << QByteArray("[BasesDeTarvex]\r\nTarvex=\r\n") << QString() << installation << 0;
    QTest::newRow("no database file") << driveC << QStringLiteral("missing") << failure << 1;
    QTest::newRow("no GRANGUIA table") << driveC << QStringLiteral("no table") << failure << 1;
    // Neither program here has an Access driver to write it with; the file stays as it was.
    QTest::newRow("an Access file") << driveC << QStringLiteral("access") << failure << 1;
}

void EndToEndTest::startUpFailuresShowOneMessageAndEnd()
{
    QFETCH(QByteArray, settings);
    QFETCH(QString, fault);
    QFETCH(QStringList, titles);
    QFETCH(int, status);
    CompanyDatabase database;
    addBlock(database, alfa, almacen, 2);
    const QStringList before = table(database);
    const QByteArray access
        = QByteArray(4, '\0') + "Standard Jet DB" + QByteArray(2048 - 19, '\x5a');
    if (fault == QLatin1String("missing"))
        QVERIFY(QFile::remove(database.file()));
    else if (fault == QLatin1String("no table"))
        database.dropTable();
    else if (fault == QLatin1String("access"))
        writeFile(database.pathFile(), access, QFile::ReadOwner | QFile::WriteOwner);

    // The database is read as soon as the company box has the focus.
    ProgramRun run(m_x, database, settings);
    if (titles.size() > 1)
        STEP(run, openMainWindow());
    STEP(run, nextBox(startTimeoutMs));
    STEP(run, answerBox(QStringLiteral("Return")));
    STEP(run, waitForExit());
    QCOMPARE(run.exitCode(), status);
    QCOMPARE(run.titles(), titles);
    if (fault.isEmpty())
        QCOMPARE(table(database), before);
    if (fault == QLatin1String("missing"))
        QVERIFY2(!QFile::exists(database.file()), "the missing database was created");
    if (fault == QLatin1String("access")) {
        QFile file(database.pathFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), access);
    }
}

QTEST_GUILESS_MAIN(EndToEndTest)
#include "test_e2e.moc"
