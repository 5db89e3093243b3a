#include "MovementGraph.h"

#include <algorithm>
#include <cmath>

#include <QPainter>
#include <QPainterPath>

#include "Cycle.h"
#include "WindowSetup.h"

namespace app {

namespace {

const QColor brightAfterColour(220, 0, 0), darkAfterColour(0, 60, 220);
const QColor brightBeforeColour(255, 170, 170), darkBeforeColour(160, 190, 255);
const QColor minimalColour(128, 128, 0), confirmedColour(0, 150, 0), rejectedColour(230, 130, 0);

// One letter for the reason a cycle did not count.
QString initial(const QString& reason)
{
    if (reason == "not confirmed yet")
        return "C";
    return reason.left(1).toUpper();
}

} // namespace

MovementGraph::MovementGraph(QWidget* owner) : QWidget(owner, Qt::Window)
{
    setUpOwnedWindow(this, "MovementGraphForm", "Movement Graph", {340, 460});
    setBackground(this, Qt::white);
    resize(640, 260);
}

void MovementGraph::addCycle(const watch::Cycle& cycle, std::int64_t minimalMovement)
{
    Point p;
    p.time = cycle.time;
    p.brightBefore = cycle.result.BrightCount;
    p.darkBefore = cycle.result.DarkCount;
    p.brightAfter = cycle.brightCounted;
    p.darkAfter = cycle.darkCounted;
    p.minimalMovement = minimalMovement;
    p.moved = cycle.compared == 0 &&
              std::int64_t(cycle.result.BrightCount) + cycle.result.DarkCount > minimalMovement;
    p.confirmed = cycle.confirmed;
    p.reason = QString::fromStdString(cycle.reason);
    points_.push_back(p);
    while (!points_.empty() && points_.front().time < cycle.time - span)
        points_.pop_front();
    if (isVisible())
        update();
}

void MovementGraph::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // Below the plot: its time axis, then the legend, wrapped to the window's width.
    const QRect plot = rect().adjusted(56, 24, -10, -50);
    painter.setPen(Qt::gray);
    painter.drawRect(plot);
    painter.setPen(Qt::black);
    painter.drawText(QRect(plot.left(), plot.bottom() + 2, plot.width(), 18), Qt::AlignLeft, "-2 min");
    painter.drawText(QRect(plot.left(), plot.bottom() + 2, plot.width(), 18), Qt::AlignRight, "now");
    QFont small = font();
    small.setPixelSize(10);
    painter.setFont(small);
    painter.drawText(QRect(8, plot.bottom() + 20, width() - 16, height() - plot.bottom() - 20),
                     Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                     "thin: before detection, thick: counted, dashed: Minimal Movement; "
                     "marks: green confirmed, orange not (L light, N noise, S specks, M masked, C not confirmed yet)");
    painter.setFont(font());
    if (points_.empty()) {
        painter.drawText(plot, Qt::AlignCenter, "No evaluation yet: Evolute One or Auto");
        return;
    }

    // A square-root scale keeps a few hundred pixels readable beside a whole frame's change.
    std::int64_t top = 1;
    for (const Point& p : points_)
        top = std::max({top, p.brightBefore, p.darkBefore, p.minimalMovement});
    const double scale = std::sqrt(double(top));
    const auto now = points_.back().time;
    auto x = [&](std::chrono::system_clock::time_point t) {
        const double age = std::chrono::duration<double>(now - t).count();
        return plot.right() - age / double(span.count()) * plot.width();
    };
    auto y = [&](std::int64_t count) {
        return plot.bottom() - std::sqrt(double(std::max<std::int64_t>(count, 0))) / scale * plot.height();
    };
    painter.drawText(QRect(0, plot.top() - 8, plot.left() - 4, 16), Qt::AlignRight, QString::number(top));
    painter.drawText(QRect(0, plot.bottom() - 8, plot.left() - 4, 16), Qt::AlignRight, "0");

    auto line = [&](const QColor& colour, std::int64_t Point::*count, qreal width, Qt::PenStyle style) {
        QPainterPath path;
        bool first = true;
        for (const Point& p : points_) {
            const QPointF at(x(p.time), y(p.*count));
            if (first)
                path.moveTo(at);
            else
                path.lineTo(at);
            first = false;
        }
        painter.setPen(QPen(colour, width, style));
        painter.drawPath(path);
    };
    line(brightBeforeColour, &Point::brightBefore, 1, Qt::SolidLine);
    line(darkBeforeColour, &Point::darkBefore, 1, Qt::SolidLine);
    line(minimalColour, &Point::minimalMovement, 1.5, Qt::DashLine);
    line(brightAfterColour, &Point::brightAfter, 2, Qt::SolidLine);
    line(darkAfterColour, &Point::darkAfter, 2, Qt::SolidLine);

    // Marks along the top: confirmed movement, and movement the detection turned down.
    painter.setFont(small);
    for (const Point& p : points_) {
        if (!p.moved && !p.confirmed)
            continue;
        const QPointF at(x(p.time), plot.top() - 10);
        painter.setPen(Qt::NoPen);
        painter.setBrush(p.confirmed ? confirmedColour : rejectedColour);
        painter.drawEllipse(at, 4, 4);
        if (!p.confirmed && !p.reason.isEmpty()) {
            painter.setPen(Qt::black);
            painter.drawText(QRectF(at.x() - 6, plot.top() + 2, 12, 12), Qt::AlignCenter, initial(p.reason));
        }
    }
}

} // namespace app
