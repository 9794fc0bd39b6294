#include "db/odbc.h"

#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

// On Windows the build puts <windows.h> before everything else (db/CMakeLists.txt): the ODBC
// headers use its types there.
#include <sql.h>
#include <sqlext.h>

#include "db/errors.h"
#include "db/savedcopy.h"

namespace duplivo {

namespace {

// Strings cross the boundary as UTF-16, with their length in characters: never a terminator the
// driver might take for part of the text. unixODBC and Windows both use 16-bit SQLWCHARs.
static_assert(sizeof(SQLWCHAR) == sizeof(char16_t));

// Text longer than this goes as long text: the Access driver takes no more in a plain one.
constexpr qsizetype longestPlainValue = 255;
// Pieces in which long values are read.
constexpr SQLLEN chunkBytes = 16 * 1024;

SQLWCHAR* wide(const QString& text)
{
    return const_cast<SQLWCHAR*>(reinterpret_cast<const SQLWCHAR*>(text.utf16()));
}

QString fromWide(const SQLWCHAR* text, qsizetype characters)
{
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(text), characters);
}

// Every diagnostic record of a handle, in order.
QList<Diagnostic> diagnostics(SQLSMALLINT type, SQLHANDLE handle)
{
    QList<Diagnostic> records;
    for (SQLSMALLINT number = 1;; ++number) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        std::vector<SQLWCHAR> text(512);
        SQLSMALLINT length = 0;
        SQLRETURN rc = SQLGetDiagRecW(
            type, handle, number, state, &native, text.data(), SQLSMALLINT(text.size()), &length);
        if (rc == SQL_SUCCESS_WITH_INFO && length >= SQLSMALLINT(text.size())) {
            text.resize(std::size_t(length) + 1);
            rc = SQLGetDiagRecW(type, handle, number, state, &native, text.data(),
                SQLSMALLINT(text.size()), &length);
        }
        if (!SQL_SUCCEEDED(rc))
            return records;
        records.append({fromWide(state, 5), int(native),
            fromWide(text.data(), std::min<qsizetype>(length, qsizetype(text.size()) - 1))});
    }
}

// Success with or without information is success; anything else is reported with every record.
// SQL_NO_DATA is for the caller to read.
SQLRETURN check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle, const QString& context)
{
    if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA)
        return rc;
    throwDiagnostics(diagnostics(type, handle), context);
}

// The driver manager's environment, made once for the process, in ODBC 3 behaviour.
SQLHENV environment()
{
    static const SQLHENV handle = [] {
        SQLHENV env = SQL_NULL_HENV;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
            throw EngineFailure(
                0, QStringLiteral("No se puede usar el administrador de controladores ODBC."));
        check(SQLSetEnvAttr(
                  env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
            SQL_HANDLE_ENV, env, QString());
        return env;
    }();
    return handle;
}

bool isText(SQLSMALLINT type)
{
    switch (type) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
        return true;
    default:
        return false;
    }
}

bool isBinary(SQLSMALLINT type)
{
    return type == SQL_BINARY || type == SQL_VARBINARY || type == SQL_LONGVARBINARY;
}

struct Column
{
    QString name;
    SQLSMALLINT type = SQL_UNKNOWN_TYPE;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    bool isUnsigned = false;
};

// The C type a column's values are read in and bound back with, so that each is stored again as
// it was: text as UTF-16, bytes as bytes, decimals as their digits, numbers as numbers (a
// single-precision one widened exactly to double), dates and times as the driver writes them,
// with no time zone applied on the way.
SQLSMALLINT exactCType(const Column& column)
{
    switch (column.type) {
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
        return SQL_C_BINARY;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
        return SQL_C_DOUBLE;
    case SQL_DECIMAL:
    case SQL_NUMERIC:
        return SQL_C_CHAR;
    case SQL_BIT:
        return SQL_C_BIT;
    case SQL_TINYINT:
        return column.isUnsigned ? SQL_C_UTINYINT : SQL_C_STINYINT;
    case SQL_SMALLINT:
        return column.isUnsigned ? SQL_C_USHORT : SQL_C_SSHORT;
    case SQL_INTEGER:
        return column.isUnsigned ? SQL_C_ULONG : SQL_C_SLONG;
    case SQL_BIGINT:
        return column.isUnsigned ? SQL_C_UBIGINT : SQL_C_SBIGINT;
    default:
        return SQL_C_WCHAR;
    }
}

// The bytes of a fixed-size C type; 0 for those read in pieces.
SQLLEN fixedSize(SQLSMALLINT cType)
{
    switch (cType) {
    case SQL_C_DOUBLE:
        return sizeof(SQLDOUBLE);
    case SQL_C_BIT:
    case SQL_C_UTINYINT:
    case SQL_C_STINYINT:
        return 1;
    case SQL_C_USHORT:
    case SQL_C_SSHORT:
        return sizeof(SQLSMALLINT);
    case SQL_C_ULONG:
    case SQL_C_SLONG:
        return sizeof(SQLINTEGER);
    case SQL_C_UBIGINT:
    case SQL_C_SBIGINT:
        return sizeof(SQLBIGINT);
    default:
        return 0;
    }
}

// A value as read: the C type's bytes, or null.
struct Cell
{
    bool null = true;
    QByteArray bytes;
};

// A value of the program's own (as Cursor::value reads it, or as a saved copy keeps it) in the C
// type a column takes it in, so that it is stored as it was read.
Cell cellOf(const QVariant& value, SQLSMALLINT cType)
{
    Cell cell;
    if (value.isNull())
        return cell;
    cell.null = false;
    const auto bytesOf = [](auto number) {
        return QByteArray(reinterpret_cast<const char*>(&number), sizeof number);
    };
    switch (cType) {
    case SQL_C_BINARY:
        cell.bytes = value.toByteArray();
        break;
    case SQL_C_DOUBLE:
        cell.bytes = bytesOf(SQLDOUBLE(value.toDouble()));
        break;
    case SQL_C_BIT:
    case SQL_C_UTINYINT:
    case SQL_C_STINYINT:
        cell.bytes = QByteArray(1, char(value.toLongLong()));
        break;
    case SQL_C_USHORT:
    case SQL_C_SSHORT:
        cell.bytes = bytesOf(SQLSMALLINT(value.toLongLong()));
        break;
    case SQL_C_ULONG:
    case SQL_C_SLONG:
        cell.bytes = bytesOf(SQLINTEGER(value.toLongLong()));
        break;
    case SQL_C_UBIGINT:
        cell.bytes = bytesOf(SQLUBIGINT(value.toULongLong()));
        break;
    case SQL_C_SBIGINT:
        cell.bytes = bytesOf(SQLBIGINT(value.toLongLong()));
        break;
    case SQL_C_CHAR:
        // Decimals, as their digits.
        cell.bytes = value.toString().toLatin1();
        break;
    default: {
        const QString text = value.toString();
        cell.bytes = QByteArray(
            reinterpret_cast<const char*>(text.utf16()), text.size() * qsizetype(sizeof(char16_t)));
        break;
    }
    }
    return cell;
}

// A value bound to a marker; it must stay where it is until the statement has run.
struct Parameter
{
    QByteArray bytes;
    SQLLEN indicator = 0;
};

// A handle of the driver manager's, freed when it goes, on every path.
template <SQLSMALLINT Type> class Handle
{
public:
    Handle(SQLHANDLE parent, SQLSMALLINT parentType, const QString& context)
    {
        check(SQLAllocHandle(Type, parent, &m_handle), parentType, parent, context);
    }
    ~Handle()
    {
        if (m_handle != SQL_NULL_HANDLE)
            SQLFreeHandle(Type, m_handle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    SQLHANDLE get() const { return m_handle; }

private:
    SQLHANDLE m_handle = SQL_NULL_HANDLE;
};

// The statement a connection is running, for another thread to cancel: registered while its
// handle lives, so that a cancel never reaches a freed one.
class RunningStatement
{
public:
    void set(SQLHSTMT handle)
    {
        const std::lock_guard<std::mutex> guard(m_mutex);
        m_handle = handle;
    }
    bool cancel() noexcept
    {
        const std::lock_guard<std::mutex> guard(m_mutex);
        return m_handle == SQL_NULL_HSTMT || SQL_SUCCEEDED(SQLCancel(m_handle));
    }

private:
    std::mutex m_mutex;
    SQLHSTMT m_handle = SQL_NULL_HSTMT;
};

class Cursor
{
public:
    Cursor(SQLHDBC connection, RunningStatement& running, const QString& context)
        : m_statement(connection, SQL_HANDLE_DBC, context)
        , m_handle(m_statement.get())
        , m_running(running)
        , m_context(context)
    {
        m_running.set(m_handle);
    }
    ~Cursor() { m_running.set(SQL_NULL_HSTMT); }
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;

    SQLRETURN checked(SQLRETURN rc) const
    {
        return check(rc, SQL_HANDLE_STMT, m_handle, m_context);
    }

    // Binds QVariant values from marker `first` on; they keep their own types.
    void bind(const QVariantList& values, SQLUSMALLINT first = 1)
    {
        for (qsizetype i = 0; i < values.size(); ++i)
            bindValue(SQLUSMALLINT(first + i), values[i]);
    }

    void bindValue(SQLUSMALLINT marker, const QVariant& value)
    {
        Parameter& parameter = slot(marker);
        SQLSMALLINT cType = SQL_C_WCHAR;
        SQLSMALLINT sqlType = SQL_WVARCHAR;
        SQLULEN size = 1;
        if (value.isNull()) {
            parameter.bytes.clear();
            parameter.indicator = SQL_NULL_DATA;
            bindSlot(marker, cType, sqlType, size, 0);
            return;
        }
        switch (value.typeId()) {
        case QMetaType::Bool:
            cType = SQL_C_BIT;
            sqlType = SQL_BIT;
            parameter.bytes = QByteArray(1, value.toBool() ? 1 : 0);
            break;
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong: {
            const qlonglong number = value.toLongLong();
            if (number >= std::numeric_limits<SQLINTEGER>::min()
                && number <= std::numeric_limits<SQLINTEGER>::max()) {
                const SQLINTEGER narrow = SQLINTEGER(number);
                cType = SQL_C_SLONG;
                sqlType = SQL_INTEGER;
                parameter.bytes = QByteArray(reinterpret_cast<const char*>(&narrow), sizeof narrow);
            } else {
                const SQLBIGINT wide = number;
                cType = SQL_C_SBIGINT;
                sqlType = SQL_BIGINT;
                parameter.bytes = QByteArray(reinterpret_cast<const char*>(&wide), sizeof wide);
            }
            break;
        }
        case QMetaType::Float:
        case QMetaType::Double: {
            const SQLDOUBLE number = value.toDouble();
            cType = SQL_C_DOUBLE;
            sqlType = value.typeId() == QMetaType::Float ? SQL_REAL : SQL_DOUBLE;
            parameter.bytes = QByteArray(reinterpret_cast<const char*>(&number), sizeof number);
            break;
        }
        case QMetaType::QByteArray:
            parameter.bytes = value.toByteArray();
            cType = SQL_C_BINARY;
            sqlType
                = parameter.bytes.size() > longestPlainValue ? SQL_LONGVARBINARY : SQL_VARBINARY;
            size = SQLULEN(std::max<qsizetype>(1, parameter.bytes.size()));
            break;
        default: {
            const QString text = value.toString();
            parameter.bytes = QByteArray(
                reinterpret_cast<const char*>(text.utf16()), text.size() * qsizetype(2));
            sqlType = text.size() > longestPlainValue ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
            // A size of 0 is refused by some drivers (the empty string).
            size = SQLULEN(std::max<qsizetype>(1, text.size()));
            break;
        }
        }
        parameter.indicator = SQLLEN(parameter.bytes.size());
        bindSlot(marker, cType, sqlType, size, 0);
    }

    // Binds a cell read from a column, in the C type it was read in and with the column's type.
    void bindCell(SQLUSMALLINT marker, const Column& column, SQLSMALLINT cType, const Cell& cell)
    {
        Parameter& parameter = slot(marker);
        parameter.bytes = cell.bytes;
        parameter.indicator = cell.null ? SQL_NULL_DATA : SQLLEN(cell.bytes.size());
        SQLULEN size = column.size;
        if (size == 0) {
            // A driver that does not know the column's size: the value's own.
            size = SQLULEN(std::max<qsizetype>(
                1, cType == SQL_C_WCHAR ? cell.bytes.size() / 2 : cell.bytes.size()));
        }
        bindSlot(marker, cType, column.type, size, column.digits);
    }

    // False for an action that changed no row (SQL_NO_DATA), which is no failure.
    bool executeDirect(const QString& text)
    {
        return checked(SQLExecDirectW(m_handle, wide(text), SQLINTEGER(text.size())))
            != SQL_NO_DATA;
    }

    void prepare(const QString& text)
    {
        checked(SQLPrepareW(m_handle, wide(text), SQLINTEGER(text.size())));
    }

    void execute() { checked(SQLExecute(m_handle)); }

    // −1 where the driver does not say.
    qint64 rowCount()
    {
        SQLLEN rows = -1;
        checked(SQLRowCount(m_handle, &rows));
        return rows;
    }

    QList<Column> columns()
    {
        SQLSMALLINT count = 0;
        checked(SQLNumResultCols(m_handle, &count));
        QList<Column> columns;
        for (SQLUSMALLINT number = 1; number <= count; ++number) {
            SQLWCHAR name[256] = {};
            SQLSMALLINT nameLength = 0;
            SQLSMALLINT nullable = 0;
            Column column;
            checked(SQLDescribeColW(m_handle, number, name, SQLSMALLINT(std::size(name)),
                &nameLength, &column.type, &column.size, &column.digits, &nullable));
            column.name
                = fromWide(name, std::min<qsizetype>(nameLength, qsizetype(std::size(name)) - 1));
            SQLLEN isUnsigned = SQL_FALSE;
            checked(SQLColAttributeW(
                m_handle, number, SQL_DESC_UNSIGNED, nullptr, 0, nullptr, &isUnsigned));
            column.isUnsigned
                = isUnsigned == SQL_TRUE && !isText(column.type) && !isBinary(column.type);
            columns << column;
        }
        return columns;
    }

    bool fetch() { return checked(SQLFetch(m_handle)) != SQL_NO_DATA; }

    // The engine's own name for a column's type ("numeric", "VARCHAR"…).
    QString typeName(SQLUSMALLINT number)
    {
        SQLWCHAR name[128] = {};
        SQLSMALLINT length = 0;
        checked(SQLColAttributeW(m_handle, number, SQL_DESC_TYPE_NAME, name,
            SQLSMALLINT(sizeof name), &length, nullptr));
        return fromWide(name,
            std::min<qsizetype>(
                length / qsizetype(sizeof(SQLWCHAR)), qsizetype(std::size(name)) - 1));
    }

    // One column of the current row in a C type; long values are read in pieces. A failure to
    // read is reported, never taken for a null.
    Cell cell(SQLUSMALLINT number, SQLSMALLINT cType)
    {
        Cell cell;
        cell.null = !read(number, cType, m_scratch);
        // Exactly the value's bytes: rows read whole are held whole.
        if (!cell.null)
            cell.bytes = QByteArray(m_scratch.constData(), m_scratch.size());
        return cell;
    }

    // The same into `bytes`, whose room is kept from one value to the next; false for a null.
    bool read(SQLUSMALLINT number, SQLSMALLINT cType, QByteArray& bytes)
    {
        SQLLEN indicator = 0;
        if (const SQLLEN size = fixedSize(cType); size > 0) {
            bytes.resize(size);
            checked(SQLGetData(m_handle, number, cType, bytes.data(), size, &indicator));
            if (indicator == SQL_NULL_DATA)
                bytes.resize(0);
            return indicator != SQL_NULL_DATA;
        }
        // Text pieces end in a terminator that is not part of the value.
        const SQLLEN terminator = cType == SQL_C_WCHAR ? 2 : cType == SQL_C_CHAR ? 1 : 0;
        // resize(0) keeps the room, where clear() would give it back for every value.
        bytes.resize(0);
        bool null = true;
        for (;;) {
            const qsizetype at = bytes.size();
            bytes.resize(at + chunkBytes);
            const SQLRETURN rc = checked(
                SQLGetData(m_handle, number, cType, bytes.data() + at, chunkBytes, &indicator));
            if (rc == SQL_NO_DATA || indicator == SQL_NULL_DATA) {
                bytes.resize(at);
                break;
            }
            null = false;
            const bool whole = indicator != SQL_NO_TOTAL && indicator <= chunkBytes - terminator;
            bytes.resize(at + (whole ? indicator : chunkBytes - terminator));
            if (rc == SQL_SUCCESS || whole)
                break;
        }
        return !null;
    }

    // One column of the current row, in the form the program keeps it in: handed to `to`'s
    // null(), integer(), unsignedInteger(), real(), text(), utf8Text() or bytes(), as its type
    // says; what it is given lasts until the next value is read. Text is taken as the bytes the
    // server sent where `utf8Text` says those are UTF-8.
    template <typename Visitor>
    void visit(SQLUSMALLINT number, const Column& column, Visitor&& to, bool utf8Text = false)
    {
        if (utf8Text && isText(column.type)) {
            if (!read(number, SQL_C_BINARY, m_scratch))
                return to.null();
            return to.utf8Text(m_scratch.constData(), m_scratch.size());
        }
        const SQLSMALLINT cType = exactCType(column);
        // Decimals go as their digits, in text.
        if (!read(number, cType == SQL_C_CHAR ? SQL_C_WCHAR : cType, m_scratch))
            return to.null();
        const char* data = m_scratch.constData();
        const auto as = [data]<typename T>(T) {
            T value;
            std::memcpy(&value, data, sizeof value);
            return value;
        };
        switch (cType) {
        case SQL_C_BINARY:
            return to.bytes(data, m_scratch.size());
        case SQL_C_DOUBLE:
            return to.real(as(SQLDOUBLE()));
        case SQL_C_BIT:
        case SQL_C_UTINYINT:
            return to.integer(static_cast<unsigned char>(data[0]));
        case SQL_C_STINYINT:
            return to.integer(static_cast<signed char>(data[0]));
        case SQL_C_USHORT:
            return to.integer(as(SQLUSMALLINT()));
        case SQL_C_SSHORT:
            return to.integer(as(SQLSMALLINT()));
        case SQL_C_ULONG:
            return to.integer(as(SQLUINTEGER()));
        case SQL_C_SLONG:
            return to.integer(as(SQLINTEGER()));
        case SQL_C_UBIGINT:
            return to.unsignedInteger(as(SQLUBIGINT()));
        case SQL_C_SBIGINT:
            return to.integer(as(SQLBIGINT()));
        default:
            return to.text(reinterpret_cast<const char16_t*>(data), m_scratch.size() / 2);
        }
    }

    // One column of the current row as a value of the program's own: text, a number, bytes.
    QVariant value(SQLUSMALLINT number, const Column& column)
    {
        struct
        {
            QVariant value;
            void null() { }
            void integer(qint64 number) { value = qlonglong(number); }
            void unsignedInteger(quint64 number) { value = qulonglong(number); }
            void real(double number) { value = number; }
            void text(const char16_t* text, qsizetype length)
            {
                value = QString::fromUtf16(text, length);
            }
            void utf8Text(const char* text, qsizetype length)
            {
                value = QString::fromUtf8(text, length);
            }
            void bytes(const char* bytes, qsizetype length) { value = QByteArray(bytes, length); }
        } converted;
        visit(number, column, converted);
        // A bit is read as a boolean.
        if (column.type == SQL_BIT && !converted.value.isNull())
            return converted.value.toLongLong() != 0;
        return converted.value;
    }

    void setAttribute(SQLINTEGER attribute, SQLULEN value)
    {
        checked(SQLSetStmtAttrW(m_handle, attribute, reinterpret_cast<SQLPOINTER>(value), 0));
    }

private:
    Parameter& slot(SQLUSMALLINT marker)
    {
        // Bound buffers must not move once bound: one Parameter per marker, kept apart.
        while (m_parameters.size() < marker)
            m_parameters.push_back(std::make_unique<Parameter>());
        return *m_parameters[marker - 1];
    }

    void bindSlot(SQLUSMALLINT marker, SQLSMALLINT cType, SQLSMALLINT sqlType, SQLULEN size,
        SQLSMALLINT digits)
    {
        Parameter& parameter = *m_parameters[marker - 1];
        checked(SQLBindParameter(m_handle, marker, SQL_PARAM_INPUT, cType, sqlType, size, digits,
            parameter.bytes.data(), SQLLEN(parameter.bytes.size()), &parameter.indicator));
    }

    Handle<SQL_HANDLE_STMT> m_statement;
    SQLHSTMT m_handle;
    RunningStatement& m_running;
    QString m_context;
    QByteArray m_scratch;
    std::vector<std::unique_ptr<Parameter>> m_parameters;
};

Dialect dialectOf(const QString& dbms)
{
    const auto names = [&dbms](const char* name) {
        return dbms.contains(QLatin1String(name), Qt::CaseInsensitive);
    };
    if (names("SQLite"))
        return Dialect::Sqlite;
    if (names("PostgreSQL"))
        return Dialect::PostgreSql;
    if (names("MariaDB") || names("MySQL"))
        return Dialect::MariaDb;
    if (names("Access"))
        return Dialect::Access;
    return Dialect::Other;
}

// The names of the ODBC drivers the driver manager lists for this program's bitness.
QStringList installedDrivers()
{
    QStringList names;
    const SQLHENV env = environment();
    SQLWCHAR description[512];
    SQLWCHAR attributes[2048];
    SQLSMALLINT descriptionLength = 0;
    SQLSMALLINT attributesLength = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    while (SQL_SUCCEEDED(SQLDriversW(env, direction, description,
        SQLSMALLINT(std::size(description)), &descriptionLength, attributes,
        SQLSMALLINT(std::size(attributes)), &attributesLength))) {
        names << fromWide(description,
            std::min<qsizetype>(descriptionLength, qsizetype(std::size(description)) - 1));
        direction = SQL_FETCH_NEXT;
    }
    return names;
}

// A connection handle that is connected: when it goes, whatever is open on it is rolled back and
// it is disconnected, so that no server session (nor a Jet lock file) outlives it.
class Connection
{
public:
    Connection(const QString& connectionString, const OdbcConnectOptions& options)
        : m_handle(environment(), SQL_HANDLE_ENV, options.context)
    {
        if (options.loginTimeout > 0)
            check(SQLSetConnectAttrW(get(), SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(SQLULEN(options.loginTimeout)), 0),
                SQL_HANDLE_DBC, get(), options.context);
        SQLSMALLINT completedLength = 0;
        check(SQLDriverConnectW(get(), nullptr, wide(connectionString),
                  SQLSMALLINT(connectionString.size()), nullptr, 0, &completedLength,
                  SQL_DRIVER_NOPROMPT),
            SQL_HANDLE_DBC, get(), options.context);
    }
    ~Connection()
    {
        // A transaction still open makes the disconnect fail (25000): it is rolled back first.
        if (!SQL_SUCCEEDED(SQLDisconnect(get()))) {
            SQLEndTran(SQL_HANDLE_DBC, get(), SQL_ROLLBACK);
            SQLDisconnect(get());
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    SQLHDBC get() const { return m_handle.get(); }

private:
    Handle<SQL_HANDLE_DBC> m_handle;
};

class OdbcSession final : public Session
{
public:
    OdbcSession(const QString& connectionString, const OdbcConnectOptions& options)
        : m_connection(connectionString, options)
        , m_handle(m_connection.get())
        , m_context(options.context)
        , m_dialect(dialectOf(info(SQL_DBMS_NAME)))
    { }

    ~OdbcSession() override
    {
        if (m_inTransaction)
            rollback();
    }

    Dialect dialect() const override { return m_dialect; }

    ResultSet select(const Statement& statement) override
    {
        Cursor cursor(m_handle, m_running, m_context);
        cursor.bind(statement.values);
        cursor.executeDirect(statement.text);
        const QList<Column> columns = cursor.columns();
        QStringList names;
        for (const Column& column : columns)
            names << column.name;
        QList<QVariantList> rows;
        while (cursor.fetch()) {
            QVariantList row;
            row.reserve(columns.size());
            for (qsizetype i = 0; i < columns.size(); ++i)
                row << cursor.value(SQLUSMALLINT(i + 1), columns[i]);
            rows << std::move(row);
        }
        return ResultSet(names, rows);
    }

    bool hasRow(const Statement& statement) override
    {
        Cursor cursor(m_handle, m_running, m_context);
        cursor.bind(statement.values);
        cursor.executeDirect(statement.text);
        return cursor.fetch();
    }

    qint64 execute(const Statement& statement) override
    {
        Cursor cursor(m_handle, m_running, m_context);
        cursor.bind(statement.values);
        return cursor.executeDirect(statement.text) ? cursor.rowCount() : 0;
    }

    qint64 appendRows(
        const Statement& read, const Statement& append, const RowProgress& progress) override
    {
        QList<Column> columns;
        QList<SQLSMALLINT> cTypes;
        std::vector<std::vector<Cell>> rows;
        {
            // The rows are read whole before the first append: not every driver runs a statement
            // while another one's rows are still being read on the same connection.
            Cursor cursor(m_handle, m_running, m_context);
            cursor.bind(read.values);
            cursor.executeDirect(read.text);
            columns = cursor.columns();
            for (const Column& column : columns)
                cTypes << exactCType(column);
            while (cursor.fetch()) {
                std::vector<Cell> row;
                row.reserve(std::size_t(columns.size()));
                for (qsizetype i = 0; i < columns.size(); ++i)
                    row.push_back(cursor.cell(SQLUSMALLINT(i + 1), cTypes[i]));
                rows.push_back(std::move(row));
            }
        }
        if (rows.empty())
            return 0;
        Cursor cursor(m_handle, m_running, m_context);
        cursor.prepare(append.text);
        cursor.bind(append.values);
        const auto first = SQLUSMALLINT(append.values.size() + 1);
        for (const std::vector<Cell>& row : rows) {
            for (qsizetype i = 0; i < columns.size(); ++i)
                cursor.bindCell(
                    SQLUSMALLINT(first + i), columns[i], cTypes[i], row[std::size_t(i)]);
            cursor.execute();
            if (progress && !progress(qint64(&row - rows.data()) + 1, qint64(rows.size())))
                throw WorkStopped();
        }
        return qint64(rows.size());
    }

    // Each value from the driver's buffer into the file, with no value of the program's own on
    // the way: in the forms Cursor::value gives, at a fraction of the cost.
    void saveRows(const Statement& select, SavedCopyWriter& saved,
        const std::function<bool()>& keepGoing) override
    {
        const bool utf8Text = textComesAsUtf8();
        Cursor cursor(m_handle, m_running, m_context);
        cursor.bind(select.values);
        cursor.executeDirect(select.text);
        const QList<Column> read = cursor.columns();
        QList<ColumnDescription> described;
        for (qsizetype i = 0; i < read.size(); ++i) {
            described.append({read[i].name, cursor.typeName(SQLUSMALLINT(i + 1)), read[i].type,
                qint64(read[i].size), read[i].digits});
        }
        saved.columns(described, !utf8Text);
        struct
        {
            SavedCopyWriter& saved;
            int column = 0;
            void null() { saved.nullValue(column); }
            void integer(qint64 number) { saved.integerValue(column, number); }
            void unsignedInteger(quint64 number)
            {
                // Beyond SQLite's integers, as its digits.
                if (number > quint64(std::numeric_limits<qint64>::max())) {
                    const QByteArray digits = QByteArray::number(number);
                    saved.utf8TextValue(column, digits.constData(), digits.size());
                } else {
                    saved.integerValue(column, qint64(number));
                }
            }
            void real(double number) { saved.realValue(column, number); }
            void text(const char16_t* text, qsizetype length)
            {
                saved.textValue(column, text, length);
            }
            void utf8Text(const char* text, qsizetype length)
            {
                saved.utf8TextValue(column, text, length);
            }
            void bytes(const char* bytes, qsizetype length)
            {
                saved.bytesValue(column, bytes, length);
            }
        } into {saved};
        while (cursor.fetch()) {
            for (into.column = 0; into.column < read.size(); ++into.column)
                cursor.visit(SQLUSMALLINT(into.column + 1), read[into.column], into, utf8Text);
            saved.endRow();
            if (!keepGoing())
                throw WorkStopped();
        }
    }

    qint64 insertRows(const Statement& describe, const Statement& append,
        const QList<QVariantList>& rows, const RowProgress& progress) override
    {
        QList<Column> columns;
        {
            Cursor cursor(m_handle, m_running, m_context);
            cursor.bind(describe.values);
            cursor.executeDirect(describe.text);
            columns = cursor.columns();
        }
        QList<SQLSMALLINT> cTypes;
        for (const Column& column : columns)
            cTypes << exactCType(column);
        Cursor cursor(m_handle, m_running, m_context);
        cursor.prepare(append.text);
        cursor.bind(append.values);
        const auto first = SQLUSMALLINT(append.values.size() + 1);
        qint64 written = 0;
        for (const QVariantList& row : rows) {
            for (qsizetype i = 0; i < columns.size(); ++i)
                cursor.bindCell(SQLUSMALLINT(first + i), columns[i], cTypes[i],
                    cellOf(row.value(i), cTypes[i]));
            cursor.execute();
            ++written;
            if (progress && !progress(written, rows.size()))
                throw WorkStopped();
        }
        return written;
    }

    std::optional<int> describedTextLength(const Statement& select) override
    {
        Cursor cursor(m_handle, m_running, m_context);
        cursor.bind(select.values);
        cursor.executeDirect(select.text);
        const QList<Column> columns = cursor.columns();
        if (columns.isEmpty())
            return std::nullopt;
        const Column& column = columns.first();
        const bool bounded = column.type == SQL_CHAR || column.type == SQL_VARCHAR
            || column.type == SQL_WCHAR || column.type == SQL_WVARCHAR;
        if (!bounded || column.size == 0 || column.size > SQLULEN(std::numeric_limits<int>::max()))
            return std::nullopt;
        return int(column.size);
    }

    void begin() override
    {
        if (m_dialect == Dialect::Sqlite) {
            // SQLite's driver would begin a deferred transaction, which takes the database's lock
            // only at its first write; the check before the copy must already hold it.
            execute({QStringLiteral("BEGIN IMMEDIATE"), {}});
        } else {
            checked(SQLSetConnectAttrW(m_handle, SQL_ATTR_AUTOCOMMIT,
                reinterpret_cast<SQLPOINTER>(SQLULEN(SQL_AUTOCOMMIT_OFF)), 0));
        }
        m_inTransaction = true;
    }

    void commit() override
    {
        if (m_dialect == Dialect::Sqlite) {
            execute({QStringLiteral("COMMIT"), {}});
        } else {
            checked(SQLEndTran(SQL_HANDLE_DBC, m_handle, SQL_COMMIT));
            autoCommit();
        }
        m_inTransaction = false;
    }

    void rollback() noexcept override
    {
        m_inTransaction = false;
        if (m_dialect == Dialect::Sqlite) {
            try {
                Cursor(m_handle, m_running, m_context).executeDirect(QStringLiteral("ROLLBACK"));
            } catch (...) {
                // Nothing was left to roll back, or the connection is gone.
            }
            return;
        }
        SQLEndTran(SQL_HANDLE_DBC, m_handle, SQL_ROLLBACK);
        try {
            autoCommit();
        } catch (...) {
            // The connection is gone; nothing more will run on it.
        }
    }

    // From another thread: SQLCancel is the one call ODBC lets run beside the statement's own.
    bool cancel() noexcept override { return m_running.cancel(); }

private:
    SQLRETURN checked(SQLRETURN rc) const { return check(rc, SQL_HANDLE_DBC, m_handle, m_context); }

    // Whether text read as bytes comes as UTF-8 on this connection, as it does through MariaDB's
    // driver with a UTF-8 character set: then it is taken as sent, where the driver's own
    // conversion to UTF-16 costs four times the rest of the read. Asked once, of the server, with
    // a letter no other character set gives those bytes for (one that has no such letter makes
    // the driver refuse it). Other sources keep UTF-16: psqlODBC, for one, drops the last byte
    // of text read as bytes in pieces.
    bool textComesAsUtf8()
    {
        if (m_dialect != Dialect::MariaDb)
            return false;
        if (!m_utf8Text) {
            const QString probe = QString::fromUtf16(u"\u00f1");
            try {
                Cursor cursor(m_handle, m_running, m_context);
                cursor.bind({probe});
                cursor.executeDirect(QStringLiteral("SELECT ?"));
                QByteArray sent;
                m_utf8Text = cursor.fetch() && cursor.read(1, SQL_C_BINARY, sent)
                    && sent == probe.toUtf8();
            } catch (const Failure&) {
                // Whatever else went wrong meets the read that follows.
                m_utf8Text = false;
            }
        }
        return *m_utf8Text;
    }

    void autoCommit()
    {
        checked(SQLSetConnectAttrW(m_handle, SQL_ATTR_AUTOCOMMIT,
            reinterpret_cast<SQLPOINTER>(SQLULEN(SQL_AUTOCOMMIT_ON)), 0));
    }

    QString info(SQLUSMALLINT type)
    {
        SQLWCHAR text[256] = {};
        SQLSMALLINT length = 0;
        checked(SQLGetInfoW(m_handle, type, text, SQLSMALLINT(sizeof text), &length));
        return fromWide(text,
            std::min<qsizetype>(
                length / qsizetype(sizeof(SQLWCHAR)), qsizetype(std::size(text)) - 1));
    }

    Connection m_connection;
    SQLHDBC m_handle;
    QString m_context;
    Dialect m_dialect;
    bool m_inTransaction = false;
    std::optional<bool> m_utf8Text;
    RunningStatement m_running;
};

} // namespace

QString dataSourceDriver(const QString& name)
{
    const SQLHENV env = environment();
    SQLWCHAR source[SQL_MAX_DSN_LENGTH + 1];
    SQLWCHAR description[512];
    SQLSMALLINT sourceLength = 0;
    SQLSMALLINT descriptionLength = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    while (SQL_SUCCEEDED(SQLDataSourcesW(env, direction, source, SQLSMALLINT(std::size(source)),
        &sourceLength, description, SQLSMALLINT(std::size(description)), &descriptionLength))) {
        direction = SQL_FETCH_NEXT;
        const QString found
            = fromWide(source, std::min<qsizetype>(sourceLength, qsizetype(std::size(source)) - 1));
        // Data source names are not told apart by case.
        if (found.compare(name, Qt::CaseInsensitive) != 0)
            continue;
        // The list is left part-read: the next SQL_FETCH_FIRST starts it again.
        return fromWide(description,
            std::min<qsizetype>(descriptionLength, qsizetype(std::size(description)) - 1));
    }
    return QString();
}

std::unique_ptr<Session> connectOdbc(
    const QString& connectionString, const OdbcConnectOptions& options)
{
    return std::make_unique<OdbcSession>(connectionString, options);
}

std::unique_ptr<Session> connectWithFirstDriver(const QStringList& drivers,
    const std::function<QString(const QString& driver)>& connectionString,
    const OdbcConnectOptions& options, bool nextOnRefusal)
{
    const QStringList installed = installedDrivers();
    std::optional<EngineFailure> refusal;
    for (const QString& driver : drivers) {
        if (!installed.contains(driver, Qt::CaseInsensitive))
            continue;
        try {
            return connectOdbc(connectionString(driver), options);
        } catch (const EngineFailure& failure) {
            // Listed, but its library cannot be loaded: Windows' driver manager says IM003,
            // unixODBC (and Wine's, which hands the call to it) says so in words.
            const bool loads = !failure.states().contains(QLatin1String("IM003"))
                && !failure.text().contains(QLatin1String("Can't open lib"));
            if (loads && !nextOnRefusal)
                throw;
            if (loads && !refusal)
                refusal = failure;
        }
    }
    // The first driver's refusal is the one to show: the next ones were only tried after it.
    if (refusal)
        throw *refusal;
    return nullptr;
}

} // namespace duplivo
