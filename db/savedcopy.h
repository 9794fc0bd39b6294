// The copy Duplivo keeps of every block it deletes: one SQLite file per program deleted, holding
// its rows exactly as they were stored, the table's columns, and where and when they came from.
#pragma once

#include <stdexcept>
#include <utility>
#include <vector>

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariantList>

#include "db/session.h"
#include "db/sqlitevalue.h"

struct sqlite3;

namespace duplivo {

// What a saved copy says of itself.
struct SavedCopyOrigin
{
    // The database, in words: its path, or its ODBC driver, server and database; never a
    // password.
    QString database;
    QString company;
    QString program;
    QString table;
    QDateTime deleted;
    qint64 rows = 0;
};

// A copy that could not be written, with the system's words for why; nothing was deleted.
class SaveFailure final : public std::runtime_error
{
public:
    explicit SaveFailure(const QString& text)
        : std::runtime_error(text.toStdString())
        , m_text(text)
    { }
    const QString& text() const { return m_text; }

private:
    QString m_text;
};

// Writes the copy of a block about to be deleted into a new file of `folder`, row by row, in one
// transaction. The file is complete, and on disk, once keep() returns; a copy that was not kept,
// or was discarded, is removed.
class SavedCopyWriter
{
public:
    SavedCopyWriter(const QString& folder, SavedCopyOrigin origin);
    ~SavedCopyWriter();
    SavedCopyWriter(const SavedCopyWriter&) = delete;
    SavedCopyWriter& operator=(const SavedCopyWriter&) = delete;

    // The columns, before any row. Where the rows' text comes as UTF-16, the file keeps it so.
    void columns(const QList<ColumnDescription>& columns, bool wideText = false);
    // The current row of a statement of SQLite's own, each value as SQLite holds it.
    void row(sqlite3_stmt* source);
    // A row value by value, in SQLite's own types, then endRow(). Each value is copied: what it
    // was read into may take the next one.
    void nullValue(int column);
    void integerValue(int column, qint64 value);
    void realValue(int column, double value);
    void textValue(int column, const char16_t* text, qsizetype length);
    void utf8TextValue(int column, const char* text, qsizetype length);
    void bytesValue(int column, const char* bytes, qsizetype length);
    void endRow();
    qint64 rows() const { return m_rows; }
    void keep();
    // The delete it was kept for did not happen.
    void discard() noexcept;
    const QString& path() const { return m_path; }

private:
    [[noreturn]] void fail(const QString& what) const;
    void bound(int result) const;
    void run(const QString& sql) const;
    // Runs `sql` once for each of `rows`, binding its values in turn.
    void insertEach(const QString& sql, const QList<QVariantList>& rows) const;
    void close() noexcept;

    // A value of a row not yet written.
    struct Pending
    {
        enum Kind { Null, Integer, Real, Utf16Text, Utf8Text, Bytes } kind = Null;
        qint64 integer = 0;
        double real = 0;
        QByteArray bytes;
    };
    Pending& pending(int column, Pending::Kind kind);
    void setBytes(Pending& value, const char* bytes, qsizetype length);
    // Binds the pending row `row` to `insert`'s markers from `firstMarker` on.
    void bindPending(sqlite3_stmt* insert, int row, int firstMarker) const;
    // Runs `insert` with what is bound to it, and readies it for the next.
    void write(sqlite3_stmt* insert) const;

    QString m_path;
    SavedCopyOrigin m_origin;
    sqlite3* m_db = nullptr;
    // Rows go in several to a statement, which takes half the time of one each; the last few
    // go one by one.
    sqlite::Prepared m_insertMany;
    sqlite::Prepared m_insertOne;
    int m_columns = 0;
    int m_rowsPerInsert = 1;
    std::vector<Pending> m_pending;
    int m_pendingRows = 0;
    qint64 m_rows = 0;
    bool m_kept = false;
};

struct SavedCopy
{
    QString path;
    SavedCopyOrigin origin;
    QList<ColumnDescription> columns;
    QList<QVariantList> rows;
};

// The whole saved copy at `path`; with `withRows` false, only what it says of itself. Throws a
// Failure for a file that is not a complete saved copy.
SavedCopy readSavedCopy(const QString& path, bool withRows = true);
// Every complete saved copy in the folder, oldest first, without its rows; the files that are
// not one, with why.
std::pair<QList<SavedCopy>, QStringList> listSavedCopies(const QString& folder);

} // namespace duplivo
