// Test doubles for the platform services, a company database in a temporary Wine drive, and the
// real window wired to both.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

#include "app/failure.h"
#include "app/platform.h"
#include "ui/frmseleccion.h"

class QComboBox;
class QLineEdit;
class QListWidget;
class QPushButton;
struct sqlite3;

namespace duplivo::test {

class FakeSettings final : public SettingsStore
{
public:
    // The value under discos / BasesDeTarvex / Tarvex; nothing stored when empty.
    std::optional<QString> drive;
    std::optional<Failure> failure;

    QString get(const QString& application, const QString& section, const QString& key,
        const QString& defaultValue) const override;
};

struct ShownMessage
{
    QString text;
    int style;
    QString title;
};

// Records every message and answers from a queue; an unscripted Yes/No question is answered No
// and counted, so a test notices it.
class ScriptedMessageBox final : public MessageBox
{
public:
    QList<ShownMessage> shown;
    QList<int> answers;
    int unscripted = 0;
    std::function<void()> whileShown;

    int show(const QString& text, int style, const QString& title = QString()) override;
    QStringList texts() const;
};

class RecordingProgramEnd final : public ProgramEnd
{
public:
    QList<int> statuses;
    void end(int status) override { statuses << status; }
};

// A SQLite company database at C:\Tarvex.win\Tarvex.mdb of a Wine prefix in a temporary folder;
// WINEPREFIX points there while it lives. Written and read with SQLite's own library, not with
// the code under test.
class CompanyDatabase
{
public:
    static inline const QString windowsPath = QStringLiteral("C:\\Tarvex.win\\Tarvex.mdb");

    CompanyDatabase();
    ~CompanyDatabase();

    QString folder() const { return m_dir.path(); }
    QString file() const;

    void exec(const QString& sql) const;
    void insert(const QVariant& company, const QVariant& program, const QVariant& clave,
        const QVariant& cosa) const;
    void addBlock(const QString& company, const QString& program, int rows) const;
    // Each row of the block as "clave|cosa|Alta" with the SQLite type of clave and cosa.
    QStringList block(const QString& company, const QString& program) const;
    int count(const QString& where = QString()) const;

private:
    QTemporaryDir m_dir;
    QByteArray m_previousPrefix;
    sqlite3* m_db = nullptr;
};

// The real window with scripted services.
class WindowHarness
{
public:
    FakeSettings settings;
    ScriptedMessageBox messages;
    RecordingProgramEnd programEnd;
    std::unique_ptr<frmSeleccion> window;

    WindowHarness();
    ~WindowHarness();

    // Creates the window and runs its load step; shows it and waits until it is active when the
    // load step lets it open. Returns whether it opened.
    bool open();

    QComboBox* companies() const;
    QLineEdit* newCompany() const;
    QListWidget* programs() const;
    QPushButton* button(const char* name) const;
    QString focusName() const;
    QStringList programNames() const;

    // The operator's gestures.
    void chooseCompany(const QString& name);
    void clickProgram(const QString& name);
    void typeNewCompany(const QString& name);
    void click(const char* buttonName);
};

} // namespace duplivo::test
