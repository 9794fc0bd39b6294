#include "tests/support.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QMap>
#include <QPushButton>
#include <QSqlDatabase>
#include <QTest>
#include <libpq-fe.h>
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
    if (testEngine() == TestEngine::Sqlite)
        return QString();
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QODBC")))
        return QStringLiteral("Qt's ODBC driver (libqt6sql6-odbc) is not installed");
    if (testEngine() == TestEngine::Postgres && qEnvironmentVariableIsEmpty("DUPLIVO_TEST_PG"))
        return QStringLiteral(
            "DUPLIVO_TEST_PG names no PostgreSQL server (tools/with_postgres.sh starts one)");
    return QString();
}

namespace {

QString literal(const QString& value)
{
    return u'\'' + QString(value).replace(u'\'', QStringLiteral("''")) + u'\'';
}

// The keys of DUPLIVO_TEST_PG ("SERVER=…;PORT=…;UID=…;PWD=…").
QMap<QString, QString> serverKeys()
{
    QMap<QString, QString> keys;
    for (const QString& part :
        qEnvironmentVariable("DUPLIVO_TEST_PG").split(u';', Qt::SkipEmptyParts)) {
        const qsizetype equals = part.indexOf(u'=');
        keys.insert(part.left(equals).toUpper(), part.mid(equals + 1));
    }
    return keys;
}

// The value of a described column, without its type.
QString valueOf(const QString& described)
{
    return described.mid(described.indexOf(u':') + 1);
}

} // namespace

class CompanyDatabase::Backend
{
public:
    virtual ~Backend() = default;
    virtual void exec(const QString& sql) = 0;
    // Rows of a query with '?' parameters, each value described with its type, joined by '|'.
    virtual QStringList rows(const QString& sql, const QVariantList& values) = 0;
    virtual void insert(const QVariantList& values) = 0;
    virtual void onInsertOf(const QString& clave, const QString& action) = 0;
    virtual bool nothingLocked() = 0;
};

namespace {

class SqliteBackend final : public CompanyDatabase::Backend
{
public:
    explicit SqliteBackend(const QString& file)
        : m_file(file)
    {
        check(sqlite3_open(file.toUtf8().constData(), &m_db), m_db, "open");
        sqlite3_busy_timeout(m_db, 10000);
        exec(QStringLiteral(
            "CREATE TABLE GRANGUIA (Id INTEGER PRIMARY KEY, Empresa TEXT, Aplica TEXT, "
            "clave, cosa, Alta TEXT NOT NULL DEFAULT 'por defecto');"
            "CREATE INDEX GRANGUIA_Empresa_Aplica ON GRANGUIA (Empresa, Aplica);"));
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
                 .arg(literal(clave), action));
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

class PostgresBackend final : public CompanyDatabase::Backend
{
public:
    PostgresBackend(const QString& claveType, const QString& cosaType)
    {
        static int serial = 0;
        m_name
            = QStringLiteral("duplivo_%1_%2").arg(QCoreApplication::applicationPid()).arg(++serial);
        m_admin = connect(QStringLiteral("postgres"));
        run(m_admin, QStringLiteral("CREATE DATABASE %1 ENCODING 'UTF8'").arg(m_name));
        m_db = connect(m_name);
        exec(QStringLiteral(
            "CREATE TABLE GRANGUIA (Id SERIAL PRIMARY KEY, Empresa TEXT, Aplica TEXT, "
            "clave %1, cosa %2, Alta TEXT NOT NULL DEFAULT 'por defecto');"
            "CREATE INDEX GRANGUIA_Empresa_Aplica ON GRANGUIA (Empresa, Aplica);")
                 .arg(claveType, cosaType));
    }
    ~PostgresBackend() override
    {
        PQfinish(m_db);
        run(m_admin, QStringLiteral("DROP DATABASE %1 WITH (FORCE)").arg(m_name));
        PQfinish(m_admin);
    }

    const QString& name() const { return m_name; }

    void exec(const QString& sql) override { run(m_db, sql); }

    QStringList rows(const QString& sql, const QVariantList& values) override
    {
        PGresult* result = query(sql, values);
        QStringList rows;
        for (int row = 0; row < PQntuples(result); ++row) {
            QStringList described;
            for (int column = 0; column < PQnfields(result); ++column)
                described << describe(result, row, column);
            rows << described.join(u'|');
        }
        PQclear(result);
        return rows;
    }

    void insert(const QVariantList& values) override
    {
        PQclear(
            query(QStringLiteral(
                      "INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) VALUES (?, ?, ?, ?)"),
                values));
    }

    void onInsertOf(const QString& clave, const QString& action) override
    {
        const QString rule = QStringLiteral("regla_%1").arg(++m_rules);
        exec(QStringLiteral(
            "CREATE FUNCTION %1() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
            "IF NEW.clave::text = %2 THEN %3; END IF; RETURN NEW; END $$;"
            "CREATE TRIGGER %1 BEFORE INSERT ON GRANGUIA FOR EACH ROW EXECUTE FUNCTION %1()")
                 .arg(rule, literal(clave), action));
    }

    bool nothingLocked() override
    {
        // Only this database's: other tests share the server and may be copying right now.
        return rows(QStringLiteral("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' "
                                   "AND database = (SELECT oid FROM pg_database "
                                   "WHERE datname = current_database())"),
                   {})
            == QStringList {QStringLiteral("int:0")}
        && rows(QStringLiteral(
                    "SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
                    "AND pid <> pg_backend_pid() AND state LIKE 'idle in transaction%'"),
               {})
            == QStringList {QStringLiteral("int:0")};
    }

    // The DSN file's keys for this database.
    QByteArray dsn() const
    {
        const auto keys = serverKeys();
        return QStringLiteral(
            "[ODBC]\r\nDRIVER=PostgreSQL Unicode\r\nSERVER=%1\r\nPORT=%2\r\nDATABASE=%3\r\n"
            "UID=%4\r\nPWD=%5\r\n")
            .arg(keys.value(QStringLiteral("SERVER")), keys.value(QStringLiteral("PORT")), m_name,
                keys.value(QStringLiteral("UID")), keys.value(QStringLiteral("PWD")))
            .toUtf8();
    }

private:
    static PGconn* connect(const QString& database)
    {
        const auto keys = serverKeys();
        const QString info
            = QStringLiteral("host=%1 port=%2 user=%3 password=%4 dbname=%5")
                  .arg(keys.value(QStringLiteral("SERVER")), keys.value(QStringLiteral("PORT")),
                      keys.value(QStringLiteral("UID")), keys.value(QStringLiteral("PWD")),
                      database);
        PGconn* connection = PQconnectdb(info.toUtf8().constData());
        if (PQstatus(connection) != CONNECTION_OK)
            qFatal("cannot reach PostgreSQL: %s", PQerrorMessage(connection));
        PQsetClientEncoding(connection, "UTF8");
        run(connection, QStringLiteral("SET client_min_messages = warning"));
        return connection;
    }

    static void run(PGconn* connection, const QString& sql)
    {
        PGresult* result = PQexec(connection, sql.toUtf8().constData());
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
            qFatal("%s: %s", qPrintable(sql), PQerrorMessage(connection));
        PQclear(result);
    }

    PGresult* query(QString sql, const QVariantList& values)
    {
        for (int i = 1; i <= values.size(); ++i)
            sql.replace(sql.indexOf(u'?'), 1, QStringLiteral("$%1").arg(i));
        QList<QByteArray> data;
        QList<const char*> pointers;
        QList<int> lengths, formats;
        QList<Oid> types;
        for (const QVariant& value : values) {
            const bool binary = value.typeId() == QMetaType::QByteArray;
            if (value.isNull())
                data << QByteArray();
            else if (binary)
                data << value.toByteArray();
            else if (value.typeId() == QMetaType::Double)
                data << QByteArray::number(value.toDouble(), 'g', 17);
            else
                data << value.toString().toUtf8();
            pointers << (value.isNull() ? nullptr : data.last().constData());
            lengths << int(data.last().size());
            formats << (binary ? 1 : 0);
            types << (binary ? 17 : 0);
        }
        PGresult* result = PQexecParams(m_db, sql.toUtf8().constData(), int(values.size()),
            types.constData(), pointers.constData(), lengths.constData(), formats.constData(), 0);
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
            qFatal("%s: %s", qPrintable(sql), PQerrorMessage(m_db));
        return result;
    }

    static QString describe(const PGresult* result, int row, int column)
    {
        if (PQgetisnull(result, row, column))
            return QStringLiteral("null");
        const QString text = QString::fromUtf8(PQgetvalue(result, row, column));
        switch (PQftype(result, column)) {
        case 20: // int8
        case 21: // int2
        case 23: // int4
            return QStringLiteral("int:") + text;
        case 700: // float4
        case 701: // float8
            return QStringLiteral("real:") + text;
        case 1700: // numeric
            return QStringLiteral("numeric:") + text;
        case 17: // bytea, in hex output
            return QStringLiteral("blob:") + text.mid(2);
        default:
            return QStringLiteral("text:") + text;
        }
    }

    QString m_name;
    PGconn* m_admin = nullptr;
    PGconn* m_db = nullptr;
    int m_rules = 0;
};

} // namespace

CompanyDatabase::CompanyDatabase(
    TestEngine engine, const QString& claveType, const QString& cosaType)
    : m_engine(engine)
    , m_previousPrefix(qgetenv("WINEPREFIX"))
{
    const QDir root(m_dir.path());
    root.mkpath(QStringLiteral("wine/dosdevices"));
    root.mkpath(QStringLiteral("drive_c/Tarvex.win"));
    QFile::link(root.filePath(QStringLiteral("drive_c")),
        root.filePath(QStringLiteral("wine/dosdevices/c:")));
    qputenv("WINEPREFIX", root.filePath(QStringLiteral("wine")).toLocal8Bit());

    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
    switch (engine) {
    case TestEngine::Sqlite:
        m_backend = std::make_unique<SqliteBackend>(file());
        break;
    case TestEngine::SqliteOdbc:
        m_backend = std::make_unique<SqliteBackend>(file());
        writeFile(pathFile(), "[ODBC]\r\nDRIVER=SQLite3\r\nDatabase=" + file().toUtf8() + "\r\n",
            ownerOnly);
        break;
    case TestEngine::Postgres: {
        auto backend = std::make_unique<PostgresBackend>(claveType, cosaType);
        writeFile(pathFile(), backend->dsn(), ownerOnly);
        m_backend = std::move(backend);
        break;
    }
    }
}

CompanyDatabase::~CompanyDatabase()
{
    m_backend.reset();
    if (m_previousPrefix.isNull())
        qunsetenv("WINEPREFIX");
    else
        qputenv("WINEPREFIX", m_previousPrefix);
}

QString CompanyDatabase::file() const
{
    return m_dir.filePath(m_engine == TestEngine::Sqlite
            ? QStringLiteral("drive_c/Tarvex.win/Tarvex.mdb")
            : QStringLiteral("drive_c/Tarvex.win/datos.sqlite"));
}

QString CompanyDatabase::pathFile() const
{
    return m_dir.filePath(QStringLiteral("drive_c/Tarvex.win/Tarvex.mdb"));
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
    m_backend->onInsertOf(clave,
        m_engine == TestEngine::Postgres
            ? QStringLiteral("RAISE EXCEPTION %1").arg(literal(message))
            : QStringLiteral("SELECT RAISE(ABORT, %1)").arg(literal(message)));
}

void CompanyDatabase::slowInsertsOf(const QString& clave, int seconds) const
{
    if (m_engine != TestEngine::Postgres)
        qFatal("only PostgreSQL can pause an insert");
    m_backend->onInsertOf(clave, QStringLiteral("PERFORM pg_sleep(%1)").arg(seconds));
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
