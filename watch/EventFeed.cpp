#include "EventFeed.h"

#include "CycleSummary.h"
#include "EventWatcher.h"

namespace watch {

void EventFeed::cycleEvaluated(const Cycle& cycle)
{
    events::CycleSummary summary;
    summary.time = std::chrono::time_point_cast<std::chrono::milliseconds>(cycle.time);
    // A refused comparison or the first frame of a new connection says nothing of movement.
    const bool compared = cycle.compared == 0 && !cycle.newStream;
    summary.moving = compared && cycle.moving;
    summary.confirmed = summary.moving && cycle.confirmed;
    summary.changed = cycle.changed;
    summary.percent = double(cycle.percent);
    if (cycle.frame && !cycle.frame->empty())
        summary.percent = double(cycle.changed) * 100 / (double(cycle.frame->width()) * cycle.frame->height());
    if (cycle.centred)
        summary.centre = cycle.centre;
    summary.frame = cycle.frame;
    summary.savedFile = cycle.savedFile;
    try {
        watcher_.cycleEvaluated(summary);
    } catch (const std::exception&) {
        // Listeners must not throw; the watcher reports its own failures in its status.
    }
}

} // namespace watch
