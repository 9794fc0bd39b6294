// Where Duplivo keeps the copies of the blocks it deletes: a folder of its own among the user's
// data, which nothing else writes.
#pragma once

#include <QString>

namespace duplivo {

// $XDG_DATA_HOME/duplivo/borrados (by default ~/.local/share/duplivo/borrados) elsewhere,
// %LOCALAPPDATA%\Duplivo\borrados on Windows; with forward slashes.
QString savedCopiesFolder();

} // namespace duplivo
