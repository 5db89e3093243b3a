#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Event.h"

struct sqlite3;
struct sqlite3_stmt;

namespace events {

enum class FileKind { Clip, Thumbnail, Frame };

// The events that started from `from` (inclusive) to `to` (exclusive).
struct TimeRange {
    TimePoint from = TimePoint::min();
    TimePoint to = TimePoint::max();
};

// The events of one local day.
struct EventDay {
    std::string date; // "2026-12-08"
    std::int64_t events = 0;
};

// A file the program wrote into the save folder and still keeps there.
struct StoredFile {
    std::int64_t id = 0;
    std::int64_t eventId = 0; // 0 for a frame saved outside any event
    std::string path;
    FileKind kind = FileKind::Frame;
    std::int64_t bytes = 0;
    TimePoint created{};
};

// The record of events and of the files they left, in an SQLite file (WAL; each change
// its own transaction, so a killed program leaves every finished change behind). Opens
// only its own files: one that is not a database, belongs to another program or to a
// newer version is refused with a message and left as it is. Used on one thread.
class EventLog {
public:
    static constexpr int schemaVersion = 3;

    // Opens or creates the log; null with `error` set when it cannot. Events that were
    // still open when the program stopped are marked interrupted.
    static std::unique_ptr<EventLog> open(const std::string& path, std::string& error);
    // Opens an existing log only to read it, as it is: nothing is created, moved on or
    // marked, and every change fails. A log of an older version reads with what it has.
    static std::unique_ptr<EventLog> openToRead(const std::string& path, std::string& error);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    const std::string& path() const { return path_; }
    // Why the last call that returned false failed.
    const std::string& lastError() const { return error_; }

    // Records a started event and gives it its id.
    bool addStarted(Event& event);
    // Records how an event ended (or was interrupted).
    bool saveEnded(const Event& event);
    // Records how many of the source's pictures the event's clip lacks (its writing fell
    // behind).
    bool setClipDroppedFrames(std::int64_t eventId, std::int64_t frames);
    // Forgets an event and the files it left, in one transaction; the files in `kept`
    // (that could not be removed) stay recorded as present files of no event, for the
    // retention to take later.
    bool removeEvent(std::int64_t eventId, const std::vector<std::string>& kept = {});

    bool addFile(std::int64_t eventId, const std::string& path, FileKind kind, std::int64_t bytes, TimePoint created);
    bool markRemoved(std::int64_t fileId, TimePoint when, const std::string& reason);
    // The files not removed yet, oldest first.
    std::vector<StoredFile> presentFiles();
    std::vector<StoredFile> filesOf(std::int64_t eventId);
    // Why a file left, empty when it is present or unknown.
    std::string removalReason(const std::string& path);

    // Ended and interrupted events, newest first.
    std::int64_t eventCount(const TimeRange& range = {});
    std::vector<Event> events(std::int64_t offset, std::int64_t limit, const TimeRange& range = {});
    // The local days with ended or interrupted events, newest first.
    std::vector<EventDay> eventDays();
    std::optional<Event> event(std::int64_t id);

private:
    struct Closer {
        void operator()(sqlite3* db) const;
    };
    EventLog() = default;
    // Opens the file with SQLite's `flags` and checks it; null with `error` set when it
    // cannot be used.
    static std::unique_ptr<EventLog> connect(const std::string& path, int flags, int busyMs, std::string& error);
    // Reads the schema version and checks that the file is a log this program may use.
    bool check(std::string& error);
    std::string eventColumns() const;
    bool fail(const std::string& what);
    bool exec(const char* sql);
    bool migrate(int from);
    bool committed();
    void checkpoints();

    std::unique_ptr<sqlite3, Closer> db_;
    std::string path_;
    std::string error_;
    int version_ = schemaVersion; // of the file as read

    // Copying the journal into the database waits for the disk: a thread of its own does
    // it after each change, on a connection of its own, so no change waits for it.
    std::thread checkpointer_;
    std::mutex mutex_;
    std::condition_variable due_;
    bool checkpointDue_ = false;
    bool stop_ = false;
};

} // namespace events
