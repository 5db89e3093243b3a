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
        fitMessage();
        update();
    });
}

void StatusLine::fitMessage()
{
    // The main window's layout gives the bar at least its minimum height, and grows the
    // window to hold it (from minimumSizeHint).
    const QString message = currentMessage();
    const int needed =
        message.isEmpty()
            ? 0
            : fontMetrics().boundingRect(QRect(0, 0, std::max(width() - 2 * margin, 1), 100000), wrapping, message)
                      .height() +
                  2 * margin;
    if (needed != minimumHeight())
        setMinimumHeight(needed);
}

QSize StatusLine::minimumSizeHint() const
{
    const QSize plain = QStatusBar::minimumSizeHint();
    return {plain.width(), std::max(plain.height(), minimumHeight())};
}

void StatusLine::paintEvent(QPaintEvent* event)
{
    if (currentMessage().isEmpty()) {
        QStatusBar::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.setPen(palette().windowText().color());
    painter.drawText(rect().adjusted(margin, 0, -margin, 0), wrapping, currentMessage());
}

void StatusLine::resizeEvent(QResizeEvent* event)
{
    QStatusBar::resizeEvent(event);
    fitMessage(); // a narrower window needs more lines for the same message
}

} // namespace app
