#include "EventTracker.h"

#include <algorithm>

namespace events {

EventTracker::EventTracker(std::chrono::milliseconds gap) : gap_(gap) {}

std::optional<TimePoint> EventTracker::deadline() const
{
    if (!open_)
        return std::nullopt;
    return std::max(current_.end, heldUntil_) + gap_;
}

void EventTracker::heldUntil(TimePoint time)
{
    if (open_)
        heldUntil_ = std::max(heldUntil_, time);
}

EventTracker::Change EventTracker::cycle(const CycleSummary& summary)
{
    Change change = advance(summary.time);
    if (open_) {
        if (summary.moving)
            take(summary);
    } else if (summary.moving && summary.confirmed) {
        start(summary);
        change.started = true;
    }
    return change;
}

EventTracker::Change EventTracker::advance(TimePoint time)
{
    if (!open_ || time < *deadline())
        return {};
    close();
    return {.ended = true};
}

EventTracker::Change EventTracker::finish()
{
    if (!open_)
        return {};
    close();
    return {.ended = true};
}

void EventTracker::start(const CycleSummary& summary)
{
    open_ = true;
    current_ = Event{};
    heldUntil_ = {};
    current_.start = summary.time;
    current_.end = summary.time;
    peakFrame_.reset();
    take(summary);
}

void EventTracker::take(const CycleSummary& summary)
{
    current_.end = std::max(current_.end, summary.time);
    ++current_.movingCycles;
    if (summary.centre)
        current_.path.push_back(*summary.centre);
    if (current_.movingCycles == 1 || summary.changed > current_.peakCount) {
        current_.peakCount = summary.changed;
        current_.peakPercent = summary.percent;
        // Frames are never written once made: holding one costs no copy.
        if (summary.frame)
            peakFrame_ = summary.frame;
    }
}

void EventTracker::close()
{
    open_ = false;
    current_.ended = true;
    ended_ = current_;
    endedPeakFrame_ = std::move(peakFrame_);
    peakFrame_.reset();
}

} // namespace events
