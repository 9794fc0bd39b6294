// What the program reads of a table's declared schema, each dialect from its own catalogue: the
// indexes a list can step through, how long a text column's values may be, and whether a
// rolled-back transaction undoes every write to the table.
#pragma once

#include <optional>

#include <QList>
#include <QStringList>

#include "db/session.h"

namespace duplivo::schema {

// The query that reads the keys of the table's indexes: rows of (index, key column) in key
// order, a key the engine could not seek by the column's own comparison without a name. Nothing
// for dialects whose indexes the program does not read.
std::optional<Statement> indexKeysQuery(Dialect dialect, const QString& table);

// Each usable index of the table as its key columns in order, as far as they are plain columns.
QList<QStringList> seekableIndexes(Session& session, const QString& table);

// How many of `columns`, in order, lead one of the indexes.
int leadingColumns(Dialect dialect, const QList<QStringList>& indexes, const QStringList& columns);

// The most characters a value of the text column may hold: nothing for unbounded text.
std::optional<int> textLength(Session& session, const QString& table, const QString& column);
// The query that reads it from the dialect's catalogue; on Access and other sources, a select of
// the column whose result the driver describes.
Statement textLengthQuery(Dialect dialect, const QString& table, const QString& column);

// Whether rolling back a transaction undoes every write it made to the table. Not on Access,
// whose engine commits part of a long transaction, nor on a table whose engine has no
// transactions, nor where the program cannot tell.
bool undoesWrites(Session& session, const QString& table);
// The query that tells, where the engine has tables without transactions (MariaDB): a row when
// the table's has them.
std::optional<Statement> transactionsQuery(Dialect dialect, const QString& table);

} // namespace duplivo::schema
