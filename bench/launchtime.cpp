#include "bench/launchtime.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include "bench/measure.h"

namespace duplivo::bench {

namespace {

const QString programTitle = QStringLiteral("Copia de Empresa");
const QString minimalTitle = QStringLiteral("Ventana mínima");

// Once its window is mapped, the program has read the company list when the database has seen
// no access for this long.
constexpr auto readingSettled = std::chrono::milliseconds(300);
constexpr auto launchTimeout = std::chrono::seconds(30);

// A private X server. Xvfb picks a free display itself and writes its number on standard output,
// so two benchmarks or an end-to-end test beside this one never meet on a display.
class VirtualDisplay
{
public:
    VirtualDisplay()
    {
        m_server.setProgram(QStringLiteral("Xvfb"));
        m_server.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"),
            QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1280x1024x24"),
            QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-noreset")});
        m_server.setStandardErrorFile(QProcess::nullDevice());
        m_server.start();
        if (!m_server.waitForStarted())
            fail(QStringLiteral("no se puede iniciar Xvfb: %1").arg(m_server.errorString()));
        while (!m_server.canReadLine()) {
            if (!m_server.waitForReadyRead(10000))
                fail(QStringLiteral("Xvfb no dice su número de pantalla"));
        }
        m_name = u':' + QString::fromLatin1(m_server.readLine()).trimmed();

        m_connection = xcb_connect(m_name.toLatin1().constData(), nullptr);
        if (xcb_connection_has_error(m_connection))
            fail(QStringLiteral("no se puede conectar con la pantalla %1").arg(m_name));
        // Every window the programs map is a child of the root: there is no window manager.
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_connection, root, XCB_CW_EVENT_MASK, &mask);
        m_netWmName = atom("_NET_WM_NAME");
        m_utf8String = atom("UTF8_STRING");
        xcb_flush(m_connection);
    }

    ~VirtualDisplay()
    {
        xcb_disconnect(m_connection);
        m_server.kill();
        m_server.waitForFinished();
    }

    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    const QString& name() const { return m_name; }
    int fileDescriptor() const { return xcb_get_file_descriptor(m_connection); }

    // Handles the events already received: true when one of them mapped a window titled `title`.
    // That window gets the keyboard focus, as a window manager gives it to a new window; the
    // program reads its company list only when its window has the focus.
    bool mappedWindowTitled(const QString& title)
    {
        bool mapped = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
            if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY) {
                const auto* map = reinterpret_cast<const xcb_map_notify_event_t*>(event);
                if (!mapped && titleOf(map->window) == title) {
                    mapped = true;
                    xcb_set_input_focus(
                        m_connection, XCB_INPUT_FOCUS_POINTER_ROOT, map->window, XCB_CURRENT_TIME);
                    xcb_flush(m_connection);
                }
            }
            std::free(event);
        }
        if (xcb_connection_has_error(m_connection))
            fail(QStringLiteral("se ha perdido la conexión con Xvfb"));
        return mapped;
    }

private:
    xcb_atom_t atom(const char* name) const
    {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(m_connection,
            xcb_intern_atom(m_connection, 0, uint16_t(std::strlen(name)), name), nullptr);
        if (!reply)
            fail(QStringLiteral("Xvfb no conoce %1").arg(QLatin1String(name)));
        const xcb_atom_t result = reply->atom;
        std::free(reply);
        return result;
    }

    QString titleOf(xcb_window_t window) const
    {
        xcb_get_property_reply_t* reply = xcb_get_property_reply(m_connection,
            xcb_get_property(m_connection, 0, window, m_netWmName, m_utf8String, 0, 256), nullptr);
        if (!reply)
            return QString();
        const QString title
            = QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(reply)),
                xcb_get_property_value_length(reply));
        std::free(reply);
        return title;
    }

    QProcess m_server;
    QString m_name;
    xcb_connection_t* m_connection = nullptr;
    xcb_atom_t m_netWmName = XCB_ATOM_NONE;
    xcb_atom_t m_utf8String = XCB_ATOM_NONE;
};

// Reports each open, read or close of one file.
class FileWatch
{
public:
    explicit FileWatch(const QString& file)
        : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        if (m_fd < 0
            || inotify_add_watch(m_fd, QFile::encodeName(file).constData(),
                   IN_OPEN | IN_ACCESS | IN_CLOSE_NOWRITE)
                < 0)
            fail(QStringLiteral("no se puede vigilar %1").arg(file));
    }
    ~FileWatch() { ::close(m_fd); }
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    int fileDescriptor() const { return m_fd; }

    // Consumes what is pending; true when anything happened to the file.
    bool touched()
    {
        alignas(inotify_event) char buffer[4096];
        bool any = false;
        while (::read(m_fd, buffer, sizeof buffer) > 0)
            any = true;
        return any;
    }

private:
    int m_fd;
};

struct Launch
{
    QString program;
    QString title;
    QProcessEnvironment environment;
    // The program's company database: its start-up also takes reading the company list.
    QString database;
};

struct LaunchTimes
{
    // From just before the process starts to the mapping of its window.
    double mappedMs;
    // To the mapping, or, for the program, to its last read of the database if that comes later.
    double readyMs;
};

LaunchTimes timeLaunch(VirtualDisplay& display, const Launch& launch)
{
    std::optional<FileWatch> watch;
    if (!launch.database.isEmpty())
        watch.emplace(launch.database);
    display.mappedWindowTitled(launch.title);

    QProcess process;
    process.setProcessEnvironment(launch.environment);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    const Clock::time_point start = Clock::now();
    process.start(launch.program, {});
    if (!process.waitForStarted())
        fail(QStringLiteral("no se puede iniciar %1").arg(launch.program));

    std::optional<Clock::time_point> mapped;
    std::optional<Clock::time_point> lastRead;
    for (;;) {
        if (!mapped && display.mappedWindowTitled(launch.title))
            mapped = Clock::now();
        if (watch && watch->touched())
            lastRead = Clock::now();
        const Clock::time_point now = Clock::now();
        if (mapped && (!watch || (lastRead && now - *lastRead >= readingSettled)))
            break;
        if (now - start > launchTimeout)
            fail(QStringLiteral("%1 no muestra «%2» (¿ha leído la base de datos? %3)")
                     .arg(launch.program, launch.title,
                         lastRead ? QStringLiteral("sí") : QStringLiteral("no")));
        std::vector<pollfd> sources {{display.fileDescriptor(), POLLIN, 0}};
        if (watch)
            sources.push_back({watch->fileDescriptor(), POLLIN, 0});
        ::poll(sources.data(), sources.size(), 20);
    }
    const Clock::time_point end = lastRead && *lastRead > *mapped ? *lastRead : *mapped;

    process.kill();
    process.waitForFinished();
    return {millisecondsBetween(start, *mapped), millisecondsBetween(start, end)};
}

} // namespace

StartupTimes measureStartup(const QString& binFolder, int launches)
{
    const QDir bin(binFolder);
    QTemporaryDir demo;
    QProcess makeDemo;
    makeDemo.setProcessChannelMode(QProcess::ForwardedChannels);
    makeDemo.start(bin.filePath(QStringLiteral("duplivo-make-demo")), {demo.path()});
    if (!makeDemo.waitForFinished(60000) || makeDemo.exitStatus() != QProcess::NormalExit
        || makeDemo.exitCode() != 0)
        fail(QStringLiteral("duplivo-make-demo no crea la base de datos de demostración"));

    VirtualDisplay display;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("DISPLAY"), display.name());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), demo.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("WINEPREFIX"), demo.filePath(QStringLiteral("wine")));

    const Launch ours {bin.filePath(QStringLiteral("duplivo")), programTitle, environment,
        demo.filePath(QStringLiteral("drive_c/Tarvex.win/Tarvex.mdb"))};
    const Launch minimal {bin.filePath(QStringLiteral("duplivo-minimal-window")), minimalTitle,
        environment, QString()};
    const Launch minimalText {bin.filePath(QStringLiteral("duplivo-minimal-text-window")),
        minimalTitle, environment, QString()};
    const std::vector<const Launch*> programs {&ours, &minimal, &minimalText};

    // The first launch of each loads its libraries from disk; later ones find them in memory.
    for (const Launch* program : programs)
        timeLaunch(display, *program);
    std::vector<std::vector<LaunchTimes>> times(programs.size());
    for (int i = 0; i < launches; ++i) {
        // Each goes first in turn, which cancels any drift of the machine's load.
        for (std::size_t j = 0; j < programs.size(); ++j) {
            const std::size_t which = (i + j) % programs.size();
            times[which].push_back(timeLaunch(display, *programs[which]));
        }
    }
    const auto medianOf = [](const std::vector<LaunchTimes>& runs, double LaunchTimes::*field) {
        std::vector<double> values;
        for (const LaunchTimes& run : runs)
            values.push_back(run.*field);
        return median(values);
    };
    return {medianOf(times[0], &LaunchTimes::readyMs), medianOf(times[1], &LaunchTimes::readyMs),
        medianOf(times[2], &LaunchTimes::readyMs), medianOf(times[0], &LaunchTimes::mappedMs)};
}

} // namespace duplivo::bench
