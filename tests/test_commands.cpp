// The company and program lists, Copiar and Borrar, through the real window on a real file.
#include <functional>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

#include "base/savedcopies.h"
#include "db/savedcopy.h"
#include "tests/support.h"

using namespace duplivo;
using namespace duplivo::test;

namespace {

const QString agenda = QStringLiteral("Agenda");
const QString nominas = QStringLiteral("Nóminas");
const QString contabilidad = QStringLiteral("Contabilidad");
const QString almacen = QStringLiteral("Almacén");

// Watches the window's thread while a command runs: the longest it went without handling an
// event, and the progress windows it showed, each once, as they first showed.
class Watcher
{
public:
    QStringList labels;
    // Called when a progress window first shows.
    std::function<void(QProgressDialog*)> onProgress;

    Watcher()
    {
        m_clock.start();
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_longestGap = std::max(m_longestGap, m_clock.restart());
            auto* dialog = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget());
            if (!dialog || !dialog->isVisible() || m_seen.contains(dialog))
                return;
            m_seen << dialog;
            labels << dialog->labelText();
            if (onProgress)
                onProgress(dialog);
        });
        m_timer.start();
    }
    qint64 longestGap() const { return std::max(m_longestGap, m_clock.elapsed()); }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_longestGap = 0;
    QList<QPointer<QProgressDialog>> m_seen;
};

QStringList itemsOf(const QComboBox* box)
{
    QStringList items;
    for (int row = 0; row < box->count(); ++row)
        items << box->itemText(row);
    return items;
}

} // namespace

class CommandsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void companyListFollowsTheEngine();
    void companyListRefillKeepsTheTypedText();
    void emptyTableListsNothing();
    void choosingACompanyListsItsPrograms();
    void popupClickChoosesACompany();

    void copyInputErrorsInOrder();
    void copyTwoProgramsSecondAlreadyPresent();
    void copyToTheSourceNameIsRefused();
    void copyOfAnEmptyBlockDoesNotClaimSuccess();
    void copyKeepsQuotesAccentsAndEmoji();
    void copyFailureLeavesNothingOfThatProgram();
    void longCopyCanBeStopped_data();
    void longCopyCanBeStopped();

    void deleteAsksForEachProgram();
    void deleteInputErrorsEmptyTheNewCompany();
    void deleteOfATypedCompany();
    void deleteWithoutRoomForItsCopyDeletesNothing_data();
    void deleteWithoutRoomForItsCopyDeletesNothing();
    void deleteGivesUpOnAnotherProgramsLock_data();
    void deleteGivesUpOnAnotherProgramsLock();
};

void CommandsTest::initTestCase()
{
    if (const QString why = engineUnavailable(); !why.isEmpty())
        DUPLIVO_SKIP_UNAVAILABLE(why);
}

void CommandsTest::cleanup()
{
    // Each case's window went with its harness, and no box or list of its own stayed behind.
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void CommandsTest::companyListFollowsTheEngine()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Zeta"), agenda, 2);
    database.addBlock(QStringLiteral("Alfa"), nominas, 1);
    database.addBlock(QStringLiteral("Zeta"), nominas, 1);
    database.insert(QVariant(), agenda, 1, 1);
    database.insert(QStringLiteral("Media"), agenda, 1, 1);
    database.insert(QStringLiteral("Media"), QVariant(), 1, 1);
    WindowHarness harness;
    QVERIFY(harness.open());

    // Rows without a company or program are left out; the box stays empty. With the index the
    // engine lists each column in its own order, whatever order the rows went in.
    const QStringList companies
        = database.column(QStringLiteral("SELECT DISTINCT Empresa FROM GRANGUIA ORDER BY 1"));
    QCOMPARE(companies.size(), 3);
    QCOMPARE(itemsOf(harness.companies()), companies);
    QCOMPARE(harness.companies()->currentText(), QString());
    QVERIFY(harness.messages.shown.isEmpty());

    harness.chooseCompany(QStringLiteral("Media"));
    QCOMPARE(harness.programNames(), QStringList {agenda});
    harness.chooseCompany(QStringLiteral("Zeta"));
    QCOMPARE(harness.programNames(),
        database.column(QStringLiteral(
            "SELECT DISTINCT Aplica FROM GRANGUIA WHERE Empresa = 'Zeta' ORDER BY 1")));
    QVERIFY(harness.messages.shown.isEmpty());
}

void CommandsTest::companyListRefillKeepsTheTypedText()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Alfa"), agenda, 1);
    WindowHarness harness;
    QVERIFY(harness.open());
    QTest::keyClicks(harness.companies(), QStringLiteral("Escrita"));
    QTest::keyClick(harness.companies(), Qt::Key_Tab);

    // A company added meanwhile appears; the list is not doubled; the text stays as typed.
    database.addBlock(QStringLiteral("Beta"), agenda, 1);
    QTest::keyClick(harness.newCompany(), Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(harness.focusName(), QStringLiteral("cmbEmpresaOrigen"));
    const QStringList companies
        = database.column(QStringLiteral("SELECT DISTINCT Empresa FROM GRANGUIA ORDER BY 1"));
    QCOMPARE(companies.size(), 2);
    QCOMPARE(itemsOf(harness.companies()), companies);
    QCOMPARE(harness.companies()->currentText(), QStringLiteral("Escrita"));

    harness.chooseCompany(QStringLiteral("Beta"));
    QTest::keyClick(harness.newCompany(), Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(itemsOf(harness.companies()), companies);
    QCOMPARE(harness.companies()->currentText(), QStringLiteral("Beta"));
    QVERIFY(harness.messages.shown.isEmpty());
}

void CommandsTest::emptyTableListsNothing()
{
    CompanyDatabase database;
    WindowHarness harness;
    QVERIFY(harness.open());
    QCOMPARE(harness.companies()->count(), 0);
    QTest::keyClicks(harness.companies(), QStringLiteral("Nadie"));
    QTest::keyClick(harness.companies(), Qt::Key_Down);
    QCOMPARE(harness.programs()->count(), 0);
    QVERIFY(harness.messages.shown.isEmpty());
    QVERIFY(harness.programEnd.statuses.isEmpty());
}

void CommandsTest::choosingACompanyListsItsPrograms()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Alfa"), agenda, 3);
    database.addBlock(QStringLiteral("Alfa"), nominas, 3);
    database.addBlock(QStringLiteral("Beta"), contabilidad, 3);
    WindowHarness harness;
    QVERIFY(harness.open());

    harness.chooseCompany(QStringLiteral("Alfa"));
    QCOMPARE(harness.programNames(), QStringList({agenda, nominas}));
    QCOMPARE(harness.focusName(), QStringLiteral("txtEmpresaNueva"));
    QCOMPARE(harness.window->state().sourceCompany, QStringLiteral("Alfa"));
    harness.clickProgram(nominas);

    // Choosing again rebuilds the list from nothing, without a selection.
    harness.chooseCompany(QStringLiteral("Alfa"));
    QCOMPARE(harness.programNames(), QStringList({agenda, nominas}));
    QVERIFY(harness.programs()->selectedItems().isEmpty());
    harness.chooseCompany(QStringLiteral("Beta"));
    QCOMPARE(harness.programNames(), QStringList {contabilidad});
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
}

void CommandsTest::popupClickChoosesACompany()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Alfa"), agenda, 1);
    database.addBlock(QStringLiteral("Beta"), nominas, 1);
    WindowHarness harness;
    QVERIFY(harness.open());
    QComboBox* box = harness.companies();
    box->showPopup();
    QAbstractItemView* view = box->view();
    QTRY_VERIFY(view->isVisible());
    // The click that opens a drop-down is not taken as a choice; one a moment later is.
    QTest::qWait(QApplication::doubleClickInterval() + 100);
    const QRect item = view->visualRect(view->model()->index(1, 0));
    QTest::mouseMove(view->viewport(), item.center());
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, item.center());
    QTRY_VERIFY(!view->isVisible());
    const QString chosen = box->itemText(1);
    QCOMPARE(box->currentText(), chosen);
    QCOMPARE(
        harness.programNames(), QStringList {chosen == QLatin1String("Beta") ? nominas : agenda});
    QCOMPARE(harness.focusName(), QStringLiteral("txtEmpresaNueva"));
}

void CommandsTest::copyInputErrorsInOrder()
{
    // Names of at most 20 characters: an engine would cut a longer one, or refuse it.
    CompanyDatabase database(testEngine(), QString(), QString(), 20);
    database.addBlock(QStringLiteral("Alfa"), agenda, 2);
    WindowHarness harness;
    QVERIFY(harness.prepare(QStringLiteral("Alfa"), QString(), {agenda}));

    // Programs ticked but both boxes empty: only the company is asked for. Each error sends the
    // focus where it is corrected.
    harness.companies()->setEditText(QString());
    harness.click("cmdCopiar");
    QCOMPARE(harness.focusName(), QStringLiteral("cmbEmpresaOrigen"));
    QTest::keyClicks(harness.companies(), QStringLiteral("Alfa"));
    harness.click("cmdCopiar");
    QCOMPARE(harness.focusName(), QStringLiteral("txtEmpresaNueva"));
    harness.typeNewCompany(QStringLiteral("Nueva"));
    harness.clickProgram(agenda);
    harness.click("cmdCopiar");
    QCOMPARE(harness.focusName(), QStringLiteral("lstProgramas"));
    // 22 characters (23 UTF-16 units): refused before anything is written.
    harness.clickProgram(agenda);
    harness.typeNewCompany(QStringLiteral("Construcciones Ñandú 😀"));
    harness.click("cmdCopiar");
    QCOMPARE(harness.focusName(), QStringLiteral("txtEmpresaNueva"));
    QList<ShownMessage> expected;
    for (const char* text : {"Debe seleccionar la empresa que desea copiar",
             "Debe escribir el nombre de la nueva empresa que desea crear",
             "Debe seleccionar algún programa",
             "El nombre de la nueva empresa no puede tener más de 20 caracteres, y el escrito "
             "tiene 22."})
        expected.append({QString::fromUtf8(text), 16, QString()});
    QCOMPARE(harness.messages.shown, expected);
    QVERIFY(harness.programEnd.statuses.isEmpty());
    QCOMPARE(database.count(), 2);

    // Corrected to 20 characters, the copy goes through.
    const QString corrected = QStringLiteral("Construcciones Ñand😀");
    harness.typeNewCompany(corrected);
    harness.clickProgram(agenda);
    harness.clickProgram(agenda);
    QCOMPARE(harness.focusName(), QStringLiteral("cmdCopiar"));
    QTest::keyClick(harness.button("cmdCopiar"), Qt::Key_Space);
    QCOMPARE(harness.messages.shown.size(), 5);
    QCOMPARE(harness.programEnd.statuses, QList<int> {0});
    QCOMPARE(database.block(corrected, agenda).size(), 2);
}

void CommandsTest::copyTwoProgramsSecondAlreadyPresent()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Alfa"), agenda, 30);
    database.addBlock(QStringLiteral("Alfa"), nominas, 20);
    database.addBlock(QStringLiteral("Alfa"), almacen, 10);
    database.addBlock(QStringLiteral("Nueva"), nominas, 1);
    WindowHarness harness;
    QVERIFY(harness.prepare(QStringLiteral("Alfa"), QStringLiteral("Nueva"), {nominas, agenda}));

    // No lock is held and no wait cursor shows while the operator reads a message.
    QList<bool> freeWhileShown;
    harness.messages.whileShown = [&] {
        freeWhileShown << (database.nothingLocked()
            && QGuiApplication::overrideCursor() == nullptr);
    };
    const Watcher watcher;
    harness.click("cmdCopiar");
    // Work of less than a second shows no progress window.
    QCOMPARE(watcher.labels, QStringList());
    QVERIFY2(watcher.longestGap() < 200, qPrintable(QString::number(watcher.longestGap())));

    QCOMPARE(harness.messages.shown,
        (QList<ShownMessage> {{QStringLiteral("Se han copiado correctamente los datos de "
                                              "Agenda\r\n de la empresa Alfa a la empresa Nueva"),
                                  64, QString()},
            {QStringLiteral(
                 "La Empresa Nueva tiene datos para Nóminas y no se pueden modificar los\r\n"
                 "los datos de una empresa ya creada. Cambie el nombre de la nueva empresa."),
                16, QString()}}));
    QCOMPARE(freeWhileShown, QList<bool>({true, true}));
    QCOMPARE(harness.focusName(), QStringLiteral("txtEmpresaNueva"));
    QCOMPARE(harness.programEnd.statuses, QList<int> {0});

    QStringList copied = database.block(QStringLiteral("Alfa"), agenda);
    QCOMPARE(database.block(QStringLiteral("Nueva"), agenda), copied);
    QCOMPARE(database.block(QStringLiteral("Nueva"), nominas).size(), 1);
    QCOMPARE(database.block(QStringLiteral("Nueva"), almacen), QStringList());
    QCOMPARE(database.count(), 30 + 20 + 10 + 1 + 30);
}

void CommandsTest::copyToTheSourceNameIsRefused()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Alfa"), agenda, 3);
    database.addBlock(QStringLiteral("Alfa"), nominas, 3);
    WindowHarness harness;
    QVERIFY(harness.prepare(QStringLiteral("Alfa"), QStringLiteral("Alfa"), {agenda, nominas}));
    harness.click("cmdCopiar");
    QCOMPARE(harness.messages.shown.size(), 2);
    for (const ShownMessage& message : harness.messages.shown)
        QVERIFY2(message.text.startsWith(QStringLiteral("La Empresa Alfa tiene datos para ")),
            qPrintable(message.text));
    QCOMPARE(database.count(), 6);
    QCOMPARE(harness.programEnd.statuses, QList<int> {0});
}

void CommandsTest::copyOfAnEmptyBlockDoesNotClaimSuccess()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Alfa"), agenda, 3);
    database.addBlock(QStringLiteral("Alfa"), nominas, 3);
    database.addBlock(QStringLiteral("Alfa "), nominas, 2);
    WindowHarness harness;
    QVERIFY(harness.open());
    harness.chooseCompany(QStringLiteral("Alfa"));
    // Typed over the chosen name: the commands use the text as it is now.
    harness.companies()->setFocus();
    QTest::keyClick(harness.companies(), Qt::Key_Space);
    harness.typeNewCompany(QStringLiteral("Nueva"));
    harness.clickProgram(agenda);
    harness.clickProgram(nominas);
    harness.click("cmdCopiar");

    QCOMPARE(harness.messages.shown,
        (QList<ShownMessage> {
            {QStringLiteral("La empresa Alfa  no tiene datos de Agenda.\r\nNo se ha copiado nada."),
                16, QString()},
            {QStringLiteral("Se han copiado correctamente los datos de Nóminas\r\n de la empresa "
                            "Alfa  a la empresa Nueva"),
                64, QString()}}));
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva'")), 2);
    QCOMPARE(harness.programEnd.statuses, QList<int> {0});
}

void CommandsTest::copyKeepsQuotesAccentsAndEmoji()
{
    CompanyDatabase database;
    const QString source = QStringLiteral("L'Àncora \"Serveis\" 100%_😀");
    const QString target = QStringLiteral("O'Neill y Señora ");
    const QString program = QStringLiteral("Facturación 'B'");
    database.addBlock(source, program, 5);
    database.addBlock(QStringLiteral("L"), program, 1);
    WindowHarness harness;
    QVERIFY(harness.prepare(source, target, {program}));
    harness.click("cmdCopiar");
    QCOMPARE(harness.messages.texts(),
        QStringList {QStringLiteral("Se han copiado correctamente los datos de ") + program
            + QStringLiteral("\r\n de la empresa ") + source + QStringLiteral(" a la empresa ")
            + target});
    QCOMPARE(database.block(target, program), database.block(source, program));
    QCOMPARE(database.count(), 11);
}

void CommandsTest::copyFailureLeavesNothingOfThatProgram()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Alfa"), agenda, 40);
    database.addBlock(QStringLiteral("Alfa"), nominas, 80);
    database.failInsertsOf(QStringLiteral("Nóminas-50"), QStringLiteral("sin espacio"));
    WindowHarness harness;
    QVERIFY(harness.prepare(QStringLiteral("Alfa"), QStringLiteral("Nueva"), {agenda, nominas}));
    harness.click("cmdCopiar");

    QCOMPARE(harness.messages.shown.size(), 2);
    QCOMPARE(harness.messages.shown[0].style, 64);
    const ShownMessage& report = harness.messages.shown[1];
    // The engine's own number: SQLite's for a trigger's abort where SQLite answers directly.
    const QString number = database.engine() == TestEngine::Sqlite
        ? QStringLiteral("1811")
        : report.text.section(u'\'', 1, 1);
    QVERIFY2(report.text.startsWith(
                 QStringLiteral("Error '%1' en tiempo de ejecución:\r\n\r\n").arg(number)),
        qPrintable(report.text));
    QVERIFY2(report.text.contains(QStringLiteral("sin espacio")), qPrintable(report.text));
    QCOMPARE(report.style, 16);
    QCOMPARE(report.title, QStringLiteral("Duplivo"));
    QCOMPARE(harness.programEnd.statuses, QList<int> {1});
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);

    // The first program stays copied; nothing of the second, so a retry is not blocked.
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva' AND Aplica = 'Agenda'")), 40);
    QCOMPARE(database.count(QStringLiteral("Empresa = 'Nueva' AND Aplica = 'Nóminas'")), 0);
    QVERIFY(database.nothingLocked());
}

void CommandsTest::longCopyCanBeStopped_data()
{
    QTest::addColumn<QString>("gesture");
    QTest::newRow("Cancelar") << QStringLiteral("Cancelar");
    QTest::newRow("Escape") << QStringLiteral("Escape");
    QTest::newRow("closing the progress window") << QStringLiteral("close");
}

void CommandsTest::longCopyCanBeStopped()
{
    QFETCH(QString, gesture);
    // The second program's copy takes half a minute, unless stopped part-way.
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Alfa"), agenda, 20);
    database.addBlock(QStringLiteral("Alfa"), nominas, 3000);
    database.slowInsertsOf(QStringLiteral("Nóminas-1500"), 30);
    WindowHarness harness;
    QVERIFY(harness.prepare(QStringLiteral("Alfa"), QStringLiteral("Nueva"), {agenda, nominas}));

    // The window keeps handling its events throughout; after a second the progress window
    // shows, and the operator stops the copy from it.
    Watcher watcher;
    watcher.onProgress = [&](QProgressDialog* dialog) {
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Duplivo"));
        if (gesture == QLatin1String("Cancelar")) {
            auto* cancel = dialog->findChild<QPushButton*>();
            QVERIFY(cancel && cancel->text() == QLatin1String("Cancelar"));
            QTest::mouseClick(cancel, Qt::LeftButton);
        } else if (gesture == QLatin1String("Escape")) {
            QTest::keyClick(dialog, Qt::Key_Escape);
        } else {
            dialog->close();
        }
    };
    QElapsedTimer elapsed;
    elapsed.start();
    harness.click("cmdCopiar");
    QVERIFY2(elapsed.elapsed() < 15000, qPrintable(QString::number(elapsed.elapsed())));
    QVERIFY2(watcher.longestGap() < 200, qPrintable(QString::number(watcher.longestGap())));
    QCOMPARE(
        watcher.labels, QStringList {QStringLiteral("Copiando los datos de Nóminas (2 de 2)…")});

    // The program finished before stays; nothing of the stopped one does.
    QCOMPARE(harness.messages.shown,
        (QList<ShownMessage> {{QStringLiteral("Se han copiado correctamente los datos de "
                                              "Agenda\r\n de la empresa Alfa a la empresa Nueva"),
                                  64, QString()},
            {QStringLiteral("Se ha detenido la copia de los datos de Nóminas\r\n de la empresa "
                            "Alfa a la empresa Nueva.\r\nNo se ha guardado nada de ese programa."),
                16, QString()}}));
    QCOMPARE(harness.programEnd.statuses, QList<int> {1});
    QCOMPARE(database.block(QStringLiteral("Nueva"), agenda).size(), 20);
    QCOMPARE(database.block(QStringLiteral("Nueva"), nominas), QStringList());
    QCOMPARE(database.count(QStringLiteral("Empresa LIKE 'Duplivo %'")), 0);
    QTRY_VERIFY(database.nothingLocked());
}

void CommandsTest::deleteAsksForEachProgram()
{
    CompanyDatabase database;
    for (const QString& program : {agenda, nominas, contabilidad, almacen})
        database.addBlock(QStringLiteral("Alfa"), program, 5);
    database.addBlock(QStringLiteral("Beta"), agenda, 5);
    WindowHarness harness;
    QVERIFY(harness.prepare(QStringLiteral("Alfa"), QString(), {agenda, nominas, almacen}));
    QCOMPARE(harness.focusName(), QStringLiteral("cmdBorrar"));

    harness.messages.answers = {MessageAnswer::Yes, MessageAnswer::Ok, MessageAnswer::No,
        MessageAnswer::Ok, MessageAnswer::Yes, MessageAnswer::Ok};
    QList<bool> freeWhileShown;
    harness.messages.whileShown = [&] { freeWhileShown << database.nothingLocked(); };
    // On Windows the folder is the prefix's, and earlier cases' copies are there too.
    const auto copiesNow = [] {
        QStringList paths;
        for (const SavedCopy& copy : listSavedCopies(savedCopiesFolder()).first)
            paths << copy.path;
        return paths;
    };
    const QStringList before = copiesNow();
    harness.click("cmdBorrar");

    // Asked in list order: Agenda, Almacén, Nóminas.
    QCOMPARE(harness.programNames(), QStringList({agenda, almacen, contabilidad, nominas}));
    const auto shown = [](const char* text, const QString& program, int style) {
        return ShownMessage {QString::fromUtf8(text) + QStringLiteral(" \r\n") + program
                + QStringLiteral(" de la empresa Alfa"),
            style, QString()};
    };
    const char* const asked = "Esta seguro que desea borrar los datos de";
    const char* const deleted = "Se han borrado correctamente los datos de";
    QCOMPARE(harness.messages.shown,
        (QList<ShownMessage> {shown(asked, agenda, 4), shown(deleted, agenda, 64),
            shown(asked, almacen, 4), shown("No se han borrado los datos de", almacen, 16),
            shown(asked, nominas, 4), shown(deleted, nominas, 64)}));
    QCOMPARE(harness.messages.unscripted, 0);
    QCOMPARE(freeWhileShown, QList<bool>(6, true));
    QCOMPARE(harness.window->state().answer, QStringLiteral("6"));
    QCOMPARE(harness.programEnd.statuses, QList<int> {0});

    QCOMPARE(database.block(QStringLiteral("Alfa"), agenda), QStringList());
    QCOMPARE(database.block(QStringLiteral("Alfa"), almacen).size(), 5);
    QCOMPARE(database.block(QStringLiteral("Alfa"), contabilidad).size(), 5);
    QCOMPARE(database.block(QStringLiteral("Alfa"), nominas), QStringList());
    QCOMPARE(database.block(QStringLiteral("Beta"), agenda).size(), 5);

    // A copy of each block deleted, and only of those, was kept first.
    QStringList kept;
    for (const QString& path : copiesNow()) {
        if (before.contains(path))
            continue;
        const SavedCopy copy = readSavedCopy(path, false);
        kept << QStringLiteral("%1/%2/%3")
                    .arg(copy.origin.company, copy.origin.program)
                    .arg(copy.origin.rows);
    }
    kept.sort();
    QCOMPARE(
        kept, (QStringList {QStringLiteral("Alfa/Agenda/5"), QStringLiteral("Alfa/Nóminas/5")}));
}

void CommandsTest::deleteWithoutRoomForItsCopyDeletesNothing_data()
{
    QTest::addColumn<QString>("mount");
    QTest::addColumn<QString>("why");
    QTest::newRow("a folder that cannot be written")
        << QStringLiteral("ro,size=1m") << QStringLiteral("Read-only file system");
    // Room for a few pages, not for a block of three thousand rows.
    QTest::newRow("a full disk") << QStringLiteral("size=64k")
                                 << QStringLiteral("No space left on device");
}

void CommandsTest::deleteWithoutRoomForItsCopyDeletesNothing()
{
    QFETCH(QString, mount);
    QFETCH(QString, why);
    if (QSysInfo::kernelType() != QLatin1String("linux"))
        QSKIP("the folder is made full or read-only with a Linux mount");
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Alfa"), agenda, 3000);
    database.addBlock(QStringLiteral("Alfa"), nominas, 3000);
    WindowHarness harness;
    const QString folder = savedCopiesFolder();
    QVERIFY(QDir().mkpath(folder));
    QProcess mounting;
    mounting.start(QStringLiteral("mount"),
        {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"), mount,
            QStringLiteral("duplivo"), folder});
    if (!mounting.waitForFinished(10000) || mounting.exitCode() != 0)
        DUPLIVO_SKIP_UNAVAILABLE(
            QStringLiteral("mount, as root, makes a small or read-only folder: ")
            + QString::fromLocal8Bit(mounting.readAllStandardError()));
    const auto unmount
        = qScopeGuard([&folder] { QProcess::execute(QStringLiteral("umount"), {folder}); });

    QVERIFY(harness.prepare(QStringLiteral("Alfa"), QString(), {agenda, nominas}));
    harness.messages.answers
        = {MessageAnswer::Yes, MessageAnswer::Ok, MessageAnswer::Yes, MessageAnswer::Ok};
    harness.click("cmdBorrar");

    // Each program is asked about, and none deleted: the operator is told why, in the system's
    // words.
    QCOMPARE(harness.messages.shown.size(), 4);
    for (const int refused : {1, 3}) {
        const ShownMessage& message = harness.messages.shown[refused];
        QVERIFY2(message.text.startsWith(QStringLiteral("No se han borrado los datos de \r\n"))
                && message.text.contains(why) && message.style == 16,
            qPrintable(message.text));
    }
    QCOMPARE(harness.messages.shown[2].style, 4);
    QCOMPARE(database.block(QStringLiteral("Alfa"), agenda).size(), 3000);
    QCOMPARE(database.block(QStringLiteral("Alfa"), nominas).size(), 3000);
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList());
    QCOMPARE(harness.programEnd.statuses, QList<int> {0});
}

void CommandsTest::deleteInputErrorsEmptyTheNewCompany()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Alfa"), agenda, 2);
    WindowHarness harness;
    QVERIFY(harness.open());
    harness.typeNewCompany(QStringLiteral("Nueva"));
    harness.click("cmdBorrar");
    QCOMPARE(harness.newCompany()->text(), QString());
    QCOMPARE(harness.messages.texts(),
        QStringList {QStringLiteral("Debe seleccionar la empresa que desea copiar")});
    QCOMPARE(harness.focusName(), QStringLiteral("cmbEmpresaOrigen"));

    harness.chooseCompany(QStringLiteral("Alfa"));
    harness.typeNewCompany(QStringLiteral("Otra"));
    harness.click("cmdBorrar");
    QCOMPARE(harness.newCompany()->text(), QString());
    QCOMPARE(harness.messages.shown.last().text, QStringLiteral("Debe seleccionar algún programa"));
    QCOMPARE(harness.messages.shown.last().style, 16);
    QCOMPARE(harness.focusName(), QStringLiteral("lstProgramas"));
    QVERIFY(harness.programEnd.statuses.isEmpty());
    QCOMPARE(database.count(), 2);
}

void CommandsTest::deleteOfATypedCompany()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Alfa"), agenda, 2);
    database.addBlock(QStringLiteral("alfa"), agenda, 3);
    database.addBlock(QStringLiteral("Alfa"), nominas, 2);
    WindowHarness harness;
    QVERIFY(harness.prepare(QStringLiteral("Alfa"), QString(), {agenda, nominas}));
    harness.companies()->setFocus();
    harness.companies()->lineEdit()->selectAll();
    QTest::keyClicks(harness.companies(), QStringLiteral("alfa"));
    harness.messages.answers
        = {MessageAnswer::Yes, MessageAnswer::Ok, MessageAnswer::Yes, MessageAnswer::Ok};
    harness.click("cmdBorrar");

    // The block of the typed company goes; where it has none, nothing does.
    QCOMPARE(harness.messages.shown[1].text,
        QStringLiteral("Se han borrado correctamente los datos de \r\nAgenda de la empresa alfa"));
    QCOMPARE(harness.messages.shown[3].text,
        QStringLiteral("Se han borrado correctamente los datos de \r\nNóminas de la empresa alfa"));
    QCOMPARE(database.block(QStringLiteral("alfa"), agenda), QStringList());
    QCOMPARE(database.block(QStringLiteral("Alfa"), agenda).size(), 2);
    QCOMPARE(database.block(QStringLiteral("Alfa"), nominas).size(), 2);
    QCOMPARE(harness.programEnd.statuses, QList<int> {0});
}

void CommandsTest::deleteGivesUpOnAnotherProgramsLock_data()
{
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<bool>("withoutTransactions");
    QTest::newRow("waited for") << false << false;
    QTest::newRow("stopped while waiting") << true << false;
    // A table without transactions is held whole for the delete, and by the other program too.
    if (testEngine() == TestEngine::MariaDb) {
        QTest::newRow("without transactions, waited for") << false << true;
        QTest::newRow("without transactions, stopped while waiting") << true << true;
    }
}

void CommandsTest::deleteGivesUpOnAnotherProgramsLock()
{
    QFETCH(bool, stopped);
    QFETCH(bool, withoutTransactions);
    CompanyDatabase database;
    if (withoutTransactions)
        database.exec(QStringLiteral("DROP INDEX GRANGUIA_Empresa_Aplica ON GRANGUIA; "
                                     "ALTER TABLE GRANGUIA ENGINE = MyISAM"));
    database.addBlock(QStringLiteral("Alfa"), agenda, 3);
    WindowHarness harness;
    QVERIFY(harness.prepare(QStringLiteral("Alfa"), QString(), {agenda}));
    harness.messages.answers = {MessageAnswer::Yes};

    // Another program is changing the block and does not finish.
    database.exec(withoutTransactions
            ? QStringLiteral("LOCK TABLES GRANGUIA WRITE")
            : QStringLiteral("BEGIN; UPDATE GRANGUIA SET cosa = cosa WHERE Empresa = 'Alfa'"));
    Watcher watcher;
    if (stopped)
        watcher.onProgress = [](QProgressDialog* dialog) {
            QTest::mouseClick(dialog->findChild<QPushButton*>(), Qt::LeftButton);
        };
    QElapsedTimer waiting;
    waiting.start();
    harness.click("cmdBorrar");
    const qint64 waited = waiting.elapsed();
    database.exec(
        withoutTransactions ? QStringLiteral("UNLOCK TABLES") : QStringLiteral("ROLLBACK"));
    // The progress window says what waits: the delete on PostgreSQL, whose read of the rows to
    // keep takes no lock; the read itself elsewhere.
    QCOMPARE(watcher.labels,
        QStringList {database.engine() == TestEngine::Postgres
                ? QStringLiteral("Borrando los datos de Agenda…")
                : QStringLiteral("Guardando una copia de Agenda…")});
    QVERIFY2(watcher.longestGap() < 200, qPrintable(QString::number(watcher.longestGap())));
    QCOMPARE(harness.messages.shown.size(), 2);
    const ShownMessage& report = harness.messages.shown[1];
    QCOMPARE(harness.programEnd.statuses, QList<int> {1});
    QCOMPARE(database.block(QStringLiteral("Alfa"), agenda).size(), 3);
    if (stopped) {
        QCOMPARE(report,
            (ShownMessage {QStringLiteral("Se ha detenido el borrado de los datos de \r\nAgenda de "
                                          "la empresa Alfa.\r\nNo se ha borrado nada de ese "
                                          "programa."),
                16, QString()}));
        // A server stops waiting at once; SQLite only once its wait is over.
        if (isServer(database.engine()))
            QVERIFY2(waited < 5000, qPrintable(QString::number(waited)));
        return;
    }
    // Ten seconds, not for ever; then the engine's failure ends the program.
    QVERIFY2(waited >= 9000 && waited < 30000, qPrintable(QString::number(waited)));
    QVERIFY2(report.text.startsWith(QStringLiteral("Error '")), qPrintable(report.text));
    QCOMPARE(report.style, 16);
    QCOMPARE(report.title, QStringLiteral("Duplivo"));
}

QTEST_MAIN(CommandsTest)
#include "test_commands.moc"
