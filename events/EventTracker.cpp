#include "EventTracker.h"

#include <algorithm>

namespace events {

EventTracker::EventTracker(std::chrono::milliseconds gap, SteadyClock clock) : gap_(gap), clock_(std::move(clock)) {}

std::optional<Instant> EventTracker::deadline() const
{
    if (!open_)
        return std::nullopt;
    return std::max(lastMoved_, heldUntil_) + gap_;
}

void EventTracker::heldUntil(Instant time)
{
    if (open_)
        heldUntil_ = std::max(heldUntil_, time);
}

EventTracker::Change EventTracker::cycle(const CycleSummary& summary)
{
    const Instant time = clock_();
    Change change = advance(time);
    if (open_) {
        if (summary.moving)
            take(summary, time);
    } else if (summary.moving && summary.confirmed) {
        start(summary, time);
        change.started = true;
    }
    return change;
}

EventTracker::Change EventTracker::advance(Instant time)
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

void EventTracker::start(const CycleSummary& summary, Instant time)
{
    open_ = true;
    current_ = Event{};
    heldUntil_ = {};
    started_ = time;
    lastMoved_ = time;
    current_.start = summary.time;
    peakFrame_.reset();
    take(summary, time);
}

void EventTracker::take(const CycleSummary& summary, Instant time)
{
    lastMoved_ = std::max(lastMoved_, time);
    current_.end = current_.start + (lastMoved_ - started_);
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
