// The real message box and program end, as the desktop shows and does them.
#pragma once

#include "app/platform.h"

class QApplication;

namespace duplivo {

class QtMessageBox final : public MessageBox
{
public:
    int show(const QString& text, int style, const QString& title = QString()) override;
};

class ProcessEnd final : public ProgramEnd
{
public:
    [[noreturn]] void end(int status) override;
};

// Name, version, language and Qt's own Spanish texts for the platform's buttons.
void setUpIdentity(QApplication& application);

} // namespace duplivo
