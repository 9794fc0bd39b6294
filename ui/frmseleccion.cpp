#include "ui/frmseleccion.h"

#include <new>

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSignalBlocker>

#include "base/databaselocation.h"
#include "base/failure.h"
#include "base/platform.h"
#include "base/savedcopies.h"
#include "db/granguia.h"
#include "db/savedcopy.h"
#include "ui/longwork.h"
#include "ui/messages.h"

namespace duplivo {

namespace {

const QString crlf = QStringLiteral("\r\n");

const QString noSourceCompany = QStringLiteral("Debe seleccionar la empresa que desea copiar");
const QString noNewCompany
    = QStringLiteral("Debe escribir el nombre de la nueva empresa que desea crear");
const QString noProgram = QStringLiteral("Debe seleccionar algún programa");

constexpr int outOfMemory = 7;

// Thrown by AppExit so that the calling handler runs no further statement.
struct AppExitRequest
{
};

// Shows the wait cursor while the database works; gone before any message box appears.
class BusyCursor
{
public:
    BusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

} // namespace

frmSeleccion::frmSeleccion(
    const SettingsStore& settings, MessageBox& messages, ProgramEnd& programEnd, QWidget* parent)
    : QWidget(parent)
    , m_settings(settings)
    , m_messages(messages)
    , m_programEnd(programEnd)
{
    createControls();
}

frmSeleccion::~frmSeleccion() = default;

int frmSeleccion::twipsToPixels(int twips) const
{
    return qRound(twips * logicalDpiX() / 1440.0);
}

void frmSeleccion::createControls()
{
    setObjectName(QStringLiteral("frmSeleccion"));
    setWindowTitle(QStringLiteral("Copia de Empresa"));
    setFixedSize(twipsToPixels(7215), twipsToPixels(2880));

    // Created in tab order, which makes the order Tab follows; positions and sizes in twips from
    // the client area's top-left corner.
    const auto place
        = [this](QWidget* control, const char* name, int left, int top, int width, int height) {
              control->setObjectName(QLatin1String(name));
              control->setGeometry(twipsToPixels(left), twipsToPixels(top), twipsToPixels(width),
                  twipsToPixels(height));
          };
    m_cmbEmpresaOrigen = new QComboBox(this);
    place(m_cmbEmpresaOrigen, "cmbEmpresaOrigen", 480, 720, 1935, 315);
    m_txtEmpresaNueva = new QLineEdit(this);
    place(m_txtEmpresaNueva, "txtEmpresaNueva", 2640, 720, 1935, 405);
    m_cmdCopiar = new QPushButton(QStringLiteral("Copiar"), this);
    place(m_cmdCopiar, "cmdCopiar", 5400, 480, 1215, 495);
    m_cmdSalir = new QPushButton(QStringLiteral("Salir"), this);
    place(m_cmdSalir, "cmdSalir", 5400, 1680, 1215, 495);
    m_lstProgramas = new QListWidget(this);
    place(m_lstProgramas, "lstProgramas", 1200, 1440, 1935, 1035);
    m_label1 = new QLabel(QStringLiteral("Empresa Origen"), this);
    place(m_label1, "Label1", 600, 360, 1455, 255);
    m_cmdBorrar = new QPushButton(QStringLiteral("Borrar"), this);
    place(m_cmdBorrar, "cmdBorrar", 5400, 1080, 1215, 495);
    m_label2 = new QLabel(QStringLiteral("Nueva Empresa"), this);
    place(m_label2, "Label2", 2760, 360, 1695, 255);

    // A typed company name stays exactly as typed: no completion, no insertion on Enter, and no
    // switch to a list item that matches it when editing ends. Only choosing from the list (mouse
    // or arrow keys) counts as a click.
    m_cmbEmpresaOrigen->setEditable(true);
    m_cmbEmpresaOrigen->setInsertPolicy(QComboBox::NoInsert);
    m_cmbEmpresaOrigen->setCompleter(nullptr);
    QLineEdit* companyEdit = m_cmbEmpresaOrigen->lineEdit();
    disconnect(companyEdit, &QLineEdit::returnPressed, m_cmbEmpresaOrigen, nullptr);
    disconnect(companyEdit, &QLineEdit::editingFinished, m_cmbEmpresaOrigen, nullptr);

    // A click selects or deselects one item alone.
    m_lstProgramas->setSelectionMode(QAbstractItemView::MultiSelection);

    // What a screen reader says: each box by the label beside it, the list by a name of its own.
    m_label1->setBuddy(m_cmbEmpresaOrigen);
    m_label2->setBuddy(m_txtEmpresaNueva);
    // The company box's text field is what a screen reader finds focused inside the box.
    companyEdit->setAccessibleName(m_label1->text());
    m_lstProgramas->setAccessibleName(QStringLiteral("Programas"));
    setAccessibleDescription(QStringLiteral("Elija la empresa origen y sus programas; después "
                                            "cópielos a una empresa nueva o bórrelos."));

    // The window has no default button, but a button that has the focus answers Enter, as
    // desktop buttons do.
    for (QPushButton* button : {m_cmdCopiar, m_cmdBorrar, m_cmdSalir})
        button->setAutoDefault(true);

    for (QWidget* control :
        {static_cast<QWidget*>(m_cmbEmpresaOrigen), static_cast<QWidget*>(m_txtEmpresaNueva),
            static_cast<QWidget*>(m_cmdCopiar), static_cast<QWidget*>(m_cmdSalir),
            static_cast<QWidget*>(m_lstProgramas), static_cast<QWidget*>(m_cmdBorrar)})
        control->installEventFilter(this);

    connect(m_cmbEmpresaOrigen, &QComboBox::activated, this,
        [this] { guarded([this] { cmbEmpresaOrigen_Click(); }); });
    connect(m_lstProgramas, &QListWidget::itemSelectionChanged, this,
        [this] { guarded([this] { lstProgramas_Click(); }); });
    connect(m_cmdCopiar, &QPushButton::clicked, this,
        [this] { guarded([this] { cmdCopiar_Click(); }); });
    connect(m_cmdBorrar, &QPushButton::clicked, this,
        [this] { guarded([this] { cmdBorrar_Click(); }); });
    connect(
        m_cmdSalir, &QPushButton::clicked, this, [this] { guarded([this] { cmdSalir_Click(); }); });
}

template <typename Handler> void frmSeleccion::guarded(Handler&& handler)
{
    // While a command's work runs, the window's events are handled, but its handlers do not run:
    // the focus coming back with the window's activation must not reopen the database under it.
    if (m_ended || m_working)
        return;
    try {
        handler();
    } catch (const AppExitRequest&) {
        endProgram(0);
    } catch (const Failure& failure) {
        reportFailure(failure.number(), failure.text());
    } catch (const std::bad_alloc&) {
        reportFailure(outOfMemory, QStringLiteral("Memoria insuficiente"));
    } catch (const std::exception& failure) {
        reportFailure(0, QString::fromLocal8Bit(failure.what()));
    }
}

void frmSeleccion::reportFailure(int number, const QString& text)
{
    // Nothing else runs while the report is up, nor after it.
    m_ended = true;
    m_messages.show(
        failureMessage(number, text), MessageStyle::Critical, QStringLiteral("Duplivo"));
    endProgram(1);
}

void frmSeleccion::appExit()
{
    throw AppExitRequest {};
}

void frmSeleccion::endProgram(int status)
{
    m_ended = true;
    // Handles go before the process does.
    m_state.rows.reset();
    m_state.database.reset();
    m_programEnd.end(status);
}

bool frmSeleccion::load()
{
    bool loaded = false;
    guarded([this, &loaded] {
        const DatabaseLocation location = readDatabaseLocation(m_settings);
        m_state.drive = location.drive;
        m_state.databasePath = location.databasePath;
        if (m_state.drive.isEmpty()) {
            m_messages.show(installationMessage, MessageStyle::Ok, installationTitle);
            appExit();
        }
        m_cmbEmpresaOrigen->setFocus();
        loaded = true;
    });
    return loaded && !m_ended;
}

void frmSeleccion::closeEvent(QCloseEvent* event)
{
    guarded([this] { appExit(); });
    QWidget::closeEvent(event);
}

bool frmSeleccion::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::FocusIn) {
        auto* control = static_cast<QWidget*>(watched);
        const bool gained = m_lastFocus != control;
        m_lastFocus = control;
        if (gained && control == m_cmbEmpresaOrigen)
            guarded([this] { cmbEmpresaOrigen_GotFocus(); });
        return false;
    }
    // The wheel does not flip through the companies of a closed box.
    if (watched == m_cmbEmpresaOrigen && event->type() == QEvent::Wheel)
        return true;
    return QWidget::eventFilter(watched, event);
}

QStringList frmSeleccion::columnValues(const QString& column)
{
    QStringList values;
    if (m_state.rows->hasRows()) {
        for (m_state.rows->moveFirst(); !m_state.rows->atEnd(); m_state.rows->moveNext()) {
            const QVariant value = m_state.rows->field(column);
            // A row without a name cannot be chosen; it must not make the tool unusable.
            if (!value.isNull())
                values << value.toString();
        }
    }
    return values;
}

void frmSeleccion::replaceCompanies(const QStringList& companies)
{
    const QString typed = m_cmbEmpresaOrigen->currentText();
    const QSignalBlocker blocker(m_cmbEmpresaOrigen);
    m_cmbEmpresaOrigen->clear();
    m_cmbEmpresaOrigen->addItems(companies);
    // Filling an empty box would otherwise put the first company into its text.
    m_cmbEmpresaOrigen->setCurrentIndex(-1);
    m_cmbEmpresaOrigen->setEditText(typed);
    // The drop-down may be wider than the box, so that long names show whole.
    QAbstractItemView* popup = m_cmbEmpresaOrigen->view();
    popup->setMinimumWidth(popup->sizeHintForColumn(0)
        + popup->verticalScrollBar()->sizeHint().width() + 2 * popup->frameWidth());
}

void frmSeleccion::cmbEmpresaOrigen_GotFocus()
{
    const BusyCursor busy;
    m_state.database = openDatabase(m_state.databasePath);
    m_state.statement = granguia::listCompanies(granguia::companyListRead(*m_state.database));
    m_state.rows = m_state.database->openSnapshot(m_state.statement);
    replaceCompanies(columnValues(granguia::companyColumn));
}

void frmSeleccion::cmbEmpresaOrigen_Click()
{
    {
        const QSignalBlocker blocker(m_lstProgramas);
        m_lstProgramas->clear();
    }
    m_state.sourceCompany = m_cmbEmpresaOrigen->currentText();
    // A long name shows from its start, as it reads in the list.
    m_cmbEmpresaOrigen->lineEdit()->setCursorPosition(0);
    {
        const BusyCursor busy;
        m_state.database = openDatabase(m_state.databasePath);
        m_state.statement = granguia::listPrograms(
            m_state.sourceCompany, granguia::programListRead(*m_state.database));
        m_state.rows = m_state.database->openSnapshot(m_state.statement);
        const QSignalBlocker blocker(m_lstProgramas);
        m_lstProgramas->addItems(columnValues(granguia::programColumn));
    }
    m_txtEmpresaNueva->setFocus();
}

void frmSeleccion::lstProgramas_Click()
{
    if (!m_txtEmpresaNueva->text().isEmpty())
        m_cmdCopiar->setFocus();
    else
        m_cmdBorrar->setFocus();
}

void frmSeleccion::scanSelection()
{
    m_state.anySelected = false;
    const int count = m_lstProgramas->count();
    for (m_state.index = 0; m_state.index < count; ++m_state.index) {
        if (m_lstProgramas->item(m_state.index)->isSelected())
            m_state.anySelected = true;
    }
}

bool frmSeleccion::refuseInput(bool refused, const QString& message, QWidget* control)
{
    if (refused) {
        m_messages.show(message, MessageStyle::Critical);
        control->setFocus();
    }
    return refused;
}

void frmSeleccion::runLong(const QString& label, const std::function<void()>& work,
    const std::shared_ptr<DatabaseConnection>& connection)
{
    if (!m_longWork)
        m_longWork = std::make_unique<LongWork>(this);
    m_working = true;
    m_stopTarget = connection.get();
    const auto done = qScopeGuard([this] {
        m_working = false;
        m_stopTarget = nullptr;
    });
    m_longWork->run(label, work, [this] {
        m_stopAsked = true;
        // A connection still being opened cannot be stopped; the work stops once it is open
        // (see stopsOnceOpen).
        DatabaseConnection* const connection = m_stopTarget;
        return connection && connection->requestStop();
    });
}

void frmSeleccion::stopsOnceOpen(DatabaseConnection& connection)
{
    // On the work's thread: a stop asked for while it opened is passed on now.
    m_stopTarget = &connection;
    if (m_stopAsked)
        connection.requestStop();
}

void frmSeleccion::endStopped(const QString& message)
{
    m_state.message = message;
    m_messages.show(m_state.message, MessageStyle::Critical);
    endProgram(1);
}

void frmSeleccion::cmdCopiar_Click()
{
    scanSelection();
    if (refuseInput(
            m_cmbEmpresaOrigen->currentText().isEmpty(), noSourceCompany, m_cmbEmpresaOrigen)
        || refuseInput(m_txtEmpresaNueva->text().isEmpty(), noNewCompany, m_txtEmpresaNueva)
        || refuseInput(!m_state.anySelected, noProgram, m_lstProgramas))
        return;

    QList<int> selected;
    for (int row = 0; row < m_lstProgramas->count(); ++row) {
        if (m_lstProgramas->item(row)->isSelected())
            selected << row;
    }
    const auto stopped = [this] {
        endStopped(QStringLiteral("Se ha detenido la copia de los datos de ") + m_state.program
            + crlf + QStringLiteral(" de la empresa ") + m_state.sourceCompany
            + QStringLiteral(" a la empresa ") + m_state.newCompany + u'.' + crlf
            + QStringLiteral("No se ha guardado nada de ese programa."));
    };

    // A connection of its own for the command, opened with the first program's work; each
    // program is committed before the next.
    std::shared_ptr<DatabaseConnection> connection;
    const QString path = m_state.databasePath;
    const int count = m_lstProgramas->count();
    for (m_state.index = 0; m_state.index < count; ++m_state.index) {
        if (!m_lstProgramas->item(m_state.index)->isSelected())
            continue;
        m_state.program = m_lstProgramas->item(m_state.index)->text();
        m_state.sourceCompany = m_cmbEmpresaOrigen->currentText();
        m_state.newCompany = m_txtEmpresaNueva->text();
        // A stop that came as the program before finished leaves this one untouched.
        if (m_stopAsked)
            return stopped();
        std::optional<DatabaseConnection::BlockCopy> outcome;
        Statement check;
        CopyStatements copy;
        std::optional<int> longestName;
        qsizetype nameLength = 0;
        const QString newCompany = m_state.newCompany;
        const QString sourceCompany = m_state.sourceCompany;
        const QString program = m_state.program;
        try {
            runLong(
                QStringLiteral("Copiando los datos de %1 (%2 de %3)…")
                    .arg(program)
                    .arg(selected.indexOf(m_state.index) + 1)
                    .arg(selected.size()),
                [&, connection] {
                    std::shared_ptr<DatabaseConnection> working = connection;
                    if (!working) {
                        // The engine would cut a longer name, or refuse it part-way through
                        // the programs: it is measured before anything is written.
                        working = openDatabase(path);
                        stopsOnceOpen(*working);
                        longestName = granguia::longestCompanyName(*working);
                        nameLength = granguia::nameLength(*working, newCompany);
                        m_state.database = working;
                        if (longestName && nameLength > *longestName)
                            return;
                    }
                    working->setProgress(
                        [this](qint64 done, qint64 total) { m_longWork->progress(done, total); });
                    check = granguia::findBlock(newCompany, program, working->dialect());
                    copy = granguia::copyBlock(
                        sourceCompany, newCompany, program, working->dialect());
                    outcome = working->copyUnlessPresent(check, copy);
                },
                connection);
        } catch (const WorkStopped&) {
            return stopped();
        }
        connection = m_state.database;
        m_state.checkStatement = check;
        m_state.statement = copy.readRows;
        if (m_stopAsked && !outcome)
            return stopped();
        if (refuseInput(!outcome,
                QStringLiteral("El nombre de la nueva empresa no puede tener más de %1 "
                               "caracteres, y el escrito tiene %2.")
                    .arg(longestName.value_or(0))
                    .arg(nameLength),
                m_txtEmpresaNueva))
            return;

        switch (*outcome) {
        case DatabaseConnection::BlockCopy::Copied:
            m_state.message = QStringLiteral("Se han copiado correctamente los datos de ")
                + m_state.program + crlf + QStringLiteral(" de la empresa ") + m_state.sourceCompany
                + QStringLiteral(" a la empresa ") + m_state.newCompany;
            m_messages.show(m_state.message, MessageStyle::Information);
            break;
        case DatabaseConnection::BlockCopy::NothingToCopy:
            m_state.message = QStringLiteral("La empresa ") + m_state.sourceCompany
                + QStringLiteral(" no tiene datos de ") + m_state.program + u'.' + crlf
                + QStringLiteral("No se ha copiado nada.");
            m_messages.show(m_state.message, MessageStyle::Critical);
            break;
        case DatabaseConnection::BlockCopy::AlreadyPresent:
            m_state.message = alreadyPresentMessage(m_state.newCompany, m_state.program);
            m_messages.show(m_state.message, MessageStyle::Critical);
            m_txtEmpresaNueva->setFocus();
            break;
        }
    }
    appExit();
}

void frmSeleccion::cmdBorrar_Click()
{
    scanSelection();
    if (!m_txtEmpresaNueva->text().isEmpty())
        m_txtEmpresaNueva->setText(QString());
    if (refuseInput(
            m_cmbEmpresaOrigen->currentText().isEmpty(), noSourceCompany, m_cmbEmpresaOrigen)
        || refuseInput(!m_state.anySelected, noProgram, m_lstProgramas))
        return;

    const int count = m_lstProgramas->count();
    for (m_state.index = 0; m_state.index < count; ++m_state.index) {
        if (!m_lstProgramas->item(m_state.index)->isSelected())
            continue;
        m_state.program = m_lstProgramas->item(m_state.index)->text();
        m_state.sourceCompany = m_cmbEmpresaOrigen->currentText();
        const QString block
            = m_state.program + QStringLiteral(" de la empresa ") + m_state.sourceCompany;
        const QString stopped = QStringLiteral("Se ha detenido el borrado de los datos de ") + crlf
            + block + u'.' + crlf + QStringLiteral("No se ha borrado nada de ese programa.");
        // A stop that came as the program before finished leaves this one untouched.
        if (m_stopAsked)
            return endStopped(stopped);
        m_state.message
            = QStringLiteral("Esta seguro que desea borrar los datos de ") + crlf + block;
        m_state.answer = QString::number(m_messages.show(m_state.message, MessageStyle::YesNo));
        if (m_state.answer != QString::number(MessageAnswer::Yes)) {
            m_state.message = QStringLiteral("No se han borrado los datos de ") + crlf + block;
            m_messages.show(m_state.message, MessageStyle::Critical);
            continue;
        }
        m_state.statement = granguia::deleteBlock(m_state.sourceCompany, m_state.program);
        if (!m_state.database) {
            std::shared_ptr<DatabaseConnection> database;
            const QString path = m_state.databasePath;
            runLong(
                QStringLiteral("Borrando los datos de %1…").arg(m_state.program),
                [&] { database = openDatabase(path); }, nullptr);
            m_state.database = database;
            if (m_stopAsked)
                return endStopped(stopped);
        }
        // A copy of the block is kept, complete on disk, before the block is deleted.
        const std::shared_ptr<DatabaseConnection> connection = m_state.database;
        const SavedCopyOrigin origin {connection->description(), m_state.sourceCompany,
            m_state.program, granguia::tableName, QDateTime::currentDateTime()};
        const Statement read
            = granguia::blockRows(m_state.sourceCompany, m_state.program, connection->dialect());
        const Statement remove = m_state.statement;
        const QString deleting = QStringLiteral("Borrando los datos de %1…").arg(m_state.program);
        try {
            runLong(
                QStringLiteral("Guardando una copia de %1…").arg(m_state.program),
                [&] {
                    SavedCopyWriter saved(savedCopiesFolder(), origin);
                    connection->deleteBlock(granguia::tableName, read, remove, saved,
                        [&] { m_longWork->setLabel(deleting); });
                },
                connection);
        } catch (const WorkStopped&) {
            return endStopped(stopped);
        } catch (const SaveFailure& failure) {
            // Nothing was deleted; the other programs are still asked about.
            m_state.message = QStringLiteral("No se han borrado los datos de ") + crlf + block
                + u'.' + crlf + QStringLiteral("No se ha podido guardar antes una copia de ellos: ")
                + failure.text();
            m_messages.show(m_state.message, MessageStyle::Critical);
            continue;
        }
        m_state.message
            = QStringLiteral("Se han borrado correctamente los datos de ") + crlf + block;
        m_messages.show(m_state.message, MessageStyle::Information);
    }
    appExit();
}

void frmSeleccion::cmdSalir_Click()
{
    appExit();
}

} // namespace duplivo
