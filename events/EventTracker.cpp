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
    pathCentres_ = 0;
    pathStride_ = 1;
    pathTail_ = false;
    peakFrame_.reset();
    take(summary, time);
}

void EventTracker::take(const CycleSummary& summary, Instant time)
{
    lastMoved_ = std::max(lastMoved_, time);
    current_.end = current_.start + (lastMoved_ - started_);
    ++current_.movingCycles;
    // Without the frame there is no size to measure the centre against.
    if (summary.centre && summary.frame && !summary.frame->empty())
        addToPath({float((summary.centre->x + 0.5) / summary.frame->width()),
                   float((summary.centre->y + 0.5) / summary.frame->height())});
    if (current_.movingCycles == 1 || summary.changed > current_.peakCount) {
        current_.peakCount = summary.changed;
        current_.peakPercent = summary.percent;
        // Frames are never written once made: holding one costs no copy.
        if (summary.frame)
            peakFrame_ = summary.frame;
    }
}

void EventTracker::addToPath(PathPoint point)
{
    // Thinning by halves keeps the kept points evenly spread over the event, whatever its
    // length, at a constant cost per cycle.
    std::vector<PathPoint>& path = current_.path;
    if (pathTail_)
        path.pop_back();
    const bool onStride = pathCentres_++ % pathStride_ == 0;
    path.push_back(point);
    pathTail_ = !onStride;
    if (!onStride || path.size() < maxPathPoints)
        return;
    const bool newestGoes = path.size() % 2 == 0;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < path.size(); i += 2)
        path[kept++] = path[i];
    path.resize(kept);
    pathStride_ *= 2;
    if (newestGoes) {
        path.push_back(point);
        pathTail_ = true;
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
