#include <windows.h>

#include "app/commandline.h"

namespace duplivo {

namespace {

bool write(HANDLE handle, const QString& text)
{
    DWORD written = 0;
    // A console takes UTF-16 as it is; a file or a pipe gets UTF-8.
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode))
        return WriteConsoleW(handle, text.utf16(), DWORD(text.size()), &written, nullptr);
    const QByteArray bytes = text.toUtf8();
    return WriteFile(handle, bytes.constData(), DWORD(bytes.size()), &written, nullptr);
}

} // namespace

// A Windows program without a console of its own: its output goes where the one that started it
// sent it (a file, a pipe; Wine's terminal), or to the console window it was started from.
bool printToConsole(const QString& text)
{
    const QString line = text + QStringLiteral("\r\n");
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output && output != INVALID_HANDLE_VALUE && GetFileType(output) != FILE_TYPE_UNKNOWN)
        return write(output, line);
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return false;
    const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE)
        return false;
    // The console's prompt came back when the program started: the output begins on a line of
    // its own.
    const bool shown = write(console, QStringLiteral("\r\n") + line);
    CloseHandle(console);
    return shown;
}

} // namespace duplivo
