#pragma once

#include "Cycle.h"

namespace events {
class EventWatcher;
}

namespace watch {

// Hands each finished cycle to the event watcher, in the terms the events use.
class EventFeed : public CycleListener {
public:
    explicit EventFeed(events::EventWatcher& watcher) : watcher_(watcher) {}
    void cycleEvaluated(const Cycle& cycle) override;

private:
    events::EventWatcher& watcher_;
};

} // namespace watch
