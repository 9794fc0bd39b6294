// The smallest Qt Widgets program that shows a window. Built with SHOW_TEXT it shows one line of
// text, which is what makes Qt load the system's font configuration and fonts: the yardstick for
// duplivo's start-up. Without, the empty window is shown for comparison.
#include <QApplication>
#include <QLabel>
#include <QWidget>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
#ifdef SHOW_TEXT
    QLabel window(QStringLiteral("Copia de Empresa"));
#else
    QWidget window;
#endif
    window.setWindowTitle(QStringLiteral("Ventana mínima"));
    window.show();
    return application.exec();
}
