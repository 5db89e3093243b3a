#include "RepeatTimer.h"

#include <algorithm>
#include <limits>

namespace app {

RepeatTimer::RepeatTimer(std::uint32_t milliseconds, QObject* parent) : QObject(parent), interval_(milliseconds)
{
    connect(&timer_, &QTimer::timeout, this, &RepeatTimer::tick);
}

void RepeatTimer::setEnabled(bool enabled)
{
    enabled_ = enabled;
    update();
}

void RepeatTimer::setInterval(std::uint32_t milliseconds)
{
    interval_ = milliseconds;
    update();
}

void RepeatTimer::update()
{
    if (!enabled_ || interval_ == 0) {
        timer_.stop();
        return;
    }
    // Periods beyond what the event loop can time (about 24 days) wait that long.
    timer_.start(static_cast<int>(std::min<std::uint32_t>(interval_, std::numeric_limits<int>::max())));
}

} // namespace app
