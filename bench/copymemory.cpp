#include "bench/copymemory.h"

#include <cstdio>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include "app/platform.h"
#include "bench/dataset.h"
#include "bench/measure.h"
#include "ui/frmseleccion.h"

namespace duplivo::bench {

namespace {

class DriveCSettings final : public SettingsStore
{
public:
    QString get(const QString& application, const QString& section, const QString& key,
        const QString& defaultValue) const override
    {
        return application == QLatin1String("discos") && section == QLatin1String("BasesDeTarvex")
                && key == QLatin1String("Tarvex")
            ? QStringLiteral("C")
            : defaultValue;
    }
};

// Answers every message at once, as an operator pressing Enter would, and keeps its text.
class AnsweringMessageBox final : public MessageBox
{
public:
    QStringList texts;

    int show(const QString& text, int style, const QString&) override
    {
        texts << text;
        return style == MessageStyle::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
    }
};

class RecordingProgramEnd final : public ProgramEnd
{
public:
    QList<int> statuses;
    void end(int status) override { statuses << status; }
};

// A field of /proc/self/status, in MiB.
double statusMiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        fail(QStringLiteral("no se puede leer /proc/self/status"));
    const QRegularExpression line(QStringLiteral("^%1:\\s+(\\d+) kB$").arg(QLatin1String(field)),
        QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(QString::fromLatin1(status.readAll()));
    if (!match.hasMatch())
        fail(QStringLiteral("/proc/self/status no tiene %1").arg(QLatin1String(field)));
    return match.captured(1).toDouble() / 1024.0;
}

// The kernel sets the high-water mark back to the memory resident now.
void resetPeak()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (!clearRefs.open(QIODevice::WriteOnly) || clearRefs.write("5") != 1)
        fail(QStringLiteral("no se puede poner a cero VmHWM en /proc/self/clear_refs"));
}

template <typename Control> Control* control(const QWidget& window, const char* name)
{
    auto* found = window.findChild<Control*>(QLatin1String(name));
    if (!found)
        fail(QStringLiteral("la ventana no tiene %1").arg(QLatin1String(name)));
    return found;
}

} // namespace

int runCopyMemory(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);

    DriveCSettings settings;
    AnsweringMessageBox messages;
    RecordingProgramEnd programEnd;
    frmSeleccion window(settings, messages, programEnd);
    if (!window.load())
        fail(QStringLiteral("la ventana no se abre: %1").arg(messages.texts.join(u'|')));
    window.show();
    QApplication::setActiveWindow(&window);
    if (!QTest::qWaitForWindowActive(&window))
        fail(QStringLiteral("la ventana no llega a estar activa"));

    auto* companies = control<QComboBox>(window, "cmbEmpresaOrigen");
    auto* newCompany = control<QLineEdit>(window, "txtEmpresaNueva");
    auto* programs = control<QListWidget>(window, "lstProgramas");
    auto* copy = control<QPushButton>(window, "cmdCopiar");
    if (!QTest::qWaitFor([&] { return companies->count() == data::companies; }, 60000))
        fail(QStringLiteral("la lista de empresas tiene %1 empresas").arg(companies->count()));
    // Whatever the first showing left queued runs before the window counts as idle.
    QTest::qWait(200);
    const double idle = statusMiB("VmRSS");
    resetPeak();
    if (statusMiB("VmHWM") > statusMiB("VmRSS") + 1.0)
        fail(QStringLiteral("el núcleo no pone a cero VmHWM"));

    // The operator: the company from the list, the new name, the program, then Copiar.
    QTest::mouseClick(companies->lineEdit(), Qt::LeftButton);
    const int row = companies->findText(data::bigCompany, Qt::MatchExactly);
    if (row < 0)
        fail(QStringLiteral("la lista de empresas no tiene %1").arg(data::bigCompany));
    companies->showPopup();
    QAbstractItemView* popup = companies->view();
    popup->setCurrentIndex(popup->model()->index(row, 0));
    QTest::keyClick(popup, Qt::Key_Return);
    if (programs->count() != data::programsPerCompany)
        fail(QStringLiteral("la lista de programas tiene %1 programas").arg(programs->count()));

    QTest::mouseClick(newCompany, Qt::LeftButton);
    QTest::sendKeyEvent(
        QTest::Click, newCompany, Qt::Key_unknown, data::newCompany, Qt::NoModifier);
    const QList<QListWidgetItem*> items = programs->findItems(data::bigProgram, Qt::MatchExactly);
    if (items.size() != 1)
        fail(QStringLiteral("la lista de programas no tiene %1").arg(data::bigProgram));
    QTest::mouseClick(
        programs->viewport(), Qt::LeftButton, {}, programs->visualItemRect(items.first()).center());
    QTest::mouseClick(copy, Qt::LeftButton);

    const double peak = statusMiB("VmHWM");
    if (programEnd.statuses != QList<int> {0} || messages.texts.size() != 1
        || !messages.texts.first().startsWith(QStringLiteral("Se han copiado correctamente")))
        fail(QStringLiteral("la copia no termina como debe: %1").arg(messages.texts.join(u'|')));

    std::printf(
        "copy_memory idle_mib=%.1f peak_mib=%.1f above_idle_mib=%.1f\n", idle, peak, peak - idle);
    std::fflush(stdout);
    return 0;
}

} // namespace duplivo::bench
