// What the program does when a technician starts it with a command instead of for the window:
// puts a deleted block back from the copy kept of it, or lists those copies.
//
//     duplivo --restaurar ARCHIVO
//     duplivo --borrados
#pragma once

#include <optional>

#include <QString>
#include <QStringList>

namespace duplivo {

class SettingsStore;

struct CommandResult
{
    // 0 when the command did what it was asked; anything else leaves the database as it was.
    int status = 0;
    QString text;
};

// Whether the arguments (the program's own first) ask for one of the commands.
bool isCommand(const QStringList& arguments);
// Runs the command; nothing when the arguments are not one.
std::optional<CommandResult> runCommand(
    const QStringList& arguments, const SettingsStore& settings);

// Writes the text to the console the program was started from, where it has one; false where it
// has none (a Windows program started from its icon), and the text was not shown.
bool printToConsole(const QString& text);

} // namespace duplivo
