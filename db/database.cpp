#include "db/database.h"

#include <algorithm>
#include <cstring>

#include <QCryptographicHash>

#include "db/errors.h"
#include "db/schema.h"

namespace duplivo {

namespace {

// A stable 64-bit key for what a statement looks for, the same in every process.
qint64 lockKey(const Statement& statement)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(statement.text.toUtf8());
    for (const QVariant& value : statement.values) {
        hash.addData(QByteArrayView("\x1f", 1));
        hash.addData(value.toString().toUtf8());
    }
    qint64 key = 0;
    const QByteArray digest = hash.result();
    std::memcpy(&key, digest.constData(), sizeof key);
    return key;
}

QString lockName(const Statement& check)
{
    return QStringLiteral("duplivo-%1").arg(quint64(lockKey(check)), 16, 16, QLatin1Char('0'));
}

} // namespace

ResultSet::ResultSet(QStringList columns, QList<QVariantList> rows)
    : m_columns(std::move(columns))
    , m_rows(std::move(rows))
{ }

QVariant ResultSet::field(const QString& column) const
{
    const auto found = std::find_if(m_columns.cbegin(), m_columns.cend(),
        [&](const QString& name) { return name.compare(column, Qt::CaseInsensitive) == 0; });
    if (found == m_columns.cend())
        throw Failure(DatabaseErrorNumber::ColumnNotFound,
            QStringLiteral("No se encuentra la columna '%1' en el resultado.").arg(column));
    if (atEnd())
        throw Failure(DatabaseErrorNumber::NoCurrentRecord,
            QStringLiteral("No hay registro actual para leer '%1'.").arg(column));
    return m_rows.at(m_current).at(found - m_columns.cbegin());
}

DatabaseConnection::DatabaseConnection(Engine engine, std::unique_ptr<Session> session)
    : m_engine(engine)
    , m_session(std::move(session))
{
    setUpSession();
}

DatabaseConnection::~DatabaseConnection() = default;

void DatabaseConnection::setUpSession()
{
    switch (dialect()) {
    case Dialect::Sqlite:
        m_copyForm = CopyForm::InsertSelect;
        // Behind an ODBC driver: reads the schema now, as a file opened directly is, so that a
        // damaged file fails here rather than at a later statement.
        if (m_engine == Engine::Odbc)
            m_session->hasRow({QStringLiteral("PRAGMA schema_version"), {}});
        break;
    case Dialect::PostgreSql:
        m_copyForm = CopyForm::InsertSelect;
        // Every statement of the session, not only the copy, waits ten seconds for another
        // program's lock, as SQLite's busy timeout does.
        m_session->execute({QStringLiteral("SET lock_timeout = '10s'"), {}});
        break;
    case Dialect::MariaDb:
        m_copyForm = CopyForm::InsertSelect;
        // The same for row locks and for a table another session is changing.
        m_session->execute({QStringLiteral("SET SESSION innodb_lock_wait_timeout = 10, "
                                           "lock_wait_timeout = 10"),
            {}});
        break;
    case Dialect::Access:
    case Dialect::Other:
        break;
    }
}

std::shared_ptr<ResultSet> DatabaseConnection::openSnapshot(const Statement& select)
{
    return std::make_shared<ResultSet>(m_session->select(select));
}

qint64 DatabaseConnection::execute(const Statement& action)
{
    return m_session->execute(action);
}

int DatabaseConnection::indexedLeadingColumns(const QString& table, const QStringList& columns)
{
    auto known = m_indexes.find(table);
    if (known == m_indexes.end())
        known = m_indexes.insert(table, schema::seekableIndexes(*m_session, table));
    return schema::leadingColumns(dialect(), *known, columns);
}

std::optional<int> DatabaseConnection::textLength(const QString& table, const QString& column)
{
    const QString key = table + u'.' + column;
    auto known = m_textLengths.find(key);
    if (known == m_textLengths.end())
        known = m_textLengths.insert(key, schema::textLength(*m_session, table, column));
    return *known;
}

DatabaseConnection::BlockCopy DatabaseConnection::copyUnlessPresent(
    const Statement& check, const CopyStatements& copy)
{
    if (!m_undoesWrites)
        m_undoesWrites = schema::undoesWrites(*m_session, copy.table);
    lockBlock(check);
    BlockCopy outcome = BlockCopy::Copied;
    try {
        m_session->begin();
        if (dialect() == Dialect::PostgreSql || dialect() == Dialect::MariaDb) {
            // The check must see what another copy committed while this one waited for the
            // lock: under a server default of repeatable read or serializable, PostgreSQL's
            // snapshot would be the one taken when the lock statement began, before that commit.
            // On MariaDB the copy then reads its rows without locking them, and so keeps out of
            // the way of copies of other blocks.
            m_session->execute(
                {QStringLiteral("SET TRANSACTION ISOLATION LEVEL READ COMMITTED"), {}});
        }
        if (dialect() == Dialect::PostgreSql)
            m_session->hasRow(
                {QStringLiteral("SELECT pg_advisory_xact_lock(?)"), {lockKey(check)}});
        if (m_session->hasRow(check))
            outcome = BlockCopy::AlreadyPresent;
        else if (copyRows(check, copy) == 0)
            outcome = BlockCopy::NothingToCopy;
        if (outcome == BlockCopy::Copied)
            m_session->commit();
        else
            m_session->rollback();
    } catch (const Failure& failure) {
        m_session->rollback();
        QString text = failure.text();
        if (!*m_undoesWrites)
            text += removeWhatFailedCopyWrote(copy);
        unlockBlock(check);
        const auto* engine = dynamic_cast<const EngineFailure*>(&failure);
        throw EngineFailure(failure.number(), text, engine ? engine->states() : QStringList());
    } catch (...) {
        m_session->rollback();
        if (!*m_undoesWrites)
            removeWhatFailedCopyWrote(copy);
        unlockBlock(check);
        throw;
    }
    unlockBlock(check);
    return outcome;
}

qint64 DatabaseConnection::copyRows(const Statement& check, const CopyStatements& copy)
{
    switch (m_copyForm) {
    case CopyForm::InsertSelect:
        return m_session->execute(copy.insertSelect);
    case CopyForm::TryInsertSelect:
        try {
            return m_session->execute(copy.insertSelect);
        } catch (const Failure&) {
            // Refused with the block still absent: nothing was written, so the rows may go one
            // by one. (Drivers say "refused" in too many ways to tell it from the SQLSTATE.) A
            // failure that had written rows is the copy's.
            if (m_session->hasRow(check))
                throw;
        }
        m_copyForm = CopyForm::RowByRow;
        break;
    case CopyForm::RowByRow:
        break;
    }
    return m_session->appendRows(copy.readRows, copy.appendRow);
}

void DatabaseConnection::lockBlock(const Statement& check)
{
    if (dialect() != Dialect::MariaDb)
        return;
    // A lock of the session, not of the transaction: taken before the transaction starts, so
    // that the transaction's first read already sees what the holder before committed.
    ResultSet granted
        = m_session->select({QStringLiteral("SELECT GET_LOCK(?, 10)"), {lockName(check)}});
    granted.moveFirst();
    if (granted.atEnd() || granted.row().value(0).toInt() != 1)
        throw EngineFailure(0,
            QStringLiteral("Otro programa está copiando los mismos datos y no ha terminado en "
                           "diez segundos."));
}

void DatabaseConnection::unlockBlock(const Statement& check) noexcept
{
    if (dialect() != Dialect::MariaDb)
        return;
    try {
        m_session->select({QStringLiteral("SELECT RELEASE_LOCK(?)"), {lockName(check)}});
    } catch (...) {
        // The lock ends with the session anyway.
    }
}

QString DatabaseConnection::removeWhatFailedCopyWrote(const CopyStatements& copy) noexcept
{
    // The check found the block absent in this same transaction, so every row of it now is one
    // the failed copy wrote.
    try {
        m_session->execute(copy.removeCopied);
        return QString();
    } catch (const Failure& failure) {
        return QStringLiteral("\r\n\r\nNo se han podido borrar las filas que la copia había "
                              "escrito antes del error:\r\n")
            + failure.text();
    } catch (...) {
        return QStringLiteral("\r\n\r\nNo se han podido borrar las filas que la copia había "
                              "escrito antes del error.");
    }
}

} // namespace duplivo
