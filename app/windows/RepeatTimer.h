#pragma once

#include <cstdint>

#include <QObject>
#include <QTimer>

namespace app {

// A repeat timer that keeps its enabled state and its period apart: it ticks while it
// is enabled and its period is above 0, once per period.
class RepeatTimer : public QObject {
    Q_OBJECT
public:
    explicit RepeatTimer(std::uint32_t milliseconds, QObject* parent = nullptr);

    bool enabled() const { return enabled_; }
    void setEnabled(bool enabled);
    std::uint32_t interval() const { return interval_; }
    void setInterval(std::uint32_t milliseconds);
    bool ticking() const { return timer_.isActive(); }

signals:
    void tick();

private:
    void update();

    bool enabled_ = false;
    std::uint32_t interval_;
    QTimer timer_;
};

} // namespace app
