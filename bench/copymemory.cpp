#include "bench/copymemory.h"

#include <cstdio>

#include <QApplication>
#include <QComboBox>
#include <QListWidget>
#include <QTest>

#include "bench/dataset.h"
#include "bench/measure.h"
#include "tests/support.h"

namespace duplivo::bench {

int runCopyMemory(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);

    // The operator at the real window, every message answered as Enter would.
    test::WindowHarness operatorAt;
    if (!operatorAt.open())
        fail(QStringLiteral("la ventana no se abre: %1")
                 .arg(operatorAt.messages.texts().join(u'|')));
    if (!QTest::qWaitFor([&] { return operatorAt.companies()->count() == data::companies; }, 60000))
        fail(QStringLiteral("la lista de empresas tiene %1 empresas")
                 .arg(operatorAt.companies()->count()));
    // Whatever the first showing left queued runs before the window counts as idle.
    QTest::qWait(200);
    const double idle = statusMiB("VmRSS");
    resetPeak();
    if (statusMiB("VmHWM") > statusMiB("VmRSS") + 1.0)
        fail(QStringLiteral("el núcleo no pone a cero VmHWM"));

    // The company from the list, the new name, the program, then Copiar.
    operatorAt.chooseCompany(data::bigCompany);
    if (operatorAt.programs()->count() != data::programsPerCompany)
        fail(QStringLiteral("la lista de programas tiene %1 programas")
                 .arg(operatorAt.programs()->count()));
    operatorAt.typeNewCompany(data::newCompany);
    operatorAt.clickProgram(data::bigProgram);
    operatorAt.click("cmdCopiar");

    const double peak = statusMiB("VmHWM");
    const QStringList texts = operatorAt.messages.texts();
    if (operatorAt.programEnd.statuses != QList<int> {0} || texts.size() != 1
        || !texts.first().startsWith(QStringLiteral("Se han copiado correctamente")))
        fail(QStringLiteral("la copia no termina como debe: %1").arg(texts.join(u'|')));

    std::printf(
        "copy_memory idle_mib=%.1f peak_mib=%.1f above_idle_mib=%.1f\n", idle, peak, peak - idle);
    std::fflush(stdout);
    return 0;
}

} // namespace duplivo::bench
