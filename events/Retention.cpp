#include "Retention.h"

#include <filesystem>
#include <numeric>
#include <system_error>

#include "EventLog.h"

namespace events {

RetentionResult applyRetention(EventLog& log, const RetentionLimits& limits, TimePoint now,
                               std::chrono::steady_clock::time_point until)
{
    RetentionResult result;
    const std::vector<StoredFile> files = log.presentFiles();
    std::int64_t total = std::accumulate(files.begin(), files.end(), std::int64_t(0),
                                         [](std::int64_t sum, const StoredFile& f) { return sum + f.bytes; });
    const TimePoint oldest = now - limits.age;
    for (const StoredFile& file : files) {
        std::string reason;
        if (file.created < oldest)
            reason = "older than " + std::to_string(limits.age.count() / 24) + " days";
        else if (total > limits.bytes)
            reason = "over the size limit of " + std::to_string(limits.bytes / (1 << 20)) + " MB";
        else
            break; // the files are oldest first: the rest are younger and fit
        if (result.removed > 0 && std::chrono::steady_clock::now() >= until) {
            result.unfinished = true;
            break;
        }
        std::error_code ec;
        std::filesystem::remove(file.path, ec); // one already gone is removed just the same
        if (ec) {
            if (result.error.empty())
                result.error = "Cannot remove " + file.path + ": " + ec.message();
            continue;
        }
        if (!log.markRemoved(file.id, now, reason)) {
            if (result.error.empty())
                result.error = log.lastError();
            break;
        }
        total -= file.bytes;
        result.freedBytes += file.bytes;
        ++result.removed;
    }
    return result;
}

} // namespace events
