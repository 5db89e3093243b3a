#pragma once

#include <chrono>
#include <cstdint>
#include <deque>

#include <QString>
#include <QWidget>

namespace watch {
struct Cycle;
}

namespace app {

// The tuning graph: cycle by cycle over the last two minutes, the brightened and darkened
// counts before and after the detection, the Minimal Movement, and a mark at each cycle
// that moved: green where confirmed, orange with the reason's initial where not. Stretches
// without cycles are shaded and not bridged; a legend below says what each line is.
class MovementGraph : public QWidget {
    Q_OBJECT
public:
    static constexpr std::chrono::seconds span{120};

    explicit MovementGraph(QWidget* owner);

    struct Point {
        std::chrono::system_clock::time_point time;
        std::int64_t brightBefore = 0, darkBefore = 0, brightAfter = 0, darkAfter = 0;
        std::int64_t minimalMovement = 0;
        bool moved = false;     // the comparison alone would have counted it
        bool confirmed = false;
        QString reason;         // why it did not count, when it did not
        // No cycle came for a while before this one (the video was stopped or reconnected,
        // Auto was off): the lines break here instead of joining across the stretch.
        bool afterGap = false;
    };

    void addCycle(const watch::Cycle& cycle, std::int64_t minimalMovement);
    const std::deque<Point>& points() const { return points_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void paintLegend(QPainter& painter, const QRect& area) const;
    std::deque<Point> points_;
};

} // namespace app
