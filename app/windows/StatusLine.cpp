#include "StatusLine.h"

#include <algorithm>

#include <QPainter>

namespace app {

namespace {
constexpr int margin = 4;
constexpr int wrapping = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap;
} // namespace

StatusLine::StatusLine(QWidget* parent) : QStatusBar(parent)
{
    setSizeGripEnabled(false);
    connect(this, &QStatusBar::messageChanged, this, [this](const QString& message) {
        setToolTip(message);
        updateGeometry(); // the window makes room for the lines the message needs
        update();
    });
}

QRect StatusLine::textArea() const
{
    return rect().adjusted(margin, 0, -margin, 0);
}

int StatusLine::heightFor(int width) const
{
    const QRect needed =
        fontMetrics().boundingRect(QRect(0, 0, std::max(width - 2 * margin, 1), 100000), wrapping, currentMessage());
    return needed.height() + 2 * margin;
}

QSize StatusLine::minimumSizeHint() const
{
    const QSize plain = QStatusBar::minimumSizeHint();
    return {plain.width(), std::max(plain.height(), heightFor(width()))};
}

QSize StatusLine::sizeHint() const
{
    const QSize plain = QStatusBar::sizeHint();
    return {plain.width(), std::max(plain.height(), heightFor(width()))};
}

void StatusLine::paintEvent(QPaintEvent* event)
{
    if (currentMessage().isEmpty()) {
        QStatusBar::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.setPen(palette().windowText().color());
    painter.drawText(textArea(), wrapping, currentMessage());
}

void StatusLine::resizeEvent(QResizeEvent* event)
{
    QStatusBar::resizeEvent(event);
    // A narrower window needs more lines for the same message.
    if (!currentMessage().isEmpty() && height() < heightFor(width()))
        updateGeometry();
}

} // namespace app
