#include "Event.h"

#include <QDateTime>

namespace events {

TimePoint now()
{
    return std::chrono::time_point_cast<std::chrono::milliseconds>(Clock::now());
}

Instant steadyNow()
{
    return std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now());
}

std::int64_t toMilliseconds(TimePoint time)
{
    return time.time_since_epoch().count();
}

TimePoint fromMilliseconds(std::int64_t milliseconds)
{
    return TimePoint(std::chrono::milliseconds(milliseconds));
}

std::string localText(TimePoint time)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(toMilliseconds(time));
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs).toStdString();
}

std::string utcText(TimePoint time)
{
    return QDateTime::fromMSecsSinceEpoch(toMilliseconds(time), Qt::UTC).toString(Qt::ISODateWithMs).toStdString();
}

std::string fileStem(TimePoint time)
{
    return QDateTime::fromMSecsSinceEpoch(toMilliseconds(time)).toString("yyyy-MM-dd_HH-mm-ss").toStdString();
}

} // namespace events
