// The platform services the window's handlers use, as small interfaces so tests can script them.
#pragma once

#include <QString>

namespace duplivo {

// Read-only access to the per-user settings the installed business programs record.
class SettingsStore
{
public:
    virtual ~SettingsStore() = default;
    virtual QString get(const QString& application, const QString& section, const QString& key,
        const QString& defaultValue) const = 0;
};

namespace MessageStyle {
enum : int { Ok = 0, YesNo = 4, Critical = 16, Information = 64 };
}

namespace MessageAnswer {
enum : int { Ok = 1, Yes = 6, No = 7 };
}

// A modal message. Without a title the box carries the application's title; CRLF breaks lines.
class MessageBox
{
public:
    virtual ~MessageBox() = default;
    virtual int show(const QString& text, int style, const QString& title = QString()) = 0;
};

// Ends the process. The real one never returns; a test double records the status and returns.
class ProgramEnd
{
public:
    virtual ~ProgramEnd() = default;
    virtual void end(int status) = 0;
};

} // namespace duplivo
