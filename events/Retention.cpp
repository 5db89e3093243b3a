#include "Retention.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <numeric>
#include <system_error>

#include "EventLog.h"

namespace events {

namespace {

// Within an event: the clip first (the most room for the least loss), the thumbnail last.
int removalRank(FileKind kind)
{
    switch (kind) {
    case FileKind::Clip:
        return 0;
    case FileKind::Frame:
        return 1;
    case FileKind::Thumbnail:
        break;
    }
    return 2;
}

struct Candidate {
    const StoredFile* file;
    TimePoint age; // of its event's oldest file, so an event ages as a whole
    bool lastOfEvent = false;
};

// The files in the order they may go: events and loose frames by their oldest file, each
// event's files by rank. Recording events are left out.
std::vector<Candidate> removalOrder(const std::vector<StoredFile>& files, const std::set<std::int64_t>& recording)
{
    std::map<std::int64_t, std::vector<const StoredFile*>> byEvent;
    for (const StoredFile& file : files)
        if (file.eventId != 0)
            byEvent[file.eventId].push_back(&file);
    std::vector<Candidate> order;
    for (const StoredFile& file : files) { // oldest first
        if (file.eventId == 0) {
            order.push_back({&file, file.created});
            continue;
        }
        const auto event = byEvent.find(file.eventId);
        if (event == byEvent.end() || recording.contains(file.eventId))
            continue;
        std::vector<const StoredFile*>& its = event->second;
        std::stable_sort(its.begin(), its.end(), [](const StoredFile* a, const StoredFile* b) {
            return removalRank(a->kind) < removalRank(b->kind);
        });
        for (const StoredFile* f : its)
            order.push_back({f, file.created});
        order.back().lastOfEvent = true;
        byEvent.erase(event);
    }
    return order;
}

} // namespace

RetentionResult applyRetention(EventLog& log, const RetentionLimits& limits, TimePoint now,
                               const RetentionNeeds& needs, std::chrono::steady_clock::time_point until)
{
    RetentionResult result;
    const std::vector<StoredFile> files = log.presentFiles();
    std::int64_t total = std::accumulate(files.begin(), files.end(), needs.unlisted + needs.incoming,
                                         [](std::int64_t sum, const StoredFile& f) { return sum + f.bytes; });
    const TimePoint oldest = now - limits.age;
    const std::string overSize = "over the size limit of " + std::to_string(limits.bytes / (1 << 20)) + " MB";
    const std::string diskShort = "the disk was short of free space";
    std::set<std::int64_t> stuck; // events of which a file could not go: the rest of them stays

    // Whether the file must go, and why; empty when the limits and the floor are kept.
    auto reasonFor = [&](TimePoint age) -> std::string {
        if (age < oldest)
            return "older than " + std::to_string(limits.age.count() / 24) + " days";
        if (total > limits.bytes)
            return overSize;
        if (result.freedBytes < needs.diskShortfall)
            return diskShort;
        return {};
    };
    // False when the time ran out or the log cannot be changed.
    auto remove = [&](const StoredFile& file, const std::string& reason, bool lastOfEvent) {
        if (result.removed > 0 && std::chrono::steady_clock::now() >= until) {
            result.unfinished = true;
            return false;
        }
        std::error_code ec;
        std::filesystem::remove(file.path, ec); // one already gone is removed just the same
        if (ec) {
            if (result.error.empty())
                result.error = "Cannot remove " + file.path + ": " + ec.message();
            stuck.insert(file.eventId);
            return true;
        }
        const bool recorded = lastOfEvent && file.eventId != 0 ? log.removeEvent(file.eventId, now, reason)
                                                              : log.markRemoved(file.id, now, reason);
        if (!recorded) {
            if (result.error.empty())
                result.error = log.lastError();
            return false;
        }
        if (lastOfEvent && file.eventId != 0)
            result.removedEvents.push_back(file.eventId);
        total -= file.bytes - needs.recordBytes;
        result.freedBytes += file.bytes - needs.recordBytes;
        ++result.removed;
        return true;
    };

    bool going = true;
    for (const Candidate& c : removalOrder(files, needs.recording)) {
        if (c.file->eventId != 0 && stuck.contains(c.file->eventId))
            continue;
        const std::string reason = reasonFor(c.age);
        if (reason.empty())
            break; // oldest first: the rest are younger and fit
        if (!(going = remove(*c.file, reason, c.lastOfEvent)))
            break;
    }
    // Nothing else is left: a long event's oldest frames make room for its newest, its
    // clip and thumbnail stay.
    for (const StoredFile& file : files) {
        if (!going || !needs.recording.contains(file.eventId) || file.kind != FileKind::Frame)
            continue;
        const bool over = total > limits.bytes;
        if (!over && result.freedBytes >= needs.diskShortfall)
            break;
        going = remove(file, over ? overSize : diskShort, false);
    }
    result.keptBytes = total;
    result.fits = total <= limits.bytes && result.freedBytes >= needs.diskShortfall;
    return result;
}

bool pruneRemovalRecords(EventLog& log, TimePoint now)
{
    return log.pruneRemoved(now - removalRecordAge, removalRecordCount);
}

} // namespace events
