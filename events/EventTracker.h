#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "Bitmap.h"
#include "CycleSummary.h"
#include "Event.h"

namespace events {

// Groups evaluation cycles into events: an event starts at the first confirmed moving
// cycle and ends once no cycle has moved for the gap. Keeps the frame of the busiest
// cycle of the open event. The gap, the duration and the order of cycles count on a clock
// that never steps; the wall clock only gives the times shown and stored, so an event
// survives the wall clock being set back or forward while it runs.
class EventTracker {
public:
    // What one step did: an event that the gap had ended ends before a cycle that
    // starts the next one, so both can happen in one step.
    struct Change {
        bool ended = false;
        bool started = false;
    };

    // When a cycle is taken, on the clock that never steps.
    using SteadyClock = std::function<Instant()>;

    explicit EventTracker(std::chrono::milliseconds gap, SteadyClock clock = steadyNow);

    void setGap(std::chrono::milliseconds gap) { gap_ = gap; }

    // Takes one cycle, as of now; `ended()` holds an event it ended, `current()` the open one.
    Change cycle(const CycleSummary& summary);
    // Ends the open event when no cycle has moved for the gap by `time`.
    Change advance(Instant time);
    // Ends the open event now, whatever the gap (the program closes).
    Change finish();
    // The source showed nothing until `time` (it was taking a new format): the open
    // event's quiet gap counts from then, not from its last moving cycle.
    void heldUntil(Instant time);

    bool open() const { return open_; }
    const Event& current() const { return current_; }
    Event& current() { return current_; }
    const Event& ended() const { return ended_; }
    // When the open event ends unless a cycle moves.
    std::optional<Instant> deadline() const;
    // The colour frame of the busiest cycle of the open and of the last ended event; null
    // when the cycle had none.
    const std::shared_ptr<const analysis::Bitmap>& peakFrame() const { return peakFrame_; }
    const std::shared_ptr<const analysis::Bitmap>& endedPeakFrame() const { return endedPeakFrame_; }

private:
    void start(const CycleSummary& summary, Instant time);
    void take(const CycleSummary& summary, Instant time);
    void addToPath(PathPoint point);
    void close();

    std::chrono::milliseconds gap_;
    SteadyClock clock_;
    bool open_ = false;
    Event current_;
    Instant started_{};   // of the open event
    Instant lastMoved_{}; // of the open event
    Instant heldUntil_{}; // of the open event
    // The open event's path keeps every `pathStride_`-th midway point, and its newest
    // one, which may lie between (`pathTail_`).
    std::int64_t pathCentres_ = 0;
    std::int64_t pathStride_ = 1;
    bool pathTail_ = false;
    Event ended_;
    std::shared_ptr<const analysis::Bitmap> peakFrame_;
    std::shared_ptr<const analysis::Bitmap> endedPeakFrame_;
};

} // namespace events
