#include <cstdio>

#include "app/commandline.h"

namespace duplivo {

// Started from a terminal or not, the output goes where standard output goes.
bool printToConsole(const QString& text)
{
    const QByteArray bytes = (text + u'\n').toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fflush(stdout);
    return true;
}

} // namespace duplivo
