#include <QByteArray>
#include <windows.h>

#include "app/fontengine.h"

namespace duplivo {

void chooseFontEngine()
{
    // Wine's ntdll exports wine_get_version; Windows' own never does.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!ntdll || !GetProcAddress(ntdll, "wine_get_version"))
        return;
    // A platform someone chose (a test's offscreen, an operator's own options) stays theirs.
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        return;
    // Only this process's environment: other programs in the prefix keep Qt's defaults.
    qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("windows:fontengine=freetype"));
}

} // namespace duplivo
