#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "Event.h"

namespace events {

class EventLog;

struct RetentionLimits {
    std::int64_t bytes = std::int64_t(2) << 30;
    std::chrono::hours age{24 * 30};
};

struct RetentionResult {
    int removed = 0;
    std::int64_t freedBytes = 0;
    std::string error; // the first file that could not be removed, and why
    bool unfinished = false; // the time given ran out with more to remove
};

// Removes the oldest of the files the log knows (clips, thumbnails, saved frames) until
// the rest are within the limits, and records in the log which went and why. Files the
// log does not know are never touched. Once `until` has passed it stops after the file at
// hand (the caller's thread has other work to do), with `unfinished` set.
RetentionResult applyRetention(EventLog& log, const RetentionLimits& limits, TimePoint now,
                               std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max());

} // namespace events
