#include "tests/support.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <sqlite3.h>

#include "tests/backend.h"

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

void writeFile(const QString& path, const QByteArray& content, QFile::Permissions permissions)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    file.close();
    if (!file.setPermissions(permissions))
        qFatal("cannot set the permissions of %s", qPrintable(path));
}

QStringList columnOf(ResultSet& rows, const QString& name)
{
    QStringList values;
    for (rows.moveFirst(); !rows.atEnd(); rows.moveNext())
        values << rows.field(name).toString();
    return values;
}

int failureNumber(const std::function<void()>& action, QString* text)
{
    try {
        action();
    } catch (const Failure& failure) {
        if (text)
            *text = failure.text();
        return failure.number();
    }
    return noFailure;
}

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

char* toString(const ShownMessage& message)
{
    return QTest::toString(QStringLiteral("%1 | style %2 | title \"%3\"")
                               .arg(message.text)
                               .arg(message.style)
                               .arg(message.title));
}

QStringList ScriptedMessageBox::texts() const
{
    QStringList result;
    for (const ShownMessage& message : shown)
        result << message.text;
    return result;
}

TestEngine testEngine()
{
    const QByteArray name = qgetenv("DUPLIVO_TEST_ENGINE");
    if (name == "sqlite-odbc")
        return TestEngine::SqliteOdbc;
    if (name == "postgresql")
        return TestEngine::Postgres;
    if (name == "mariadb")
        return TestEngine::MariaDb;
    if (!name.isEmpty() && name != "sqlite")
        qFatal("unknown DUPLIVO_TEST_ENGINE %s", name.constData());
    return TestEngine::Sqlite;
}

bool everythingRequired()
{
    return !qEnvironmentVariableIsEmpty("DUPLIVO_TEST_EVERYTHING");
}

QString engineUnavailable()
{
    const TestEngine engine = testEngine();
    if (isServer(engine) && !serverClientsBuilt())
        return QStringLiteral("the tests were built without the servers' client libraries");
    if (engine == TestEngine::Postgres && qEnvironmentVariableIsEmpty("DUPLIVO_TEST_PG"))
        return QStringLiteral(
            "DUPLIVO_TEST_PG names no PostgreSQL server (tools/with_postgres.sh starts one)");
    if (engine == TestEngine::MariaDb && qEnvironmentVariableIsEmpty("DUPLIVO_TEST_MARIADB"))
        return QStringLiteral(
            "DUPLIVO_TEST_MARIADB names no MariaDB server (tools/with_mariadb.sh starts one)");
    return QString();
}

namespace {

// The value of a described column, without its type.
QString valueOf(const QString& described)
{
    return described.mid(described.indexOf(u':') + 1);
}

} // namespace

namespace {

class SqliteBackend final : public CompanyDatabase::Backend
{
public:
    SqliteBackend(const QString& file, const QString& companyType, const QString& claveType,
        const QString& cosaType)
        : m_file(file)
    {
        check(sqlite3_open(file.toUtf8().constData(), &m_db), m_db, "open");
        sqlite3_busy_timeout(m_db, 10000);
        exec(QStringLiteral(
            "CREATE TABLE GRANGUIA (Id INTEGER PRIMARY KEY, Empresa %1, Aplica TEXT, "
            "clave %2, cosa %3, Alta TEXT NOT NULL DEFAULT 'por defecto');"
            "CREATE INDEX GRANGUIA_Empresa_Aplica ON GRANGUIA (Empresa, Aplica);")
                 .arg(companyType, claveType, cosaType));
    }
    ~SqliteBackend() override { sqlite3_close(m_db); }

    void exec(const QString& sql) override
    {
        char* error = nullptr;
        if (sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &error) != SQLITE_OK) {
            const QString text = QString::fromUtf8(error);
            sqlite3_free(error);
            qFatal("%s: %s", qPrintable(sql), qPrintable(text));
        }
    }

    QStringList rows(const QString& sql, const QVariantList& values) override
    {
        sqlite3_stmt* statement = prepare(sql, values);
        QStringList result;
        int step = SQLITE_ROW;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            QStringList row;
            for (int column = 0; column < sqlite3_column_count(statement); ++column)
                row << describeColumn(statement, column);
            result << row.join(u'|');
        }
        check(step, m_db, "read");
        sqlite3_finalize(statement);
        return result;
    }

    void insert(const QVariantList& values) override
    {
        sqlite3_stmt* statement = prepare(
            QStringLiteral(
                "INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) VALUES (?, ?, ?, ?)"),
            values);
        check(sqlite3_step(statement), m_db, "insert");
        sqlite3_finalize(statement);
    }

    void onInsertOf(const QString& clave, const QString& action) override
    {
        exec(QStringLiteral(
            "CREATE TRIGGER regla_%1 BEFORE INSERT ON GRANGUIA WHEN NEW.clave = %2 BEGIN %3; END")
                 .arg(++m_rules)
                 .arg(sqlLiteral(clave), action));
    }

    bool nothingLocked() override
    {
        sqlite3* other = nullptr;
        sqlite3_open(m_file.toUtf8().constData(), &other);
        const bool free = sqlite3_exec(other, "BEGIN EXCLUSIVE; COMMIT", nullptr, nullptr, nullptr)
            == SQLITE_OK;
        sqlite3_close(other);
        return free;
    }

private:
    sqlite3_stmt* prepare(const QString& sql, const QVariantList& values)
    {
        sqlite3_stmt* statement = nullptr;
        check(sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &statement, nullptr), m_db,
            "prepare");
        for (int i = 0; i < values.size(); ++i)
            bind(statement, i + 1, values[i]);
        return statement;
    }

    QString m_file;
    sqlite3* m_db = nullptr;
    int m_rules = 0;
};

} // namespace

CompanyDatabase::CompanyDatabase(
    TestEngine engine, const QString& claveType, const QString& cosaType, int companyLength)
    : m_engine(engine)
    , m_driveC(m_dir.path())
{
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
    const QString companyType = companyLength > 0 ? QStringLiteral("VARCHAR(%1)").arg(companyLength)
        : engine == TestEngine::MariaDb           ? QStringLiteral("VARCHAR(255)")
                                                  : QStringLiteral("TEXT");
    switch (engine) {
    case TestEngine::Sqlite:
        m_backend = std::make_unique<SqliteBackend>(file(), companyType, claveType, cosaType);
        break;
    case TestEngine::SqliteOdbc:
        m_backend = std::make_unique<SqliteBackend>(file(), companyType, claveType, cosaType);
        writeFile(pathFile(), "[ODBC]\r\nDRIVER=SQLite3\r\nDatabase=" + file().toUtf8() + "\r\n",
            ownerOnly);
        break;
    case TestEngine::Postgres:
    case TestEngine::MariaDb: {
        QByteArray dsn;
        m_backend = engine == TestEngine::Postgres
            ? makePostgresBackend(companyType, claveType, cosaType, dsn)
            : makeMariaDbBackend(companyType, claveType, cosaType, dsn);
        writeFile(pathFile(), dsn, ownerOnly);
        break;
    }
    }
}

CompanyDatabase::~CompanyDatabase()
{
    m_backend.reset();
    QFile::remove(pathFile());
    QFile::remove(file());
}

QString CompanyDatabase::file() const
{
    return m_driveC.folder()
        + (m_engine == TestEngine::Sqlite ? QStringLiteral("/Tarvex.win/Tarvex.mdb")
                                          : QStringLiteral("/Tarvex.win/datos.sqlite"));
}

QString CompanyDatabase::pathFile() const
{
    return m_driveC.folder() + QStringLiteral("/Tarvex.win/Tarvex.mdb");
}

void CompanyDatabase::exec(const QString& sql) const
{
    m_backend->exec(sql);
}

void CompanyDatabase::insert(const QVariant& company, const QVariant& program,
    const QVariant& clave, const QVariant& cosa) const
{
    m_backend->insert({company, program, clave, cosa});
}

void CompanyDatabase::addBlock(const QString& company, const QString& program, int rows) const
{
    exec(QStringLiteral("BEGIN"));
    for (int row = 1; row <= rows; ++row)
        insert(
            company, program, QStringLiteral("%1-%2").arg(program).arg(row), QString::number(row));
    exec(QStringLiteral("COMMIT"));
}

QStringList CompanyDatabase::block(const QString& company, const QString& program) const
{
    return m_backend->rows(
        QStringLiteral(
            "SELECT clave, cosa, Alta FROM GRANGUIA WHERE Empresa = ? AND Aplica = ? ORDER BY Id"),
        {company, program});
}

int CompanyDatabase::count(const QString& where) const
{
    const QString sql = QStringLiteral("SELECT count(*) FROM GRANGUIA")
        + (where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where);
    return valueOf(m_backend->rows(sql, {}).value(0)).toInt();
}

QStringList CompanyDatabase::column(const QString& sql) const
{
    QStringList values;
    for (const QString& row : m_backend->rows(sql, {})) {
        if (row != QLatin1String("null"))
            values << valueOf(row);
    }
    return values;
}

QStringList CompanyDatabase::rows(const QString& sql) const
{
    return m_backend->rows(sql, {});
}

void CompanyDatabase::failInsertsOf(const QString& clave, const QString& message) const
{
    switch (m_engine) {
    case TestEngine::Postgres:
        return m_backend->onInsertOf(
            clave, QStringLiteral("RAISE EXCEPTION %1").arg(sqlLiteral(message)));
    case TestEngine::MariaDb:
        return m_backend->onInsertOf(clave,
            QStringLiteral("SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = %1")
                .arg(sqlLiteral(message)));
    default:
        return m_backend->onInsertOf(
            clave, QStringLiteral("SELECT RAISE(ABORT, %1)").arg(sqlLiteral(message)));
    }
}

void CompanyDatabase::slowInsertsOf(const QString& clave, int seconds) const
{
    switch (m_engine) {
    case TestEngine::Postgres:
        return m_backend->onInsertOf(clave, QStringLiteral("PERFORM pg_sleep(%1)").arg(seconds));
    case TestEngine::MariaDb:
        return m_backend->onInsertOf(clave, QStringLiteral("DO SLEEP(%1)").arg(seconds));
    default:
        // SQLite cannot sleep in a statement; it counts, some seven million a second.
        return m_backend->onInsertOf(clave,
            QStringLiteral("SELECT count(*) FROM (WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL "
                           "SELECT n + 1 FROM c WHERE n < %1) SELECT n FROM c)")
                .arg(qint64(seconds) * 7000000));
    }
}

void CompanyDatabase::dropTable() const
{
    exec(QStringLiteral("DROP TABLE GRANGUIA"));
}

bool CompanyDatabase::nothingLocked() const
{
    return m_backend->nothingLocked();
}

WindowHarness::WindowHarness()
{
    settings.drive = QStringLiteral("C");
    // Elsewhere than on Windows, where the prefix the tests run in is their own.
    qputenv("XDG_DATA_HOME", QFile::encodeName(userData.path()));
}

WindowHarness::~WindowHarness()
{
    window.reset();
    qunsetenv("XDG_DATA_HOME");
}

bool WindowHarness::prepare(
    const QString& company, const QString& newName, const QStringList& programs)
{
    if (!open())
        return false;
    chooseCompany(company);
    if (!newName.isEmpty())
        typeNewCompany(newName);
    for (const QString& program : programs)
        clickProgram(program);
    return !QTest::currentTestFailed();
}

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
    // The event loop runs between an operator's gestures: its events are let through here, and
    // then the offscreen platform's leftover (the closed drop-down as the active window, which a
    // real window system never leaves) is undone.
    QCoreApplication::processEvents();
    if (QApplication::activeWindow() != window.get() && window->isVisible())
        QApplication::setActiveWindow(window.get());
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
