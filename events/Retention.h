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
};

// Removes the oldest of the files the log knows (clips, thumbnails, saved frames) until
// the rest are within the limits, and records in the log which went and why. Files the
// log does not know are never touched.
RetentionResult applyRetention(EventLog& log, const RetentionLimits& limits, TimePoint now);

} // namespace events
