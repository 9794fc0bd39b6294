// The window as the operator meets it: start-up, layout, focus, the programs list rule, exit and
// the failure report, driven through the real widgets.
#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include "app/messagebox.h"
#include "app/messagetext.h"
#include "base/databaselocation.h"
#include "tests/support.h"

using namespace duplivo;
using namespace duplivo::test;

namespace {

// What a screen reader speaks for the control that has the focus: its accessible name.
QString spokenFocus(QWidget* window)
{
    const QAccessibleInterface* focus = QAccessible::queryAccessibleInterface(window)->focusChild();
    return focus ? focus->text(QAccessible::Name) : QString();
}

// The texts a screen reader reads out of a window: its visible static texts.
QStringList spokenTexts(QAccessibleInterface* node)
{
    QStringList texts;
    if (node->state().invisible)
        return texts;
    if (node->role() == QAccessible::StaticText)
        texts << node->text(QAccessible::Name);
    for (int i = 0; i < node->childCount(); ++i)
        texts << spokenTexts(node->child(i));
    return texts;
}

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void missingSettingShowsInstallationMessageOnly();
    void databasePathKeepsTheDriveAsStored_data();
    void databasePathKeepsTheDriveAsStored();
    void settingsFailureIsReported();
    void layoutFollowsTheTwipGrid();
    void tabVisitsTheControlsInOrder();
    void programClickMovesFocusByNewCompanyText_data();
    void programClickMovesFocusByNewCompanyText();
    void keyboardToggleFollowsTheSameRule();
    void enterTriggersNothing();
    void companyFocusHandlerRunsOncePerRealFocusGain();
    void typedCompanyIsNeitherChosenNorAdded();
    void salirEndsTheProgram();
    void closingTheWindowEndsTheProgram();
    void databaseFailureIsReportedAndEndsWithError();
    void realMessageBoxShowsEachStyle();
};

void WindowTest::cleanup()
{
    // Each case's window went with its harness, and no box of its own stayed behind.
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void WindowTest::missingSettingShowsInstallationMessageOnly()
{
    for (const std::optional<QString>& stored :
        {std::optional<QString>(), std::optional<QString>(QString())}) {
        WindowHarness harness;
        harness.settings.drive = stored;
        QVERIFY(!harness.open());
        const QList<ShownMessage> expected {
            {QStringLiteral("No tiene instalado ningún programa de Tarvex"), 0,
                QStringLiteral("Error de instalación")}};
        QCOMPARE(harness.messages.shown, expected);
        QCOMPARE(harness.programEnd.statuses, QList<int> {0});
        QVERIFY(!harness.window->isVisible());
    }
}

void WindowTest::databasePathKeepsTheDriveAsStored_data()
{
    QTest::addColumn<QString>("drive");
    QTest::addColumn<QString>("path");
    QTest::newRow("letter") << "D"
                            << "D:\\Tarvex.win\\Tarvex.mdb";
    QTest::newRow("letter and colon") << "D:"
                                      << "D::\\Tarvex.win\\Tarvex.mdb";
    QTest::newRow("one space") << " "
                               << " :\\Tarvex.win\\Tarvex.mdb";
}

void WindowTest::databasePathKeepsTheDriveAsStored()
{
    QFETCH(QString, drive);
    QFETCH(QString, path);
    CompanyDatabase database;
    WindowHarness harness;
    harness.settings.drive = drive;
    harness.open();
    QCOMPARE(harness.window->state().drive, drive);
    QCOMPARE(harness.window->state().databasePath, path);
    // No installation message: the faulty forms fail only when the database is opened.
    QVERIFY(!harness.messages.texts().contains(installationMessage));
    QCOMPARE(harness.messages.shown.size(), 1);
    QVERIFY2(
        harness.messages.shown[0].text.contains(path), qPrintable(harness.messages.shown[0].text));
    QCOMPARE(harness.programEnd.statuses, QList<int> {1});
}

void WindowTest::settingsFailureIsReported()
{
    WindowHarness harness;
    harness.settings.failure = Failure(75, QStringLiteral("acceso denegado"));
    QVERIFY(!harness.open());
    QCOMPARE(harness.messages.shown,
        (QList<ShownMessage> {
            {QStringLiteral("Error '75' en tiempo de ejecución:\r\n\r\nacceso denegado"), 16,
                QStringLiteral("Duplivo")}}));
    QCOMPARE(harness.programEnd.statuses, QList<int> {1});
    QVERIFY(!harness.window->isVisible());
}

void WindowTest::layoutFollowsTheTwipGrid()
{
    CompanyDatabase database;
    WindowHarness harness;
    QVERIFY(harness.open());
    frmSeleccion* window = harness.window.get();
    QCOMPARE(window->windowTitle(), QStringLiteral("Copia de Empresa"));
    QCOMPARE(window->objectName(), QStringLiteral("frmSeleccion"));
    const double scale = window->logicalDpiX() / 1440.0;
    const auto px = [scale](int twips) { return qRound(twips * scale); };
    QCOMPARE(window->size(), QSize(px(7215), px(2880)));

    struct Expected
    {
        const char* name;
        QString text;
        QRect twips;
        // The control a label is tied to, for screen readers.
        const char* labelled = nullptr;
    };
    const QList<Expected> expected = {
        {"cmbEmpresaOrigen", QString(), {480, 720, 1935, 315}},
        {"txtEmpresaNueva", QString(), {2640, 720, 1935, 405}},
        {"cmdCopiar", QStringLiteral("Copiar"), {5400, 480, 1215, 495}},
        {"cmdSalir", QStringLiteral("Salir"), {5400, 1680, 1215, 495}},
        {"lstProgramas", QString(), {1200, 1440, 1935, 1035}},
        {"Label1", QStringLiteral("Empresa Origen"), {600, 360, 1455, 255}, "cmbEmpresaOrigen"},
        {"cmdBorrar", QStringLiteral("Borrar"), {5400, 1080, 1215, 495}},
        {"Label2", QStringLiteral("Nueva Empresa"), {2760, 360, 1695, 255}, "txtEmpresaNueva"},
    };
    for (const Expected& control : expected) {
        const auto* widget = window->findChild<QWidget*>(QLatin1String(control.name));
        QVERIFY2(widget, control.name);
        const QRect& t = control.twips;
        QCOMPARE(widget->geometry(), QRect(px(t.x()), px(t.y()), px(t.width()), px(t.height())));
        if (const auto* button = qobject_cast<const QPushButton*>(widget))
            QCOMPARE(button->text(), control.text);
        if (const auto* label = qobject_cast<const QLabel*>(widget)) {
            QCOMPARE(label->text(), control.text);
            QCOMPARE(label->focusPolicy(), Qt::NoFocus);
            const auto related = QAccessible::queryAccessibleInterface(
                window->findChild<QLabel*>(QLatin1String(control.name)))
                                     ->relations(QAccessible::Labelled);
            QCOMPARE(related.size(), 1);
            QCOMPARE(related[0].first->object()->objectName(), QLatin1String(control.labelled));
        }
    }
    QCOMPARE(harness.companies()->currentText(), QString());
    QCOMPARE(harness.newCompany()->text(), QString());
    QCOMPARE(harness.programs()->count(), 0);
    QCOMPARE(harness.programs()->selectionMode(), QAbstractItemView::MultiSelection);
    QVERIFY(harness.companies()->isEditable());
    QCOMPARE(harness.companies()->insertPolicy(), QComboBox::NoInsert);
}

void WindowTest::tabVisitsTheControlsInOrder()
{
    CompanyDatabase database;
    WindowHarness harness;
    QVERIFY(harness.open());
    // Each control, and what a screen reader says when it gets the focus.
    const QList<std::pair<QString, QString>> order
        = {{QStringLiteral("cmbEmpresaOrigen"), QStringLiteral("Empresa Origen")},
            {QStringLiteral("txtEmpresaNueva"), QStringLiteral("Nueva Empresa")},
            {QStringLiteral("cmdCopiar"), QStringLiteral("Copiar")},
            {QStringLiteral("cmdSalir"), QStringLiteral("Salir")},
            {QStringLiteral("lstProgramas"), QStringLiteral("Programas")},
            {QStringLiteral("cmdBorrar"), QStringLiteral("Borrar")}};
    const auto focus
        = [&harness] { return std::pair(harness.focusName(), spokenFocus(harness.window.get())); };
    QCOMPARE(focus(), order[0]);
    for (int step = 1; step <= order.size(); ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(focus(), order[step % order.size()]);
    }
    for (int step = order.size() - 1; step >= 0; --step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(focus(), order[step]);
    }
    QVERIFY(harness.messages.shown.isEmpty());
}

void WindowTest::programClickMovesFocusByNewCompanyText_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("focus");
    QTest::newRow("empty") << QString() << "cmdBorrar";
    QTest::newRow("name") << "Nueva"
                          << "cmdCopiar";
    QTest::newRow("only spaces") << "   "
                                 << "cmdCopiar";
}

void WindowTest::programClickMovesFocusByNewCompanyText()
{
    QFETCH(QString, typed);
    QFETCH(QString, focus);
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Acme"), QStringLiteral("Contabilidad"), 2);
    database.addBlock(QStringLiteral("Acme"), QStringLiteral("Nóminas"), 2);
    WindowHarness harness;
    QVERIFY(harness.open());
    harness.chooseCompany(QStringLiteral("Acme"));
    QCOMPARE(harness.focusName(), QStringLiteral("txtEmpresaNueva"));
    if (!typed.isEmpty())
        harness.typeNewCompany(typed);
    QCOMPARE(harness.newCompany()->text(), typed);

    harness.clickProgram(QStringLiteral("Nóminas"));
    QVERIFY(harness.programs()->item(1)->isSelected());
    QCOMPARE(harness.focusName(), focus);

    // Deselecting applies the same rule; the other items keep their state.
    harness.clickProgram(QStringLiteral("Contabilidad"));
    harness.newCompany()->setFocus();
    harness.clickProgram(QStringLiteral("Nóminas"));
    QVERIFY(!harness.programs()->item(1)->isSelected());
    QVERIFY(harness.programs()->item(0)->isSelected());
    QCOMPARE(harness.focusName(), focus);
    QVERIFY(harness.messages.shown.isEmpty());
}

void WindowTest::keyboardToggleFollowsTheSameRule()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Acme"), QStringLiteral("Contabilidad"), 1);
    database.addBlock(QStringLiteral("Acme"), QStringLiteral("Nóminas"), 1);
    WindowHarness harness;
    QVERIFY(harness.open());
    harness.chooseCompany(QStringLiteral("Acme"));

    // Refilling the list by choosing the company again moves the focus only to the new-company box.
    harness.programs()->setFocus();
    harness.programs()->setCurrentRow(1, QItemSelectionModel::NoUpdate);
    QTest::keyClick(harness.programs(), Qt::Key_Space);
    QVERIFY(harness.programs()->item(1)->isSelected());
    QCOMPARE(harness.focusName(), QStringLiteral("cmdBorrar"));

    harness.chooseCompany(QStringLiteral("Acme"));
    QCOMPARE(harness.programNames(),
        QStringList({QStringLiteral("Contabilidad"), QStringLiteral("Nóminas")}));
    QVERIFY(harness.programs()->selectedItems().isEmpty());
    QCOMPARE(harness.focusName(), QStringLiteral("txtEmpresaNueva"));
}

void WindowTest::enterTriggersNothing()
{
    CompanyDatabase database;
    const QString company = QStringLiteral("Transportes y Logística del Norte");
    database.addBlock(company, QStringLiteral("Contabilidad"), 1);
    WindowHarness harness;
    QVERIFY(harness.open());
    harness.chooseCompany(company);
    // A name longer than the box shows from its start (the box scrolls to its cursor as it paints).
    QLineEdit* shown = harness.companies()->lineEdit();
    shown->repaint();
    QCOMPARE(shown->cursorPositionAt(QPoint()), 0);
    harness.clickProgram(QStringLiteral("Contabilidad"));

    harness.newCompany()->setFocus();
    QTest::keyClick(harness.newCompany(), Qt::Key_Return);
    QTest::keyClick(harness.newCompany(), Qt::Key_Enter, Qt::KeypadModifier);
    harness.typeNewCompany(QStringLiteral("Nueva"));
    QTest::keyClick(harness.newCompany(), Qt::Key_Return);
    harness.companies()->setFocus();
    QTest::keyClick(harness.companies(), Qt::Key_Return);

    QVERIFY(harness.messages.shown.isEmpty());
    QVERIFY(harness.programEnd.statuses.isEmpty());
    QCOMPARE(harness.companies()->currentText(), company);
    QCOMPARE(database.count(), 1);

    // A button that has the focus answers Enter, as desktop buttons do.
    harness.button("cmdSalir")->setFocus();
    QTest::keyClick(harness.button("cmdSalir"), Qt::Key_Return);
    QCOMPARE(harness.programEnd.statuses, QList<int> {0});
}

void WindowTest::companyFocusHandlerRunsOncePerRealFocusGain()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Acme"), QStringLiteral("Contabilidad"), 1);
    WindowHarness harness;
    QVERIFY(harness.open());
    // Every run of the handler opens a connection of its own.
    // (The one before is alive while the next is made, so the two never share an address.)
    const DatabaseConnection* connection = harness.window->state().database.get();
    const auto ranSinceLastLook = [&] {
        const DatabaseConnection* now = harness.window->state().database.get();
        const bool ran = now != connection;
        connection = now;
        return ran;
    };
    QCOMPARE(harness.companies()->count(), 1);

    QTest::keyClick(harness.companies(), Qt::Key_Tab);
    QVERIFY(!ranSinceLastLook());
    QTest::keyClick(harness.newCompany(), Qt::Key_Backtab, Qt::ShiftModifier);
    QVERIFY(ranSinceLastLook());
    QCOMPARE(harness.companies()->count(), 1);

    harness.newCompany()->setFocus();
    QTest::mouseClick(harness.companies()->lineEdit(), Qt::LeftButton);
    QCOMPARE(harness.focusName(), QStringLiteral("cmbEmpresaOrigen"));
    QVERIFY(ranSinceLastLook());

    // Another window taking the focus and giving it back is no focus gain.
    QWidget other;
    other.show();
    QApplication::setActiveWindow(&other);
    QVERIFY(QTest::qWaitForWindowActive(&other));
    other.close();
    QApplication::setActiveWindow(harness.window.get());
    QVERIFY(QTest::qWaitForWindowActive(harness.window.get()));
    QCOMPARE(harness.focusName(), QStringLiteral("cmbEmpresaOrigen"));
    QVERIFY(!ranSinceLastLook());

    // Nor is the drop-down list opening and closing.
    harness.companies()->showPopup();
    harness.companies()->hidePopup();
    QVERIFY(!ranSinceLastLook());

    // An input error sends the focus back from the button: that is a gain, and only one, even
    // though the message box took the activation while it was up.
    harness.messages.whileShown = [] {
        QWidget box;
        box.show();
        QApplication::setActiveWindow(&box);
        QVERIFY(QTest::qWaitForWindowActive(&box));
    };
    harness.companies()->setEditText(QString());
    harness.click("cmdCopiar");
    QCOMPARE(harness.messages.texts(),
        QStringList {QStringLiteral("Debe seleccionar la empresa que desea copiar")});
    QApplication::setActiveWindow(harness.window.get());
    QVERIFY(QTest::qWaitForWindowActive(harness.window.get()));
    QCOMPARE(harness.focusName(), QStringLiteral("cmbEmpresaOrigen"));
    QVERIFY(ranSinceLastLook());
    QCOMPARE(harness.companies()->count(), 1);
    QVERIFY(harness.programEnd.statuses.isEmpty());
}

void WindowTest::typedCompanyIsNeitherChosenNorAdded()
{
    CompanyDatabase database;
    database.addBlock(QStringLiteral("Acme"), QStringLiteral("Contabilidad"), 1);
    WindowHarness harness;
    QVERIFY(harness.open());

    // A name that matches a company but for its case is kept as typed, on Enter and on leaving.
    QTest::keyClicks(harness.companies(), QStringLiteral("acme"));
    QTest::keyClick(harness.companies(), Qt::Key_Return);
    QTest::keyClick(harness.companies(), Qt::Key_Tab);
    QCOMPARE(harness.companies()->currentText(), QStringLiteral("acme"));
    QCOMPARE(harness.companies()->count(), 1);
    QCOMPARE(harness.programs()->count(), 0);

    // Nor is the start of a name completed to a company's.
    harness.companies()->setFocus();
    harness.companies()->setEditText(QString());
    QTest::keyClicks(harness.companies(), QStringLiteral("Ac"));
    QTest::keyClick(harness.companies(), Qt::Key_Tab);
    QCOMPARE(harness.companies()->currentText(), QStringLiteral("Ac"));

    // Nor does the mouse wheel over the closed box put a company into it.
    harness.companies()->setEditText(QString());
    const QPoint middle = harness.companies()->rect().center();
    QWheelEvent wheel(middle, harness.companies()->mapToGlobal(middle), QPoint(), QPoint(0, -120),
        Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(harness.companies(), &wheel);
    QCOMPARE(harness.companies()->currentText(), QString());
    QCOMPARE(harness.programs()->count(), 0);

    // Typing the exact name is still typing: the programs are listed only when it is chosen.
    harness.companies()->setFocus();
    harness.companies()->setEditText(QString());
    QTest::keyClicks(harness.companies(), QStringLiteral("Acme"));
    QTest::keyClick(harness.companies(), Qt::Key_Return);
    QTest::keyClick(harness.companies(), Qt::Key_Tab);
    QCOMPARE(harness.programs()->count(), 0);
    QCOMPARE(harness.companies()->count(), 1);

    // The arrow key chooses from the list.
    harness.companies()->setFocus();
    harness.companies()->setEditText(QString());
    QTest::keyClick(harness.companies(), Qt::Key_Down);
    QCOMPARE(harness.companies()->currentText(), QStringLiteral("Acme"));
    QCOMPARE(harness.programNames(), QStringList {QStringLiteral("Contabilidad")});
    QCOMPARE(harness.focusName(), QStringLiteral("txtEmpresaNueva"));
    QVERIFY(harness.messages.shown.isEmpty());
}

void WindowTest::salirEndsTheProgram()
{
    CompanyDatabase database;
    WindowHarness harness;
    QVERIFY(harness.open());
    harness.click("cmdSalir");
    QCOMPARE(harness.programEnd.statuses, QList<int> {0});
    QVERIFY(harness.messages.shown.isEmpty());
    // Nothing runs after the end.
    harness.click("cmdCopiar");
    QVERIFY(harness.messages.shown.isEmpty());
    QCOMPARE(harness.programEnd.statuses, QList<int> {0});
}

void WindowTest::closingTheWindowEndsTheProgram()
{
    CompanyDatabase database;
    WindowHarness harness;
    QVERIFY(harness.open());
    harness.window->close();
    QCOMPARE(harness.programEnd.statuses, QList<int> {0});
    QVERIFY(harness.messages.shown.isEmpty());
}

void WindowTest::databaseFailureIsReportedAndEndsWithError()
{
    CompanyDatabase database;
    database.dropTable();
    WindowHarness harness;
    harness.open();
    QCOMPARE(harness.messages.shown.size(), 1);
    const ShownMessage& report = harness.messages.shown[0];
    QVERIFY2(report.text.startsWith(QStringLiteral("Error '1' en tiempo de ejecución:\r\n\r\n")),
        qPrintable(report.text));
    QVERIFY2(
        report.text.contains(QStringLiteral("no such table: GRANGUIA")), qPrintable(report.text));
    QCOMPARE(report.style, 16);
    QCOMPARE(report.title, QStringLiteral("Duplivo"));
    QCOMPARE(harness.programEnd.statuses, QList<int> {1});
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
}

void WindowTest::realMessageBoxShowsEachStyle()
{
    struct Case
    {
        int style;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
        // What Return (the default button) and Escape answer.
        int onReturn;
        int onEscape;
    };
    using Answer = QMessageBox::StandardButton;
    const QList<Case> cases = {
        {MessageStyle::Ok, QMessageBox::NoIcon, Answer::Ok, MessageAnswer::Ok, MessageAnswer::Ok},
        {MessageStyle::YesNo, QMessageBox::NoIcon, Answer::Yes | Answer::No, MessageAnswer::Yes,
            MessageAnswer::No},
        {MessageStyle::Critical, QMessageBox::Critical, Answer::Ok, MessageAnswer::Ok,
            MessageAnswer::Ok},
        {MessageStyle::Information, QMessageBox::Information, Answer::Ok, MessageAnswer::Ok,
            MessageAnswer::Ok},
    };
    QtMessageBox messages;
    QFont font;
    for (const Case& test : cases) {
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
            QMessageBox* shown = nullptr;
            QString title, text, copied;
            QStringList spoken;
            bool textVisible = false, grown = false;
            Qt::TextFormat format = Qt::AutoText;
            QMessageBox::Icon icon = QMessageBox::NoIcon;
            QMessageBox::StandardButtons buttons;
            QTimer::singleShot(0, [&] {
                shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (!shown)
                    return;
                title = shown->windowTitle();
                spoken = spokenTexts(QAccessible::queryAccessibleInterface(shown));
                if (auto* shownText = shown->findChild<MessageText*>()) {
                    text = shownText->text();
                    textVisible = shownText->isVisible();
                    font = shownText->font();
                    // Selected leftwards (a click past the end, then back a word), copied as shown.
                    QTest::mouseClick(
                        shownText, Qt::LeftButton, {}, shownText->rect().bottomRight());
                    QTest::keyClick(
                        shownText, Qt::Key_Left, Qt::ControlModifier | Qt::ShiftModifier);
                    QTest::keyClick(shownText, Qt::Key_C, Qt::ControlModifier);
                    copied = QGuiApplication::clipboard()->text();
                    // A bigger font while open: laid out again, the text takes more height.
                    const int height = shownText->heightForWidth(shownText->width());
                    shownText->setFont(QFont(font.family(), font.pointSize() * 2));
                    grown = shownText->heightForWidth(shownText->width()) > height;
                }
                format = shown->textFormat();
                icon = shown->icon();
                buttons = shown->standardButtons();
                QTest::keyClick(shown, key);
            });
            const QString givenTitle = key == Qt::Key_Return ? QString() : installationTitle;
            const int answer
                = messages.show(QStringLiteral("<b>Uno</b>\r\nDos"), test.style, givenTitle);
            QVERIFY2(shown, "no message box was shown");
            QCOMPARE(title, givenTitle.isEmpty() ? QStringLiteral("Duplivo") : givenTitle);
            QCOMPARE(text, QStringLiteral("<b>Uno</b>\nDos"));
            QCOMPARE(copied, QStringLiteral("Dos"));
            QVERIFY(textVisible);
            QVERIFY(grown);
            QCOMPARE(spoken, QStringList {text});
            QCOMPARE(format, Qt::PlainText);
            QCOMPARE(icon, test.icon);
            QCOMPARE(buttons, test.buttons);
            QCOMPARE(answer, key == Qt::Key_Return ? test.onReturn : test.onEscape);
        }
    }

    // A line stays whole while it fits two thirds of the screen's available width (QMessageBox
    // alone breaks it past half the screen or 500 px), built here to fall between the two in the
    // box's own font. A name without spaces wider than that breaks inside the box.
    const int screenWidth = QGuiApplication::primaryScreen()->availableGeometry().width();
    const int oldLimit = std::min(screenWidth / 2, 500);
    const QFontMetrics metrics(font);
    QString line;
    for (const QString& word :
        QStringLiteral("La Empresa NUEVA tiene datos para Nóminas y no se pueden modificar los "
                       "datos de una empresa ya creada ni los de sus ejercicios cerrados")
            .split(u' ')) {
        if (metrics.horizontalAdvance(line) > oldLimit)
            break;
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    QVERIFY(metrics.horizontalAdvance(line) > oldLimit);
    QVERIFY(metrics.horizontalAdvance(line) < screenWidth * 2 / 3);
    const QString name = QStringLiteral("TransportesYLogísticaDelNorte").repeated(7).left(200);
    const QStringList texts = {line + QStringLiteral("\r\nlos datos de una empresa ya creada."),
        QStringLiteral("Esta seguro que desea borrar los datos de \r\nNóminas de la empresa ")
            + name};
    for (const QString& message : texts) {
        int lines = 0;
        qreal widest = 0;
        int width = 0;
        bool fits = false;
        QTimer::singleShot(0, [&] {
            auto* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            const auto* shownText = shown ? shown->findChild<MessageText*>() : nullptr;
            if (shownText) {
                const QTextLayout& layout = shownText->textLayout();
                lines = layout.lineCount();
                for (int i = 0; i < lines; ++i)
                    widest = std::max(widest, layout.lineAt(i).naturalTextWidth());
                width = shownText->width();
                fits = shown->rect().contains(shownText->geometry())
                    && shownText->heightForWidth(width) <= shownText->height();
            }
            if (shown)
                QTest::keyClick(shown, Qt::Key_Escape);
        });
        messages.show(message, MessageStyle::YesNo);
        QVERIFY2(widest <= width, qPrintable(message));
        QVERIFY2(fits, qPrintable(message));
        if (message == texts[0])
            QCOMPARE(lines, 2);
        else
            QVERIFY2(lines > 2, qPrintable(message));
    }
}

QTEST_MAIN(WindowTest)
#include "test_window.moc"
