// The smallest Qt Widgets program that shows a window: the yardstick for duplivo's start-up.
#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Ventana mínima"));
    window.show();
    return application.exec();
}
