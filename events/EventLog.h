#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Event.h"
#include "LogWriter.h"

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
// newer version is refused with a message and left as it is, and so is a journal beside
// it that is not its own. Changes are written on a thread of their own (LogWriter), so
// no caller waits for the disk or for another program holding the file; an event gets
// its id at once. Reads and changes come from one thread.
class EventLog {
public:
    static constexpr int schemaVersion = 3;

    // Opens or creates the log; null with `error` set when it cannot. Events that were
    // still open when the program stopped are marked interrupted.
    // Events whose id another program took before their row was written, with their rows.
    using MovedIds = std::map<std::int64_t, std::int64_t>;

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

    // How many changes may wait for a busy or failing file before later ones are lost.
    static constexpr std::size_t mostWaiting = 10'000;

    // The changes below are queued for the writer: false, with `lastError` saying what is
    // lost, only when too many wait already.

    // Gives a started event its id, without waiting for the disk, and records it.
    bool addStarted(Event& event);
    // Records how an event ended (or was interrupted).
    bool saveEnded(const Event& event);
    // Records how many of the source's pictures the event's clip lacks (its writing fell
    // behind).
    bool setClipDroppedFrames(std::int64_t eventId, std::int64_t frames);
    // Forgets an event in one transaction: its files are marked removed by `reason` (so
    // why a file went can be told until the record is pruned), except those in `kept`
    // (they could not be removed), which stay present files of no event for the retention
    // to take later.
    bool removeEvent(std::int64_t eventId, TimePoint when, const std::string& reason,
                     const std::vector<std::string>& kept = {});

    // After a start: records the clips kept from a killed program (their rows name them
    // already), and takes the clip off every row whose clip is not there and never will
    // be (`present` says, on the writer's thread), noting it as lost with `reason`.
    bool settleClips(const std::vector<std::pair<std::string, std::int64_t>>& kept,
                     std::function<bool(const std::string& clip)> present, TimePoint when, const std::string& reason);

    bool addFile(std::int64_t eventId, const std::string& path, FileKind kind, std::int64_t bytes, TimePoint created);
    bool markRemoved(std::int64_t fileId, TimePoint when, const std::string& reason);
    // A file written again in place (a thumbnail of a new peak) has a new size.
    bool setFileBytes(const std::string& path, std::int64_t bytes);
    // Forgets the files removed before `before`, and the oldest removed ones beyond `keepAtMost`.
    bool pruneRemoved(TimePoint before, std::int64_t keepAtMost);
    // The files not removed yet, oldest first; their bytes, those waiting for the writer too.
    std::vector<StoredFile> presentFiles();
    std::int64_t presentBytes();
    // The bytes of the files whose record still waits for the writer.
    std::int64_t queuedFileBytes() const { return queuedBytes_->load(); }
    std::vector<StoredFile> filesOf(std::int64_t eventId);
    // Why a file left, empty when it is present or unknown.
    std::string removalReason(const std::string& path);

    // Tells, on the writer's thread, when the changes cannot be written (another program
    // holds the file, the disk is full), when some are lost, and once all are written again.
    void setWriterListener(std::function<void(bool written, const std::string& text)> listener);
    // Waits until every change is written; false when `timeout` passed first. Not for the
    // GUI thread.
    bool waitWritten(std::chrono::milliseconds timeout);
    std::size_t waitingChanges() const;

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
    bool exec(const char* sql);
    std::string eventColumns() const;
    sqlite3* reader();
    bool queue(std::string what, std::function<int(sqlite3*)> apply);

    // The writer goes last: what waits is written while the reading connection is gone.
    std::unique_ptr<LogWriter> writer_;
    std::unique_ptr<sqlite3, Closer> db_; // for reading, and for setting the file up
    std::string path_;
    std::string error_;
    int version_ = schemaVersion; // of the file as read
    std::int64_t nextId_ = 1;
    std::uint64_t readGeneration_ = 0; // the writer's file that `db_` reads
    std::shared_ptr<MovedIds> moved_ = std::make_shared<MovedIds>(); // the writer's only
    std::shared_ptr<std::atomic<std::int64_t>> largest_ = std::make_shared<std::atomic<std::int64_t>>(0);
    std::shared_ptr<std::atomic<std::int64_t>> queuedBytes_ = std::make_shared<std::atomic<std::int64_t>>(0);
    // Files whose removal waits for the writer: not present any more to those who read.
    std::set<std::int64_t> removing_;
};

} // namespace events
