#include "db/database.h"

#include <algorithm>

#include <QDir>
#include <QRandomGenerator>

#include "db/errors.h"
#include "db/savedcopy.h"
#include "db/schema.h"

namespace duplivo {

namespace {

// Characters a name of the copy's own is made of: letters and digits alone, so that no collation
// takes two of them as equal or pads them.
constexpr char stagingCharacters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
// The longest such name, and the prefix that tells a technician whose rows these are.
constexpr int stagingLength = 24;
const QString stagingPrefix = QStringLiteral("Duplivo ");
constexpr int leastRandom = 8;

const QString cannotRemove = QStringLiteral(
    "\r\n\r\nNo se han podido borrar las filas que la copia había escrito con el nombre "
    "provisional '%1' (programa %2). Bórrelas eligiendo la empresa '%1', ese programa y Borrar.");

} // namespace

Statement withValue(Statement statement, int index, const QVariant& value)
{
    statement.values[index] = value;
    return statement;
}

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

bool DatabaseConnection::undoesWrites(const QString& table)
{
    // Read at the first copy: a table's engine does not change under a running program.
    if (!m_undoesWrites)
        m_undoesWrites = schema::undoesWrites(*m_session, table);
    return *m_undoesWrites;
}

bool DatabaseConnection::requestStop() noexcept
{
    const std::lock_guard<std::mutex> guard(m_stopMutex);
    m_stop = true;
    return m_cancellable && m_session->cancel();
}

void DatabaseConnection::setCancellable(bool cancellable)
{
    // Once this returns, no cancel is under way: requestStop holds the same lock.
    const std::lock_guard<std::mutex> guard(m_stopMutex);
    m_cancellable = cancellable;
}

void DatabaseConnection::stopIfAsked()
{
    if (m_stop)
        throw WorkStopped();
}

RowProgress DatabaseConnection::rowProgress()
{
    return [this](qint64 done, qint64 total) {
        if (m_progress)
            m_progress(done, total);
        return !m_stop;
    };
}

DatabaseConnection::BlockCopy DatabaseConnection::copyUnlessPresent(
    const Statement& check, const CopyStatements& copy)
{
    return writeUnlessPresent(
        check, copy, [&](const QString& name) { return copyRows(check, copy, name); });
}

DatabaseConnection::BlockCopy DatabaseConnection::restoreUnlessPresent(const Statement& check,
    const CopyStatements& copy, const Statement& describe, const Statement& append,
    QList<QVariantList> rows, int nameAt)
{
    return writeUnlessPresent(check, copy, [&](const QString& name) {
        for (QVariantList& row : rows)
            row[nameAt] = name;
        return m_session->insertRows(describe, append, rows, rowProgress());
    });
}

DatabaseConnection::BlockCopy DatabaseConnection::writeUnlessPresent(const Statement& check,
    const CopyStatements& copy, const std::function<qint64(const QString& name)>& write)
{
    stopIfAsked();
    // Where a rollback cannot undo what the copy writes, it writes under a name no other
    // program's rows have, so that after a failure it knows exactly which rows are its own.
    const QString staging = undoesWrites(copy.table) ? QString() : stagingName(copy);
    const QString lock = lockBlock(copy);
    BlockCopy outcome = BlockCopy::Copied;
    // What has been sent that a rollback may not undo: rows under the staging name, and the
    // statement that renames them.
    bool wrote = false;
    bool renaming = false;
    setCancellable(true);
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
        if (dialect() == Dialect::PostgreSql && copy.blockLock)
            m_session->hasRow(*copy.blockLock);
        if (m_session->hasRow(check)) {
            outcome = BlockCopy::AlreadyPresent;
        } else {
            const QString name = staging.isNull() ? check.values.value(0).toString() : staging;
            wrote = true;
            qint64 written = write(name);
            // A driver that does not count (SQL Server with NOCOUNT says −1) is not taken at its
            // word for "nothing": the block is looked for.
            if (written < 0)
                written = m_session->hasRow(withValue(check, 0, name)) ? 1 : 0;
            if (written == 0)
                outcome = BlockCopy::NothingToCopy;
        }
        // From here a cancel could leave the rename or the commit half done where nothing
        // undoes it: a stop asked for before is honoured now, one asked for later waits.
        setCancellable(false);
        stopIfAsked();
        if (outcome == BlockCopy::Copied && !staging.isNull()) {
            renaming = true;
            m_session->execute(withValue(copy.rename, 1, staging));
        }
        if (outcome == BlockCopy::Copied)
            m_session->commit();
        else
            m_session->rollback();
    } catch (...) {
        // However the copy ended, no stop asked for now may cut its cleanup short.
        setCancellable(false);
        m_session->rollback();
        const QString left = wrote && !staging.isNull()
            ? removeWhatFailedCopyWrote(check, copy, staging, renaming)
            : QString();
        unlockBlock(lock);
        try {
            throw;
        } catch (const Failure& failure) {
            // A statement the operator's stop cancelled fails; what it wrote is gone.
            if (m_stop && left.isEmpty())
                throw WorkStopped();
            const auto* engine = dynamic_cast<const EngineFailure*>(&failure);
            throw EngineFailure(
                failure.number(), failure.text() + left, engine ? engine->states() : QStringList());
        } catch (const WorkStopped&) {
            if (!left.isEmpty())
                throw EngineFailure(0, QStringLiteral("Se ha detenido la copia.") + left);
            throw;
        }
    }
    unlockBlock(lock);
    return outcome;
}

qint64 DatabaseConnection::deleteBlock(const QString& table, const Statement& read,
    const Statement& remove, SavedCopyWriter& saved, const std::function<void()>& deleting)
{
    stopIfAsked();
    // Where a rollback would not undo it, a delete begun is let finish: a cancel could leave
    // half a block.
    const bool undoes = undoesWrites(table);
    // A MariaDB table without transactions (MyISAM, Aria) takes no row locks: the whole table is
    // held from the read to the delete, or another program's rows written meanwhile would be
    // deleted without a copy. (LOCK TABLES ends any transaction; it comes first.)
    const bool holdsTable = !undoes && dialect() == Dialect::MariaDb;
    setCancellable(true);
    bool removing = false;
    qint64 deleted = 0;
    try {
        if (holdsTable)
            m_session->execute({QStringLiteral("LOCK TABLES `%1` WRITE")
                                    .arg(QString(table).replace(u'`', QStringLiteral("``"))),
                {}});
        m_session->begin();
        // The delete must remove exactly the rows saved: on PostgreSQL it sees the snapshot the
        // read saw (a row changed since fails it); on MariaDB the read locks the rows it reads,
        // and the gaps between them (see granguia::blockRows); SQLite's transaction already
        // holds the database's write lock.
        if (dialect() == Dialect::PostgreSql)
            m_session->execute(
                {QStringLiteral("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ"), {}});
        m_session->saveRows(read, saved, [this] { return !m_stop; });
        saved.keep();
        if (deleting)
            deleting();
        setCancellable(undoes);
        removing = true;
        deleted = m_session->execute(remove);
        setCancellable(false);
        if (undoes)
            stopIfAsked();
        // Another program's rows, written between the read and the delete where nothing kept
        // them out, would go without a copy: where a rollback undoes the delete, nothing is
        // deleted; where it may not (Access), the operator is also told where the copy is.
        if (deleted != saved.rows())
            throw EngineFailure(0,
                QStringLiteral("El bloque ha cambiado mientras se guardaba su copia (%1 filas "
                               "guardadas, %2 por borrar)%3")
                    .arg(saved.rows())
                    .arg(deleted)
                    .arg(
                        undoes ? QStringLiteral(": no se ha borrado nada.") : QStringLiteral(".")));
        m_session->commit();
        // Nothing deleted, nothing to keep.
        if (deleted == 0)
            saved.discard();
    } catch (const Failure& failure) {
        setCancellable(false);
        m_session->rollback();
        releaseTables(holdsTable);
        // A delete that a rollback undid leaves nothing to restore; one that may have removed
        // rows keeps their copy.
        if (undoes || !removing)
            saved.discard();
        // A statement the stop cancelled fails: a stop, where nothing is deleted.
        if (m_stop && (undoes || !removing))
            throw WorkStopped();
        if (!undoes && removing)
            throw EngineFailure(failure.number(),
                failure.text()
                    + QStringLiteral("\r\n\r\nPuede que parte de los datos se haya borrado; "
                                     "su copia está en '%1'.")
                          .arg(QDir::toNativeSeparators(saved.path())));
        throw;
    } catch (...) {
        setCancellable(false);
        m_session->rollback();
        releaseTables(holdsTable);
        if (undoes || !removing)
            saved.discard();
        throw;
    }
    releaseTables(holdsTable);
    return deleted;
}

void DatabaseConnection::releaseTables(bool held) noexcept
{
    if (!held)
        return;
    try {
        m_session->execute({QStringLiteral("UNLOCK TABLES"), {}});
    } catch (...) {
        // The connection is gone, and its locks with it.
    }
}

qint64 DatabaseConnection::copyRows(
    const Statement& check, const CopyStatements& copy, const QString& name)
{
    switch (m_copyForm) {
    case CopyForm::InsertSelect:
        return m_session->execute(withValue(copy.insertSelect, 0, name));
    case CopyForm::TryInsertSelect:
        try {
            return m_session->execute(withValue(copy.insertSelect, 0, name));
        } catch (const Failure&) {
            // Refused with the block still absent: nothing was written, so the rows may go one
            // by one. (Drivers say "refused" in too many ways to tell it from the SQLSTATE.) A
            // failure that had written rows is the copy's; so is one whose look fails, and the
            // driver's refusal is what the operator is shown.
            bool written = true;
            try {
                written = m_session->hasRow(withValue(check, 0, name));
            } catch (...) { }
            if (written)
                throw;
        }
        m_copyForm = CopyForm::RowByRow;
        break;
    case CopyForm::RowByRow:
        break;
    }
    return m_session->appendRows(copy.readRows, withValue(copy.appendRow, 0, name), rowProgress());
}

QString DatabaseConnection::stagingName(const CopyStatements& copy)
{
    const int room
        = std::min(textLength(copy.table, copy.nameColumn).value_or(stagingLength), stagingLength);
    QString name = room - int(stagingPrefix.size()) >= leastRandom ? stagingPrefix : QString();
    QRandomGenerator* random = QRandomGenerator::system();
    while (name.size() < std::max(room, 1))
        name += QLatin1Char(stagingCharacters[random->bounded(int(sizeof stagingCharacters) - 1)]);
    return name;
}

QString DatabaseConnection::lockBlock(const CopyStatements& copy)
{
    if (dialect() != Dialect::MariaDb || !copy.blockLock)
        return QString();
    // A lock of the session, not of the transaction: taken before the transaction starts, so
    // that the transaction's first read already sees what the holder before committed.
    ResultSet named = m_session->select(*copy.blockLock);
    named.moveFirst();
    const QString name = named.atEnd() ? QString() : named.row().value(0).toString();
    ResultSet granted = m_session->select({QStringLiteral("SELECT GET_LOCK(?, 10)"), {name}});
    granted.moveFirst();
    if (name.isEmpty() || granted.atEnd() || granted.row().value(0).toInt() != 1)
        throw EngineFailure(0,
            QStringLiteral("Otro programa está copiando los mismos datos y no ha terminado en "
                           "diez segundos."));
    return name;
}

void DatabaseConnection::unlockBlock(const QString& name) noexcept
{
    if (name.isEmpty())
        return;
    try {
        m_session->select({QStringLiteral("SELECT RELEASE_LOCK(?)"), {name}});
    } catch (...) {
        // The lock ends with the session anyway.
    }
}

QString DatabaseConnection::removeWhatFailedCopyWrote(const Statement& check,
    const CopyStatements& copy, const QString& staging, bool renaming) noexcept
{
    const QString program = copy.removeWritten.values.value(1).toString();
    try {
        // Every row under the staging name is this copy's: no other program has that name. A
        // server's cancel arrives on a connection of its own, and may still find this statement
        // running; once is enough to try again.
        const Statement remove = withValue(copy.removeWritten, 0, staging);
        try {
            m_session->execute(remove);
        } catch (const Failure&) {
            if (!m_stop)
                throw;
            m_session->execute(remove);
        }
        // The rename is one statement, but an engine without transactions may have given part
        // of the rows the new name before it failed; those cannot be told from rows another
        // program wrote under that name since the check.
        if (renaming && m_session->hasRow(check))
            return QStringLiteral("\r\n\r\nPuede que parte de la copia haya quedado con el "
                                  "nombre nuevo: revise los datos de %1 de la empresa %2.")
                .arg(program, check.values.value(0).toString());
        return QString();
    } catch (const Failure& failure) {
        return cannotRemove.arg(staging, program) + QStringLiteral("\r\n") + failure.text();
    } catch (...) {
        return cannotRemove.arg(staging, program);
    }
}

} // namespace duplivo
