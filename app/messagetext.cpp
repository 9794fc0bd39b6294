#include "app/messagetext.h"

#include <algorithm>
#include <limits>

#include <QAccessibleWidget>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QtMath>

namespace duplivo {

namespace {

// A screen reader reads a message box out of its visible static texts: this one stands where
// QMessageBox's label stood, and says the same text.
class AccessibleMessageText final : public QAccessibleWidget
{
public:
    explicit AccessibleMessageText(MessageText* text)
        : QAccessibleWidget(text, QAccessible::StaticText)
    { }

    QString text(QAccessible::Text kind) const override
    {
        if (kind == QAccessible::Name)
            return static_cast<const MessageText*>(widget())->text();
        return QAccessibleWidget::text(kind);
    }
};

QAccessibleInterface* accessibleMessageText(const QString& className, QObject* object)
{
    auto* text = qobject_cast<MessageText*>(object);
    if (text && className == QLatin1String(MessageText::staticMetaObject.className()))
        return new AccessibleMessageText(text);
    return nullptr;
}

} // namespace

MessageText::MessageText(const QString& text, QWidget* parent)
    : QWidget(parent)
    , m_text(text)
    // A line separator in place of each "\n" keeps every character at its index in m_text, so a
    // selection copies exactly what the caller gave.
    , m_layout(QString(text).replace(QLatin1Char('\n'), QChar::LineSeparator), font())
{
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    m_layout.setTextOption(option);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    // As QMessageBox's own label: selectable by mouse, so a click gives focus but Tab does not.
    setFocusPolicy(Qt::ClickFocus);
    setCursor(Qt::IBeamCursor);
    [[maybe_unused]] static const bool accessible
        = (QAccessible::installFactory(accessibleMessageText), true);
}

int MessageText::layOut(int width) const
{
    if (width == m_laidOutWidth)
        return m_height;
    qreal y = 0;
    m_layout.beginLayout();
    for (QTextLine line = m_layout.createLine(); line.isValid(); line = m_layout.createLine()) {
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    m_layout.endLayout();
    m_laidOutWidth = width;
    m_height = qCeil(y);
    return m_height;
}

const QTextLayout& MessageText::textLayout() const
{
    layOut(width());
    return m_layout;
}

int MessageText::widthLimit() const
{
    // Two thirds of the screen's available width: a Windows message box, too, grows most of the way
    // across the screen before it breaks a line, and the box's icon and margins still fit beside
    // it.
    return screen()->availableGeometry().width() * 2 / 3;
}

QSize MessageText::sizeHint() const
{
    // Laid out wider than any line can be, each line ends only where the text breaks it.
    layOut(std::numeric_limits<int>::max() / 1024);
    qreal widest = 0;
    for (int i = 0; i < m_layout.lineCount(); ++i)
        widest = std::max(widest, m_layout.lineAt(i).naturalTextWidth());
    const int width = std::min(qCeil(widest), widthLimit());
    return QSize(width, heightForWidth(width));
}

QSize MessageText::minimumSizeHint() const
{
    // Any narrower would break a line that fits: QMessageBox sizes itself from its layout's
    // minimum.
    return sizeHint();
}

int MessageText::heightForWidth(int width) const
{
    return layOut(width);
}

void MessageText::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange) {
        m_layout.setFont(font());
        m_laidOutWidth = -1;
        updateGeometry();
    }
    QWidget::changeEvent(event);
}

int MessageText::top() const
{
    // Centred in a taller cell (beside the icon), as QMessageBox centres its label's text.
    return std::max(0, (height() - layOut(width())) / 2);
}

void MessageText::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    QList<QTextLayout::FormatRange> selections;
    if (m_anchor != m_cursor) {
        QTextLayout::FormatRange selection;
        selection.start = std::min(m_anchor, m_cursor);
        selection.length = std::abs(m_cursor - m_anchor);
        selection.format.setBackground(palette().brush(QPalette::Highlight));
        selection.format.setForeground(palette().brush(QPalette::HighlightedText));
        selections.append(selection);
    }
    textLayout().draw(&painter, QPointF(0, top()), selections);
}

int MessageText::cursorAt(const QPointF& position) const
{
    const QTextLayout& layout = textLayout();
    const qreal y = position.y() - top();
    for (int i = 0; i < layout.lineCount(); ++i) {
        const QTextLine line = layout.lineAt(i);
        if (y < line.y() + line.height() || i == layout.lineCount() - 1)
            return line.xToCursor(position.x());
    }
    return 0;
}

void MessageText::select(int anchor, int cursor)
{
    m_anchor = anchor;
    m_cursor = cursor;
    update();
}

void MessageText::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    const int cursor = cursorAt(event->position());
    select(event->modifiers() & Qt::ShiftModifier ? m_anchor : cursor, cursor);
}

void MessageText::mouseMoveEvent(QMouseEvent* event)
{
    if (event->buttons() & Qt::LeftButton)
        select(m_anchor, cursorAt(event->position()));
}

void MessageText::keyPressEvent(QKeyEvent* event)
{
    const QTextLayout& layout = textLayout();
    if (event->matches(QKeySequence::Copy) && m_anchor != m_cursor) {
        QGuiApplication::clipboard()->setText(
            m_text.mid(std::min(m_anchor, m_cursor), std::abs(m_cursor - m_anchor)));
    } else if (event->matches(QKeySequence::SelectAll)) {
        select(0, int(m_text.size()));
    } else if (event->matches(QKeySequence::SelectNextChar)) {
        select(m_anchor, layout.nextCursorPosition(m_cursor));
    } else if (event->matches(QKeySequence::SelectPreviousChar)) {
        select(m_anchor, layout.previousCursorPosition(m_cursor));
    } else if (event->matches(QKeySequence::SelectNextWord)) {
        select(m_anchor, layout.nextCursorPosition(m_cursor, QTextLayout::SkipWords));
    } else if (event->matches(QKeySequence::SelectPreviousWord)) {
        select(m_anchor, layout.previousCursorPosition(m_cursor, QTextLayout::SkipWords));
    } else {
        // Return, Escape and the rest reach the box: its buttons answer them.
        QWidget::keyPressEvent(event);
    }
}

} // namespace duplivo
