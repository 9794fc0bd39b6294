#include "app/services.h"

#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTranslator>

namespace duplivo {

namespace {

const QString applicationTitle = QStringLiteral("Duplivo");

} // namespace

int QtMessageBox::show(const QString& text, int style, const QString& title)
{
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(title.isEmpty() ? applicationTitle : title);
    // Plain text: company and program names are data, never markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    switch (style & 0xF0) {
    case MessageStyle::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    case MessageStyle::Information:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        box.setIcon(QMessageBox::NoIcon);
        break;
    }
    if ((style & 0x0F) == MessageStyle::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        // Escape and the title bar's close button answer No.
        box.setEscapeButton(QMessageBox::No);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
    }
    switch (box.exec()) {
    case QMessageBox::Yes:
        return MessageAnswer::Yes;
    case QMessageBox::No:
        return MessageAnswer::No;
    default:
        return MessageAnswer::Ok;
    }
}

void ProcessEnd::end(int status)
{
    // At once: returning through the event loop would still deliver queued events to the window.
    // Every write has been committed or rolled back by the time anything ends the program.
    std::fflush(nullptr);
    std::_Exit(status);
}

void setUpIdentity(QApplication& application)
{
    // No display name: Qt would add it to every window title, and the titles are fixed.
    QApplication::setApplicationName(applicationTitle);
    QApplication::setApplicationVersion(QStringLiteral("1.00"));
    QLocale::setDefault(QLocale(QLocale::Spanish, QLocale::Spain));

    auto* translator = new QTranslator(&application);
    if (translator->load(QLocale(QLocale::Spanish, QLocale::Spain), QStringLiteral("qtbase"),
            QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(translator);
}

} // namespace duplivo
