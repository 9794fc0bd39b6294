// The one window of the program: choose a company and its programs, then copy or delete them.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include <QPointer>
#include <QWidget>

#include "ui/formstate.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace duplivo {

class DatabaseConnection;
class LongWork;
class MessageBox;
class ProgramEnd;
class SettingsStore;

class frmSeleccion final : public QWidget
{
    Q_OBJECT

public:
    frmSeleccion(const SettingsStore& settings, MessageBox& messages, ProgramEnd& programEnd,
        QWidget* parent = nullptr);
    ~frmSeleccion() override;

    // Runs before the window is first shown. Returns false when the program has ended instead
    // (no database location recorded, or a failure).
    bool load();

    const FormState& state() const { return m_state; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createControls();
    int twipsToPixels(int twips) const;

    // Every handler runs through here: AppExit ends the program with status 0, and any failure
    // that escapes a handler is reported with its number and text, then ends it with status 1.
    template <typename Handler> void guarded(Handler&& handler);
    [[noreturn]] void appExit();
    void reportFailure(int number, const QString& text);
    void endProgram(int status);

    void cmbEmpresaOrigen_GotFocus();
    void cmbEmpresaOrigen_Click();
    void lstProgramas_Click();
    void cmdCopiar_Click();
    void cmdBorrar_Click();
    void cmdSalir_Click();

    void scanSelection();
    // Reports a missing or wrong input and sends the focus where it is corrected.
    bool refuseInput(bool refused, const QString& message, QWidget* control);
    void replaceCompanies(const QStringList& companies);
    QStringList columnValues(const QString& column);
    // Runs database work off the window's thread (see LongWork); a stop asked for meanwhile
    // goes to `connection`, where there is one yet.
    void runLong(const QString& label, const std::function<void()>& work,
        const std::shared_ptr<DatabaseConnection>& connection);
    void stopsOnceOpen(DatabaseConnection& connection);
    // Tells the operator which program the stop left untouched, and ends as after a failure.
    void endStopped(const QString& message);

    const SettingsStore& m_settings;
    MessageBox& m_messages;
    ProgramEnd& m_programEnd;
    FormState m_state;
    bool m_ended = false;
    std::unique_ptr<LongWork> m_longWork;
    // The operator asked the running work to stop, and the connection it runs on: both read by
    // the work's thread too.
    std::atomic<bool> m_stopAsked = false;
    std::atomic<DatabaseConnection*> m_stopTarget = nullptr;
    // A command's work is running: no handler runs meanwhile.
    bool m_working = false;
    // The control that last had the focus inside this window: the company box's focus handler
    // runs only when the focus really moves to it, not when the window is re-activated.
    QPointer<QWidget> m_lastFocus;

    QComboBox* m_cmbEmpresaOrigen = nullptr;
    QLineEdit* m_txtEmpresaNueva = nullptr;
    QPushButton* m_cmdCopiar = nullptr;
    QPushButton* m_cmdSalir = nullptr;
    QListWidget* m_lstProgramas = nullptr;
    QLabel* m_label1 = nullptr;
    QPushButton* m_cmdBorrar = nullptr;
    QLabel* m_label2 = nullptr;
};

} // namespace duplivo
