// The font engine Qt draws text with, chosen by the program itself before Qt starts.
#pragma once

namespace duplivo {

// Under Wine, Qt's default font engine draws no text in line edits and combo boxes, while its
// FreeType engine does: there it chooses FreeType for this process, unless a platform was already
// chosen. Elsewhere it does nothing. Must run before the application object is made.
void chooseFontEngine();

} // namespace duplivo
