// One operator at the real window, for the tests that need two at once: chooses a company, types
// the new name, ticks one program, waits for the go, clicks Copiar and prints every message.
#include <cstdio>

#include <QApplication>
#include <QFile>
#include <QThread>

#include "tests/support.h"

using namespace duplivo::test;

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() != 6) {
        std::fprintf(stderr, "uso: copy_operator ORIGEN NUEVA PROGRAMA LISTO ADELANTE\n");
        return 2;
    }
    WindowHarness harness;
    if (!harness.open())
        return 3;
    harness.chooseCompany(arguments[1]);
    harness.typeNewCompany(arguments[2]);
    harness.clickProgram(arguments[3]);

    QFile ready(arguments[4]);
    ready.open(QIODevice::WriteOnly);
    ready.close();
    for (int wait = 0; !QFile::exists(arguments[5]) && wait < 6000; ++wait)
        QThread::msleep(5);

    harness.click("cmdCopiar");
    for (const ShownMessage& message : harness.messages.shown)
        std::printf("%d|%s\n", message.style,
            qPrintable(
                QString(message.text).replace(QStringLiteral("\r\n"), QStringLiteral("\\n"))));
    std::printf("end %d\n", harness.programEnd.statuses.value(0, -1));
    return 0;
}
