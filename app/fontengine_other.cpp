#include "app/fontengine.h"

namespace duplivo {

void chooseFontEngine()
{
    // Qt's default font engine draws every text here.
}

} // namespace duplivo
