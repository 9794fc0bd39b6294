// The real message box, as the desktop shows it.
#pragma once

#include "base/platform.h"

namespace duplivo {

class QtMessageBox final : public MessageBox
{
public:
    int show(const QString& text, int style, const QString& title = QString()) override;
};

} // namespace duplivo
