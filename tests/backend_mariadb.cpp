// The company database on a MariaDB server, written and read through its C client library.
#include <QCoreApplication>
#include <mysql.h>

#include "tests/backend.h"

namespace duplivo::test {

namespace {

class MariaDbBackend final : public CompanyDatabase::Backend
{
public:
    MariaDbBackend(const QString& companyType, const QString& claveType, const QString& cosaType)
    {
        static int serial = 0;
        m_name
            = QStringLiteral("duplivo_%1_%2").arg(QCoreApplication::applicationPid()).arg(++serial);
        m_db = connect();
        exec(QStringLiteral("CREATE DATABASE %1 CHARACTER SET utf8mb4").arg(m_name));
        exec(QStringLiteral("USE %1").arg(m_name));
        // Names compared exactly, as on the other engines: a binary collation with no padding.
        exec(QStringLiteral("CREATE TABLE GRANGUIA (Id INT AUTO_INCREMENT PRIMARY KEY, "
                            "Empresa %1, Aplica VARCHAR(255), clave %2, cosa %3, "
                            "Alta VARCHAR(40) NOT NULL DEFAULT 'por defecto') "
                            "ENGINE = InnoDB COLLATE utf8mb4_nopad_bin")
                 .arg(companyType, typeOrText(claveType), typeOrText(cosaType)));
        exec(QStringLiteral("CREATE INDEX GRANGUIA_Empresa_Aplica ON GRANGUIA (Empresa, Aplica)"));
    }
    ~MariaDbBackend() override
    {
        mysql_query(m_db, qPrintable(QStringLiteral("DROP DATABASE IF EXISTS %1").arg(m_name)));
        mysql_close(m_db);
    }

    void exec(const QString& sql) override
    {
        const QByteArray text = sql.toUtf8();
        if (mysql_real_query(m_db, text.constData(), text.size()) != 0)
            qFatal("%s: %s", text.constData(), mysql_error(m_db));
        // Every result of every statement, so that the connection is ready for the next.
        do {
            if (MYSQL_RES* result = mysql_store_result(m_db))
                mysql_free_result(result);
        } while (mysql_next_result(m_db) == 0);
        if (mysql_errno(m_db) != 0)
            qFatal("%s: %s", text.constData(), mysql_error(m_db));
    }

    QStringList rows(const QString& sql, const QVariantList& values) override
    {
        const QByteArray text = withValues(sql, values);
        if (mysql_real_query(m_db, text.constData(), text.size()) != 0)
            qFatal("%s: %s", text.constData(), mysql_error(m_db));
        MYSQL_RES* result = mysql_store_result(m_db);
        if (!result)
            qFatal("%s: %s", text.constData(), mysql_error(m_db));
        const unsigned int count = mysql_num_fields(result);
        const MYSQL_FIELD* fields = mysql_fetch_fields(result);
        QStringList rows;
        while (MYSQL_ROW row = mysql_fetch_row(result)) {
            const unsigned long* lengths = mysql_fetch_lengths(result);
            QStringList described;
            for (unsigned int column = 0; column < count; ++column)
                described << describe(fields[column], row[column], lengths[column]);
            rows << described.join(u'|');
        }
        mysql_free_result(result);
        return rows;
    }

    void insert(const QVariantList& values) override
    {
        exec(QString::fromUtf8(withValues(
            QStringLiteral(
                "INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) VALUES (?, ?, ?, ?)"),
            values)));
    }

    void onInsertOf(const QString& clave, const QString& action) override
    {
        exec(QString::fromUtf8(withValues(
            QStringLiteral("CREATE TRIGGER regla_%1 BEFORE INSERT ON GRANGUIA FOR EACH ROW "
                           "BEGIN IF NEW.clave = ? THEN %2; END IF; END")
                .arg(++m_rules)
                .arg(action),
            {clave})));
    }

    bool nothingLocked() override
    {
        // Only this database's sessions: other tests share the server.
        return rows(QStringLiteral("SELECT count(*) FROM information_schema.INNODB_TRX AS t "
                                   "JOIN information_schema.PROCESSLIST AS p "
                                   "ON p.ID = t.trx_mysql_thread_id "
                                   "WHERE p.DB = DATABASE() AND p.ID <> CONNECTION_ID()"),
                   {})
            == QStringList {QStringLiteral("int:0")};
    }

    QByteArray dsn() const
    {
        const auto keys = serverKeys("DUPLIVO_TEST_MARIADB");
        return QStringLiteral(
            "[ODBC]\r\nDRIVER=MariaDB Unicode\r\nSERVER=%1\r\nPORT=%2\r\nDATABASE=%3\r\n"
            "UID=%4\r\nPWD=%5\r\n")
            .arg(keys.value(QStringLiteral("SERVER")), keys.value(QStringLiteral("PORT")), m_name,
                keys.value(QStringLiteral("UID")), keys.value(QStringLiteral("PWD")))
            .toUtf8();
    }

private:
    static MYSQL* connect()
    {
        const auto keys = serverKeys("DUPLIVO_TEST_MARIADB");
        MYSQL* connection = mysql_init(nullptr);
        if (!mysql_real_connect(connection, qPrintable(keys.value(QStringLiteral("SERVER"))),
                qPrintable(keys.value(QStringLiteral("UID"))),
                qPrintable(keys.value(QStringLiteral("PWD"))), nullptr,
                keys.value(QStringLiteral("PORT")).toUInt(), nullptr, CLIENT_MULTI_STATEMENTS))
            qFatal("cannot reach MariaDB: %s", mysql_error(connection));
        mysql_set_character_set(connection, "utf8mb4");
        return connection;
    }

    // The statement with each '?' replaced by its value written as a literal the server reads
    // back exactly: text escaped, bytes in hexadecimal, numbers in full.
    QByteArray withValues(const QString& sql, const QVariantList& values) const
    {
        const QStringList pieces = sql.split(u'?');
        if (pieces.size() != values.size() + 1)
            qFatal("%s: %lld values", qPrintable(sql), qlonglong(values.size()));
        QByteArray text = pieces.first().toUtf8();
        for (qsizetype i = 0; i < values.size(); ++i) {
            const QVariant& value = values[i];
            if (value.isNull()) {
                text += "NULL";
            } else if (value.typeId() == QMetaType::QByteArray) {
                text += "X'" + value.toByteArray().toHex() + '\'';
            } else if (value.typeId() == QMetaType::Double) {
                text += QByteArray::number(value.toDouble(), 'g', 17);
            } else if (value.typeId() == QMetaType::Int || value.typeId() == QMetaType::LongLong) {
                text += QByteArray::number(value.toLongLong());
            } else {
                const QByteArray raw = value.toString().toUtf8();
                QByteArray escaped(raw.size() * 2 + 1, '\0');
                escaped.resize(qsizetype(
                    mysql_real_escape_string(m_db, escaped.data(), raw.constData(), raw.size())));
                text += '\'' + escaped + '\'';
            }
            text += pieces[i + 1].toUtf8();
        }
        return text;
    }

    static QString describe(const MYSQL_FIELD& field, const char* value, unsigned long length)
    {
        if (!value)
            return QStringLiteral("null");
        const QByteArray bytes(value, qsizetype(length));
        switch (field.type) {
        case MYSQL_TYPE_TINY:
        case MYSQL_TYPE_SHORT:
        case MYSQL_TYPE_INT24:
        case MYSQL_TYPE_LONG:
        case MYSQL_TYPE_LONGLONG:
            return QStringLiteral("int:") + QString::fromLatin1(bytes);
        case MYSQL_TYPE_FLOAT:
        case MYSQL_TYPE_DOUBLE:
            return QStringLiteral("real:") + QString::fromLatin1(bytes);
        case MYSQL_TYPE_NEWDECIMAL:
            return QStringLiteral("numeric:") + QString::fromLatin1(bytes);
        default:
            // Character set 63 is binary: bytes, not text.
            if (field.charsetnr == 63 && field.type != MYSQL_TYPE_DATETIME
                && field.type != MYSQL_TYPE_DATE && field.type != MYSQL_TYPE_TIME
                && field.type != MYSQL_TYPE_TIMESTAMP)
                return QStringLiteral("blob:") + QString::fromLatin1(bytes.toHex());
            return QStringLiteral("text:") + QString::fromUtf8(bytes);
        }
    }

    QString m_name;
    MYSQL* m_db = nullptr;
    int m_rules = 0;
};

} // namespace

std::unique_ptr<CompanyDatabase::Backend> makeMariaDbBackend(
    const QString& companyType, const QString& claveType, const QString& cosaType, QByteArray& dsn)
{
    auto backend = std::make_unique<MariaDbBackend>(companyType, claveType, cosaType);
    dsn = backend->dsn();
    return backend;
}

} // namespace duplivo::test
