#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "Bitmap.h"
#include "CycleSummary.h"
#include "Event.h"

namespace events {

// Groups evaluation cycles into events: an event starts at the first confirmed moving
// cycle and ends once no cycle has moved for the gap. Keeps the frame of the busiest
// cycle of the open event.
class EventTracker {
public:
    // What one step did: an event that the gap had ended ends before a cycle that
    // starts the next one, so both can happen in one step.
    struct Change {
        bool ended = false;
        bool started = false;
    };

    explicit EventTracker(std::chrono::milliseconds gap);

    void setGap(std::chrono::milliseconds gap) { gap_ = gap; }

    // Takes one cycle; `ended()` holds an event it ended, `current()` the open one.
    Change cycle(const CycleSummary& summary);
    // Ends the open event when no cycle has moved for the gap by `time`.
    Change advance(TimePoint time);
    // Ends the open event now, whatever the gap (the program closes).
    Change finish();
    // The source showed nothing until `time` (it was taking a new format): the open
    // event's quiet gap counts from then, not from its last moving cycle.
    void heldUntil(TimePoint time);

    bool open() const { return open_; }
    const Event& current() const { return current_; }
    Event& current() { return current_; }
    const Event& ended() const { return ended_; }
    // When the open event ends unless a cycle moves.
    std::optional<TimePoint> deadline() const;
    // The colour frame of the busiest cycle of the open and of the last ended event; null
    // when the cycle had none.
    const std::shared_ptr<const analysis::Bitmap>& peakFrame() const { return peakFrame_; }
    const std::shared_ptr<const analysis::Bitmap>& endedPeakFrame() const { return endedPeakFrame_; }

private:
    void start(const CycleSummary& summary);
    void take(const CycleSummary& summary);
    void addToPath(PathPoint point);
    void close();

    std::chrono::milliseconds gap_;
    bool open_ = false;
    Event current_;
    TimePoint heldUntil_{}; // of the open event
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
