#include "tests/support.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <sqlite3.h>

namespace duplivo::test {

namespace {

void check(int rc, sqlite3* db, const char* what)
{
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        qFatal("%s: %s", what, sqlite3_errmsg(db));
}

void bind(sqlite3_stmt* statement, int position, const QVariant& value)
{
    if (value.isNull()) {
        sqlite3_bind_null(statement, position);
        return;
    }
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
        sqlite3_bind_int64(statement, position, value.toLongLong());
        break;
    case QMetaType::Double:
        sqlite3_bind_double(statement, position, value.toDouble());
        break;
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        sqlite3_bind_blob(
            statement, position, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
        break;
    }
    default: {
        const QByteArray text = value.toString().toUtf8();
        sqlite3_bind_text(
            statement, position, text.constData(), int(text.size()), SQLITE_TRANSIENT);
        break;
    }
    }
}

QString describeColumn(sqlite3_stmt* statement, int column)
{
    switch (sqlite3_column_type(statement, column)) {
    case SQLITE_NULL:
        return QStringLiteral("null");
    case SQLITE_INTEGER:
        return QStringLiteral("int:%1").arg(sqlite3_column_int64(statement, column));
    case SQLITE_FLOAT:
        return QStringLiteral("real:%1").arg(sqlite3_column_double(statement, column), 0, 'g', 17);
    case SQLITE_BLOB: {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(statement, column));
        return QStringLiteral("blob:")
            + QString::fromLatin1(
                QByteArray(data, sqlite3_column_bytes(statement, column)).toHex());
    }
    default:
        return QStringLiteral("text:")
            + QString::fromUtf8(
                reinterpret_cast<const char*>(sqlite3_column_text(statement, column)));
    }
}

} // namespace

QString FakeSettings::get(const QString& application, const QString& section, const QString& key,
    const QString& defaultValue) const
{
    if (failure)
        throw *failure;
    if (drive && application == QLatin1String("discos") && section == QLatin1String("BasesDeTarvex")
        && key == QLatin1String("Tarvex"))
        return *drive;
    return defaultValue;
}

int ScriptedMessageBox::show(const QString& text, int style, const QString& title)
{
    shown << ShownMessage {text, style, title};
    if (whileShown)
        whileShown();
    if (!answers.isEmpty())
        return answers.takeFirst();
    if (style == MessageStyle::YesNo) {
        ++unscripted;
        return MessageAnswer::No;
    }
    return MessageAnswer::Ok;
}

QStringList ScriptedMessageBox::texts() const
{
    QStringList result;
    for (const ShownMessage& message : shown)
        result << message.text;
    return result;
}

CompanyDatabase::CompanyDatabase()
    : m_previousPrefix(qgetenv("WINEPREFIX"))
{
    const QDir root(m_dir.path());
    root.mkpath(QStringLiteral("wine/dosdevices"));
    root.mkpath(QStringLiteral("drive_c/Tarvex.win"));
    QFile::link(root.filePath(QStringLiteral("drive_c")),
        root.filePath(QStringLiteral("wine/dosdevices/c:")));
    qputenv("WINEPREFIX", root.filePath(QStringLiteral("wine")).toLocal8Bit());

    check(sqlite3_open(file().toUtf8().constData(), &m_db), m_db, "open");
    sqlite3_busy_timeout(m_db, 10000);
    exec(QStringLiteral("CREATE TABLE GRANGUIA (Id INTEGER PRIMARY KEY, Empresa TEXT, Aplica TEXT, "
                        "clave, cosa, Alta TEXT NOT NULL DEFAULT 'por defecto');"
                        "CREATE INDEX GRANGUIA_Empresa_Aplica ON GRANGUIA (Empresa, Aplica);"));
}

CompanyDatabase::~CompanyDatabase()
{
    sqlite3_close(m_db);
    if (m_previousPrefix.isNull())
        qunsetenv("WINEPREFIX");
    else
        qputenv("WINEPREFIX", m_previousPrefix);
}

QString CompanyDatabase::file() const
{
    return m_dir.filePath(QStringLiteral("drive_c/Tarvex.win/Tarvex.mdb"));
}

void CompanyDatabase::exec(const QString& sql) const
{
    char* error = nullptr;
    if (sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &error) != SQLITE_OK) {
        const QString text = QString::fromUtf8(error);
        sqlite3_free(error);
        qFatal("%s: %s", qPrintable(sql), qPrintable(text));
    }
}

void CompanyDatabase::insert(const QVariant& company, const QVariant& program,
    const QVariant& clave, const QVariant& cosa) const
{
    sqlite3_stmt* statement = nullptr;
    check(sqlite3_prepare_v2(m_db,
              "INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) VALUES (?, ?, ?, ?)", -1,
              &statement, nullptr),
        m_db, "prepare");
    bind(statement, 1, company);
    bind(statement, 2, program);
    bind(statement, 3, clave);
    bind(statement, 4, cosa);
    check(sqlite3_step(statement), m_db, "insert");
    sqlite3_finalize(statement);
}

void CompanyDatabase::addBlock(const QString& company, const QString& program, int rows) const
{
    exec(QStringLiteral("BEGIN"));
    for (int row = 1; row <= rows; ++row)
        insert(company, program, QStringLiteral("%1-%2").arg(program).arg(row), row);
    exec(QStringLiteral("COMMIT"));
}

QStringList CompanyDatabase::block(const QString& company, const QString& program) const
{
    sqlite3_stmt* statement = nullptr;
    check(sqlite3_prepare_v2(m_db,
              "SELECT clave, cosa, Alta FROM GRANGUIA WHERE Empresa = ? AND Aplica = ? ORDER BY Id",
              -1, &statement, nullptr),
        m_db, "prepare");
    bind(statement, 1, company);
    bind(statement, 2, program);
    QStringList rows;
    while (sqlite3_step(statement) == SQLITE_ROW)
        rows << describeColumn(statement, 0) + u'|' + describeColumn(statement, 1) + u'|'
                + describeColumn(statement, 2);
    sqlite3_finalize(statement);
    return rows;
}

int CompanyDatabase::count(const QString& where) const
{
    const QString sql = QStringLiteral("SELECT count(*) FROM GRANGUIA")
        + (where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where);
    sqlite3_stmt* statement = nullptr;
    check(sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &statement, nullptr), m_db,
        "prepare");
    check(sqlite3_step(statement), m_db, "count");
    const int result = sqlite3_column_int(statement, 0);
    sqlite3_finalize(statement);
    return result;
}

WindowHarness::WindowHarness()
{
    settings.drive = QStringLiteral("C");
}

WindowHarness::~WindowHarness() = default;

bool WindowHarness::open()
{
    window = std::make_unique<frmSeleccion>(settings, messages, programEnd);
    if (!window->load())
        return false;
    window->show();
    QApplication::setActiveWindow(window.get());
    return QTest::qWaitForWindowActive(window.get());
}

QComboBox* WindowHarness::companies() const
{
    return window->findChild<QComboBox*>(QStringLiteral("cmbEmpresaOrigen"));
}

QLineEdit* WindowHarness::newCompany() const
{
    return window->findChild<QLineEdit*>(QStringLiteral("txtEmpresaNueva"));
}

QListWidget* WindowHarness::programs() const
{
    return window->findChild<QListWidget*>(QStringLiteral("lstProgramas"));
}

QPushButton* WindowHarness::button(const char* name) const
{
    return window->findChild<QPushButton*>(QLatin1String(name));
}

QString WindowHarness::focusName() const
{
    const QWidget* focus = QApplication::focusWidget();
    return focus ? focus->objectName() : QString();
}

QStringList WindowHarness::programNames() const
{
    QStringList names;
    for (int row = 0; row < programs()->count(); ++row)
        names << programs()->item(row)->text();
    return names;
}

void WindowHarness::chooseCompany(const QString& name)
{
    QComboBox* box = companies();
    // Into the box as the operator would, then down the list and Enter on the company.
    QTest::mouseClick(box->lineEdit(), Qt::LeftButton);
    const int row = box->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive);
    QVERIFY2(row >= 0, qPrintable(name));
    box->showPopup();
    QAbstractItemView* view = box->view();
    view->setCurrentIndex(view->model()->index(row, 0));
    QTest::keyClick(view, Qt::Key_Return);
}

void WindowHarness::clickProgram(const QString& name)
{
    const QList<QListWidgetItem*> items = programs()->findItems(name, Qt::MatchExactly);
    QVERIFY2(items.size() == 1, qPrintable(name));
    QTest::mouseClick(programs()->viewport(), Qt::LeftButton, {},
        programs()->visualItemRect(items.first()).center());
}

void WindowHarness::typeNewCompany(const QString& name)
{
    QTest::mouseClick(newCompany(), Qt::LeftButton);
    newCompany()->selectAll();
    // One key event carrying the whole text, as an input method delivers accents and emoji.
    QTest::sendKeyEvent(QTest::Click, newCompany(), Qt::Key_unknown, name, Qt::NoModifier);
}

void WindowHarness::click(const char* buttonName)
{
    QTest::mouseClick(button(buttonName), Qt::LeftButton);
}

} // namespace duplivo::test
