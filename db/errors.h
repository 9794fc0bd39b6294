// Failures of the database layer as the operator sees them: the numbers of failures found before
// an engine answers, and an engine's own errors with its number and every word it gave.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "base/failure.h"

namespace duplivo {

// Error numbers for failures found before the engine itself answers.
namespace DatabaseErrorNumber {
enum : int {
    FileNotFound = 3024,
    InvalidPath = 3044,
    CannotOpenFile = 3051,
    UnrecognizedFormat = 3343,
    ColumnNotFound = 3265,
    UnsafeSourceFile = 3033,
    NoCurrentRecord = 3021,
    // "Installable ISAM not found": no driver on this machine can write the Access file.
    AccessDriverMissing = 3170,
};
}

// A failure an engine reported, with the SQLSTATE of each of its records where it gave them.
class EngineFailure final : public Failure
{
public:
    EngineFailure(int number, const QString& text, QStringList states = {})
        : Failure(number, text)
        , m_states(std::move(states))
    { }

    const QStringList& states() const { return m_states; }

private:
    QStringList m_states;
};

// One record of what an ODBC driver (or its driver manager) said about a call.
struct Diagnostic
{
    QString state;
    int native = 0;
    QString text;
};

// The records as one failure: the number is the first non-zero native code, so that a driver
// manager's own record (which has none) does not hide the engine's; the text holds every record
// with its SQLSTATE. Where there is no text, `context` says what failed.
[[noreturn]] void throwDiagnostics(const QList<Diagnostic>& records, const QString& context);

} // namespace duplivo
