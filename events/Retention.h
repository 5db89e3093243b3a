#pragma once

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "Event.h"

namespace events {

class EventLog;

struct RetentionLimits {
    std::int64_t bytes = std::int64_t(2) << 30;
    std::chrono::hours age{24 * 30};
};

// What retention weighs beside the files the log lists.
struct RetentionNeeds {
    // Bytes in the folder that are no listed file: the log itself, clips being written.
    std::int64_t unlisted = 0;
    // A write about to be made, which must fit too.
    std::int64_t incoming = 0;
    // What the log's journal grows by for each removal it records.
    std::int64_t recordBytes = 0;
    // Bytes to free so that the disk keeps its floor of free space after that write.
    std::int64_t diskShortfall = 0;
    // Events still recording (open, or their clip not yet complete): their clip and
    // thumbnail stay; their saved frames go only when nothing else is left.
    std::set<std::int64_t> recording;
};

struct RetentionResult {
    int removed = 0;
    std::int64_t freedBytes = 0;
    // The bytes that stay: listed files, unlisted and incoming ones.
    std::int64_t keptBytes = 0;
    // Within the limits and the floor, the incoming write included.
    bool fits = true;
    // Events whose last file went: their rows went with it.
    std::vector<std::int64_t> removedEvents;
    std::string error; // the first file that could not be removed, and why
    bool unfinished = false; // the time given ran out with more to remove
};

// Removes the oldest of the files the log knows (clips, thumbnails, saved frames) until
// the rest are within the limits and the disk keeps its floor, and records in the log
// which went and why. Oldest events first, each from its clip on: then its frames, and
// its thumbnail with its row last, so an event kept in the list keeps its picture for as
// long as its clip stays. Events still recording give up only their oldest frames, and only
// once nothing else is left. Files the log does not know are never touched. Once `until`
// has passed it stops after the file at hand (the caller's thread has other work to do),
// with `unfinished` set.
RetentionResult applyRetention(EventLog& log, const RetentionLimits& limits, TimePoint now,
                               const RetentionNeeds& needs = {},
                               std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max());

// How long the log keeps the reason of a removed file, and for at most how many files:
// the rows of files removed before go, so the log does not grow without end.
constexpr std::chrono::hours removalRecordAge{24 * 7};
constexpr std::int64_t removalRecordCount = 10'000;

// Forgets the files removed longer ago than `removalRecordAge`, and the oldest of them
// beyond `removalRecordCount`; false when the log could not be changed.
bool pruneRemovalRecords(EventLog& log, TimePoint now);

} // namespace events
