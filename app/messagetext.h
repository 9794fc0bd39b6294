// A message box's text as the platform's own boxes show it: plain, each line whole while it fits,
// a word wider than the box broken anywhere rather than cut off; selectable, copyable, and read out
// by screen readers.
#pragma once

#include <QTextLayout>
#include <QWidget>

namespace duplivo {

class MessageText final : public QWidget
{
    Q_OBJECT

public:
    // Lines are separated by "\n"; the text is shown and copied exactly as given.
    explicit MessageText(const QString& text, QWidget* parent = nullptr);

    QString text() const { return m_text; }
    // The text laid out at the widget's width, as it is painted.
    const QTextLayout& textLayout() const;
    // The widest a line gets before it wraps.
    int widthLimit() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    int heightForWidth(int width) const override;

protected:
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    int layOut(int width) const;
    int top() const;
    int cursorAt(const QPointF& position) const;
    void select(int anchor, int cursor);

    QString m_text;
    mutable QTextLayout m_layout;
    mutable int m_laidOutWidth = -1;
    mutable int m_height = 0;
    int m_anchor = 0;
    int m_cursor = 0;
};

} // namespace duplivo
