#include <QApplication>

#include "app/fontengine.h"
#include "app/services.h"
#include "app/settings.h"
#include "ui/frmseleccion.h"

int main(int argc, char* argv[])
{
    duplivo::chooseFontEngine();
    QApplication application(argc, argv);
    duplivo::setUpIdentity(application);

    duplivo::NativeSettingsStore settings;
    duplivo::QtMessageBox messages;
    duplivo::ProcessEnd programEnd;
    duplivo::frmSeleccion window(settings, messages, programEnd);
    if (!window.load())
        return 0;
    window.show();
    return application.exec();
}
