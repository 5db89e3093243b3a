#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <sys/types.h>

struct sqlite3;

namespace events {

// SQLite's own words for the last failure on `db`, with its extended code and the
// system's reason when there is one ("No space left on device").
std::string sqliteReason(sqlite3* db);
// Whether the last failure on `db` came from a full disk.
bool noSpace(sqlite3* db);

// Writes the changes of an SQLite file on a thread and a connection of its own, in the
// order they come, each in a transaction of its own, so that no caller ever waits for
// the disk or for another program holding the file's write lock. A change that cannot
// be written for a while (the lock is held, the disk is full, the file is gone) stays
// queued and is tried again; a bounded number wait, later ones are dropped. Whoever
// listens hears each change of state once: busy, failing, dropping, written again.
class LogWriter {
public:
    // One change: what it records, in words, and the statements that make it on the
    // writer's connection (inside its transaction), returning SQLITE_OK or the failing code.
    struct Change {
        std::string what;
        std::function<int(sqlite3*)> apply;
    };
    // Told on the writer's thread: false with the fault in words, true once all is written again.
    using Listener = std::function<void(bool written, const std::string& text)>;

    // Sets a new file up as the log; SQLITE_OK or the failing code.
    using SetUp = std::function<int(sqlite3*)>;

    // `setUp` begins the file anew when it is removed while in use (its folder deleted):
    // the folder is made again and what waits goes into the new file.
    LogWriter(std::string path, std::size_t mostWaiting, SetUp setUp);
    // Writes what waits for a few seconds at most, then stops; what is left is lost.
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Queues a change; false, with `error` saying what is lost, when too many wait.
    bool add(Change change, std::string& error);
    void setListener(Listener listener);
    // Waits until nothing waits any more; false when `timeout` passed first.
    bool waitWritten(std::chrono::milliseconds timeout);
    std::size_t waiting() const;
    // Counts the files begun anew.
    std::uint64_t generation() const { return generation_; }

private:
    enum class State { Written, Busy, Failing, Dropping, Renewed };
    void run();
    // SQLITE_OK, or the code of the failure with `error` in words.
    int write(sqlite3* db, const Change& change, std::string& error);
    // Opens the file when `db` is not open, or anew when the path names another file than
    // the open one; SQLITE_OK or the failing code, with `error` in words.
    struct Closer {
        void operator()(sqlite3* db) const;
    };
    using Connection = std::unique_ptr<sqlite3, Closer>;
    int connect(Connection& db, std::string& error);
    // Tells the listener of a new state, without the lock held.
    void tell(std::unique_lock<std::mutex>& lock, State state, const std::string& text);

    const std::string path_;
    const std::size_t mostWaiting_;
    const SetUp setUp_;
    std::atomic<std::uint64_t> generation_ = 0;
    // The open file, to tell it from another under the same name.
    dev_t device_ = 0;
    ino_t inode_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Change> queue_;
    bool writing_ = false; // the front change is being written
    bool stop_ = false;
    State state_ = State::Written;
    Listener listener_;
    std::thread thread_;
};

} // namespace events
