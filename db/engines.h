// Opening a QtSql connection for each kind of database file the program recognises.
#pragma once

#include <QString>

class QSqlError;

namespace duplivo {

// Error numbers for failures found before the engine itself answers.
namespace DatabaseErrorNumber {
enum : int {
    FileNotFound = 3024,
    InvalidPath = 3044,
    CannotOpenFile = 3051,
    UnrecognizedFormat = 3343,
    ColumnNotFound = 3265,
    OdbcUnavailable = 3423,
    UnsafeSourceFile = 3033,
    NoCurrentRecord = 3021,
    // "Installable ISAM not found": no driver on this machine can write the Access file.
    AccessDriverMissing = 3170,
};
}

// The engine's number and text. Where the engine gave no text, `context` says what failed, so
// that no failure reaches the operator without one.
[[noreturn]] void throwSqlError(const QSqlError& error, const QString& context = QString());

struct OdbcSource;

// Adds and opens the connection `name` on the SQLite file `file`, read and write; a file that is
// not there is never created.
void openSqliteConnection(const QString& name, const QString& file);

// Adds and opens the connection `name` through Qt's ODBC driver, on a source read from the file
// DSN `fileDsn` (if any). Gives up after ten seconds when the source does not answer.
void openOdbcConnection(const QString& name, const OdbcSource& source, const QString& windowsPath,
    const QString& fileDsn = QString());

// Adds and opens the connection `name` on a Jet/ACE file through the Access ODBC driver, where
// this platform has one; never writes the file otherwise.
void openJetConnection(const QString& name, const QString& file, const QString& windowsPath);

} // namespace duplivo
