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
    resize(640, 300);
}

namespace {

// The shortest pause that breaks the lines, and how many of the usual periods a pause must
// be worth: Evolute One pressed by hand, or Auto every few seconds, are no gaps.
constexpr std::chrono::seconds shortestGap{2};
constexpr int periodsInAGap = 4;

struct LegendEntry {
    QColor colour;
    qreal width;
    Qt::PenStyle style;
    const char* text;
};
const LegendEntry legend[] = {
    {brightAfterColour, 2, Qt::SolidLine, "brightened, counted"},
    {darkAfterColour, 2, Qt::SolidLine, "darkened, counted"},
    {brightBeforeColour, 1, Qt::SolidLine, "brightened before detection"},
    {darkBeforeColour, 1, Qt::SolidLine, "darkened before detection"},
    {minimalColour, 1.5, Qt::DashLine, "Minimal Movement"},
};

} // namespace

void MovementGraph::addCycle(const watch::Cycle& cycle, std::int64_t minimalMovement)
{
    Point p;
    if (!points_.empty()) {
        const Point& last = points_.back();
        const auto pause = cycle.time - last.time;
        const bool periodKnown = points_.size() > 1 && !last.afterGap;
        const auto period = periodKnown ? last.time - points_[points_.size() - 2].time : pause;
        p.afterGap = cycle.newStream || pause > std::max<std::chrono::system_clock::duration>(
                                                    shortestGap, periodKnown ? periodsInAGap * period : shortestGap);
    }
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
    const QRect plot = rect().adjusted(56, 24, -10, -84);
    painter.setPen(Qt::gray);
    painter.drawRect(plot);
    painter.setPen(Qt::black);
    painter.drawText(QRect(plot.left(), plot.bottom() + 2, plot.width(), 18), Qt::AlignLeft, "-2 min");
    painter.drawText(QRect(plot.left(), plot.bottom() + 2, plot.width(), 18), Qt::AlignRight, "now");
    QFont small = font();
    small.setPixelSize(10);
    painter.setFont(small);
    paintLegend(painter, QRect(8, plot.bottom() + 20, width() - 16, height() - plot.bottom() - 20));
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

    // The stretches without cycles, shaded.
    for (std::size_t i = 1; i < points_.size(); ++i) {
        if (points_[i].afterGap) {
            const QRectF gap(QPointF(x(points_[i - 1].time), plot.top() + 1), QPointF(x(points_[i].time), plot.bottom()));
            painter.fillRect(gap.intersected(QRectF(plot)), QColor(235, 235, 235));
        }
    }
    auto line = [&](const QColor& colour, std::int64_t Point::*count, qreal width, Qt::PenStyle style) {
        QPainterPath path;
        bool first = true;
        for (const Point& p : points_) {
            const QPointF at(x(p.time), y(p.*count));
            if (first || p.afterGap)
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

void MovementGraph::paintLegend(QPainter& painter, const QRect& area) const
{
    // A sample of each line with its words, wrapped to the window's width, then the marks.
    const QFontMetrics metrics = painter.fontMetrics();
    const int lineHeight = metrics.height() + 2, sample = 18, gap = 12;
    QPoint at = area.topLeft();
    auto place = [&](int width) {
        if (at.x() > area.left() && at.x() + width > area.right()) {
            at = QPoint(area.left(), at.y() + lineHeight);
        }
        const QPoint here = at;
        at.rx() += width + gap;
        return here;
    };
    for (const LegendEntry& entry : legend) {
        const int textWidth = metrics.horizontalAdvance(entry.text);
        const QPoint here = place(sample + 4 + textWidth);
        const int middle = here.y() + lineHeight / 2;
        painter.setPen(QPen(entry.colour, entry.width, entry.style));
        painter.drawLine(here.x(), middle, here.x() + sample, middle);
        painter.setPen(Qt::black);
        painter.drawText(QRect(here.x() + sample + 4, here.y(), textWidth + 2, lineHeight), Qt::AlignVCenter,
                         entry.text);
    }
    const QString marks[] = {"confirmed movement", "not counted (L light, N noise, S specks, M masked, C not confirmed yet)",
                             "no cycles"};
    const QColor markColours[] = {confirmedColour, rejectedColour, QColor(235, 235, 235)};
    for (int i = 0; i < 3; ++i) {
        const int textWidth = metrics.horizontalAdvance(marks[i]);
        const QPoint here = place(12 + textWidth);
        const QPointF centre(here.x() + 4, here.y() + lineHeight / 2.0);
        painter.setPen(i < 2 ? QPen(Qt::NoPen) : QPen(Qt::gray));
        painter.setBrush(markColours[i]);
        if (i < 2)
            painter.drawEllipse(centre, 4, 4);
        else
            painter.drawRect(QRectF(centre - QPointF(4, 5), QSizeF(8, 10)));
        painter.setBrush(Qt::NoBrush);
        painter.setPen(Qt::black);
        painter.drawText(QRect(here.x() + 12, here.y(), textWidth + 2, lineHeight), Qt::AlignVCenter, marks[i]);
    }
}

} // namespace app
