#include "app/messagebox.h"

#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QPushButton>

#include "app/messagetext.h"

namespace duplivo {

namespace {

// The title of a box shown without one.
const QString applicationTitle = QStringLiteral("Duplivo");

// A QMessageBox showing its text with a MessageText in its label's place. Its label breaks lines at
// min(half the screen, 500 px) and cuts off a word wider than the box: the WrapAnywhere mode
// QMessageBox gives it is reset by QLabel at its next layout.
class PlainMessageBox final : public QMessageBox
{
public:
    PlainMessageBox(const QString& text, Icon icon, QWidget* parent)
        : QMessageBox(parent)
    {
        // Plain text: company and program names are data, never markup. The label keeps the text
        // too, for what QMessageBox does with it (Windows copies the whole box on Ctrl+C).
        setTextFormat(Qt::PlainText);
        setText(text);
        // Before the swap: a new icon rebuilds the box's layout around the label.
        setIcon(icon);
        auto* label = findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        // A Qt whose box has no such label shows the text its own way rather than not at all.
        if (!label)
            return;
        auto* shown = new MessageText(text, this);
        shown->setFont(label->font());
        delete layout()->replaceWidget(label, shown);
        label->hide();
    }

protected:
    void showEvent(QShowEvent* event) override
    {
        QMessageBox::showEvent(event);
        // Still centred where QDialog put it.
        if (const int grown = fitText(); grown > 0)
            move(x() - grown / 2, y());
    }

    bool event(QEvent* event) override
    {
        const bool done = QMessageBox::event(event);
        if (event->type() == QEvent::LayoutRequest)
            fitText();
        return done;
    }

private:
    // QMessageBox holds itself to min(screen - 480, 1000) px on screens wider than 1024 px, less
    // than the text's own limit there: the box grows to its layout's minimum. Returns the growth.
    int fitText()
    {
        layout()->activate();
        const int width = layout()->totalMinimumSize().width();
        const int grown = width - this->width();
        if (grown <= 0)
            return 0;
        setFixedSize(width, layout()->totalHeightForWidth(width));
        QCoreApplication::removePostedEvents(this, QEvent::LayoutRequest);
        return grown;
    }
};

QMessageBox::Icon iconFor(int style)
{
    switch (style & 0xF0) {
    case MessageStyle::Critical:
        return QMessageBox::Critical;
    case MessageStyle::Information:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

} // namespace

int QtMessageBox::show(const QString& text, int style, const QString& title)
{
    PlainMessageBox box(QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
        iconFor(style), QApplication::activeWindow());
    box.setWindowTitle(title.isEmpty() ? applicationTitle : title);
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

} // namespace duplivo
