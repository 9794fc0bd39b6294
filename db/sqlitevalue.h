// Values between the program and SQLite's own library, each in its own type: what the SQLite
// sessions and the saved copies of deleted blocks both bind and read.
#pragma once

#include <memory>

#include <QVariant>

struct sqlite3;
struct sqlite3_stmt;

namespace duplivo::sqlite {

struct FinalizeStatement
{
    void operator()(sqlite3_stmt* statement) const;
};
// A statement, finalized when it goes.
using Prepared = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;
// `sql` prepared on `db`, with SQLite's result code; nothing where SQLite refuses it.
Prepared prepare(sqlite3* db, const QString& sql, int* result = nullptr);

// NULL, an integer, a float, text or bytes, as SQLite holds the column's value in this row.
QVariant columnValue(sqlite3_stmt* statement, int column);
// Binds a value in SQLite's type for it; SQLite's result code.
int bindValue(sqlite3_stmt* statement, int marker, const QVariant& value);

} // namespace duplivo::sqlite
