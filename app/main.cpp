// The program: the real services, the one window, and the identity it presents.
#include <cstdio>
#include <cstdlib>
#include <optional>

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "app/commandline.h"
#include "app/fontengine.h"
#include "app/messagebox.h"
#include "app/settings.h"
#include "app/version.h"
#include "ui/frmseleccion.h"

namespace {

class ProcessEnd final : public duplivo::ProgramEnd
{
public:
    // At once: returning through the event loop would still deliver queued events to the window.
    // Every write has been committed or rolled back by the time anything ends the program.
    [[noreturn]] void end(int status) override
    {
        std::fflush(nullptr);
        std::_Exit(status);
    }
};

// Name, version, language, and Qt's own Spanish texts for the platform's buttons. No display
// name: Qt would add it to every window title, and the titles are fixed.
void setUpIdentity(QApplication& application)
{
    QApplication::setApplicationName(QStringLiteral("Duplivo"));
    QApplication::setApplicationVersion(QLatin1String(duplivo::version));
    QLocale::setDefault(QLocale(QLocale::Spanish, QLocale::Spain));
    auto* translator = new QTranslator(&application);
    if (translator->load(QLocale(QLocale::Spanish, QLocale::Spain), QStringLiteral("qtbase"),
            QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(translator);
}

QStringList arguments(int argc, char* argv[])
{
    QStringList list;
    for (int i = 0; i < argc; ++i)
        list << QString::fromLocal8Bit(argv[i]);
    return list;
}

// A technician's command: its result goes to the console the program was started from, or, where
// there is none (a Windows program started from its icon), to a message box.
int runTechniciansCommand(int argc, char* argv[])
{
    const duplivo::NativeSettingsStore settings;
    std::optional<duplivo::CommandResult> result;
    {
        // No display is needed to print: a terminal without one must do.
        QCoreApplication core(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("Duplivo"));
        result = duplivo::runCommand(QCoreApplication::arguments(), settings);
    }
    if (!duplivo::printToConsole(result->text)) {
        duplivo::chooseFontEngine();
        QApplication application(argc, argv);
        setUpIdentity(application);
        duplivo::QtMessageBox().show(result->text,
            result->status == 0 ? duplivo::MessageStyle::Information
                                : duplivo::MessageStyle::Critical,
            QStringLiteral("Duplivo"));
    }
    return result->status;
}

} // namespace

int main(int argc, char* argv[])
{
    if (duplivo::isCommand(arguments(argc, argv)))
        return runTechniciansCommand(argc, argv);
    duplivo::chooseFontEngine();
    QApplication application(argc, argv);
    setUpIdentity(application);

    duplivo::NativeSettingsStore settings;
    duplivo::QtMessageBox messages;
    ProcessEnd programEnd;
    duplivo::frmSeleccion window(settings, messages, programEnd);
    if (!window.load())
        return 0;
    window.show();
    return application.exec();
}
