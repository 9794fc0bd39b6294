#include "db/schema.h"

#include <algorithm>

namespace duplivo::schema {

std::optional<Statement> indexKeysQuery(Dialect dialect, const QString& table)
{
    switch (dialect) {
    case Dialect::Sqlite:
        // A partial index holds only some rows. An index with a collation of its own (or, for a
        // constraint's index, a table with one anywhere) may not compare as the column does,
        // and a seek by the column's comparison could not use it.
        return Statement {
            QStringLiteral(
                "SELECT il.name, ix.name FROM pragma_index_list(?) AS il "
                "JOIN pragma_index_xinfo(il.name) AS ix "
                "LEFT JOIN sqlite_master AS idx ON idx.type = 'index' AND idx.name = il.name "
                "LEFT JOIN sqlite_master AS tbl ON tbl.type = 'table' "
                "AND tbl.name = ? COLLATE NOCASE "
                "WHERE il.partial = 0 AND ix.key = 1 "
                "AND coalesce(idx.sql, tbl.sql) NOT LIKE '%collate%' "
                "ORDER BY il.name, ix.seqno"),
            {table, table}};
    case Dialect::PostgreSql:
        // Only valid, whole b-tree indexes on text columns, each key with the column's own
        // collation and its type's default ordering.
        return Statement {
            QStringLiteral(
                "SELECT i.indexrelid::bigint, a.attname::text FROM pg_index AS i "
                "JOIN pg_class AS c ON c.oid = i.indexrelid "
                "JOIN pg_am AS m ON m.oid = c.relam "
                "CROSS JOIN LATERAL generate_series(1, i.indnkeyatts) AS k(n) "
                "LEFT JOIN pg_attribute AS a ON a.attrelid = i.indrelid "
                "AND a.attnum = i.indkey[k.n - 1] "
                "AND a.atttypid IN ('text'::regtype, 'varchar'::regtype, 'bpchar'::regtype) "
                "AND a.attcollation = i.indcollation[k.n - 1] "
                "AND EXISTS (SELECT 1 FROM pg_opclass AS o "
                "WHERE o.oid = i.indclass[k.n - 1] AND o.opcdefault) "
                "WHERE i.indrelid = to_regclass(CAST(? AS text)) AND m.amname = 'btree' "
                "AND i.indisvalid AND i.indpred IS NULL "
                "ORDER BY 1, k.n"),
            {table}};
    case Dialect::MariaDb:
    case Dialect::Access:
    case Dialect::Other:
        break;
    }
    return std::nullopt;
}

QList<QStringList> seekableIndexes(Session& session, const QString& table)
{
    const std::optional<Statement> keys = indexKeysQuery(session.dialect(), table);
    if (!keys)
        return {};
    ResultSet rows = session.select(*keys);
    QList<QStringList> indexes;
    QVariant current;
    for (rows.moveFirst(); !rows.atEnd(); rows.moveNext()) {
        const QVariantList& row = rows.row();
        if (indexes.isEmpty() || row[0] != current) {
            indexes.append(QStringList());
            current = row[0];
        }
        indexes.last().append(row[1].isNull() ? QString() : row[1].toString());
    }
    // A nameless key ends what the index can be sought by.
    for (QStringList& index : indexes) {
        const qsizetype end = index.indexOf(QString());
        if (end >= 0)
            index.resize(end);
    }
    return indexes;
}

int leadingColumns(Dialect dialect, const QList<QStringList>& indexes, const QStringList& columns)
{
    // SQLite matches names without regard to case; PostgreSQL folds the unquoted names the
    // statements use to lower case.
    const auto sameName = [dialect](const QString& key, const QString& column) {
        return dialect == Dialect::Sqlite ? key.compare(column, Qt::CaseInsensitive) == 0
                                          : key == column.toLower();
    };
    int best = 0;
    for (const QStringList& keys : indexes) {
        int matched = 0;
        while (matched < columns.size() && matched < keys.size()
            && sameName(keys[matched], columns[matched]))
            ++matched;
        best = std::max(best, matched);
    }
    return best;
}

Statement textLengthQuery(Dialect dialect, const QString& table, const QString& column)
{
    switch (dialect) {
    case Dialect::Sqlite:
        // SQLite keeps any length, but the length a text type declares is what other programs
        // reading the file expect.
        return {
            QStringLiteral("SELECT type FROM pragma_table_info(?) WHERE name = ? COLLATE NOCASE"),
            {table, column}};
    case Dialect::PostgreSql:
        return {QStringLiteral("SELECT a.atttypmod - 4 FROM pg_attribute AS a "
                               "WHERE a.attrelid = to_regclass(CAST(? AS text)) "
                               "AND a.attname = lower(?) AND NOT a.attisdropped "
                               "AND a.atttypid IN ('varchar'::regtype, 'bpchar'::regtype) "
                               "AND a.atttypmod > 4"),
            {table, column}};
    case Dialect::MariaDb:
        return {QStringLiteral("SELECT CHARACTER_MAXIMUM_LENGTH FROM information_schema.COLUMNS "
                               "WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = ? "
                               "AND COLUMN_NAME = ? AND DATA_TYPE IN ('char', 'varchar')"),
            {table, column}};
    case Dialect::Access:
    case Dialect::Other:
        break;
    }
    // The column as the driver describes it. The names are the program's own, never the
    // operator's.
    return {QStringLiteral("SELECT %1 FROM %2 WHERE 1 = 0").arg(column, table), {}};
}

namespace {

// The length a SQLite column's declared type gives its text: CHAR, CLOB or TEXT (VARCHAR,
// NCHAR… too) followed by a number in brackets, blanks allowed around it. Read by hand, not with
// a regular expression: the copies run on a thread of their own, and under Wine PCRE2's JIT
// crashed compiling this pattern on a copy's thread.
std::optional<int> declaredTextLength(const QString& type)
{
    const auto blanks = [&type](qsizetype at) {
        while (at < type.size() && type[at].isSpace())
            ++at;
        return at;
    };
    for (qsizetype start = 0; start < type.size(); ++start) {
        const QStringView rest = QStringView(type).mid(start);
        if (!rest.startsWith(u"CHAR", Qt::CaseInsensitive)
            && !rest.startsWith(u"CLOB", Qt::CaseInsensitive)
            && !rest.startsWith(u"TEXT", Qt::CaseInsensitive))
            continue;
        qsizetype at = blanks(start + 4);
        if (at >= type.size() || type[at] != u'(')
            continue;
        const qsizetype digits = at = blanks(at + 1);
        while (at < type.size() && type[at].isDigit())
            ++at;
        const qsizetype end = blanks(at);
        if (at > digits && end < type.size() && type[end] == u')')
            return QStringView(type).mid(digits, at - digits).toInt();
    }
    return std::nullopt;
}

} // namespace

std::optional<int> textLength(Session& session, const QString& table, const QString& column)
{
    const Statement query = textLengthQuery(session.dialect(), table, column);
    if (session.dialect() == Dialect::Access || session.dialect() == Dialect::Other)
        return session.describedTextLength(query);
    ResultSet rows = session.select(query);
    if (!rows.hasRows())
        return std::nullopt;
    rows.moveFirst();
    const QVariant value = rows.row().value(0);
    if (session.dialect() == Dialect::Sqlite)
        return declaredTextLength(value.toString());
    bool number = false;
    const int length = value.toInt(&number);
    return number && length > 0 ? std::optional<int>(length) : std::nullopt;
}

bool undoesWrites(Session& session, const QString& table)
{
    switch (session.dialect()) {
    case Dialect::Sqlite:
    case Dialect::PostgreSql:
        return true;
    case Dialect::MariaDb:
        return session.hasRow(*transactionsQuery(Dialect::MariaDb, table));
    case Dialect::Access:
    case Dialect::Other:
        break;
    }
    return false;
}

std::optional<Statement> transactionsQuery(Dialect dialect, const QString& table)
{
    if (dialect != Dialect::MariaDb)
        return std::nullopt;
    return Statement {QStringLiteral("SELECT 1 FROM information_schema.TABLES AS t "
                                     "JOIN information_schema.ENGINES AS e ON e.ENGINE = t.ENGINE "
                                     "WHERE t.TABLE_SCHEMA = DATABASE() AND t.TABLE_NAME = ? "
                                     "AND e.TRANSACTIONS = 'YES'"),
        {table}};
}

} // namespace duplivo::schema
