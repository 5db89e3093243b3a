#include "LogWriter.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <utility>

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <sqlite3.h>

namespace events {

using namespace std::chrono_literals;

namespace {

// How long a busy file waits inside SQLite before the writer looks at its queue again,
// and how long the writer rests before trying a failing file again.
constexpr int busyWaitMs = 200;
constexpr auto failingRest = 1s;
// At the end, what waits gets this long to be written.
constexpr auto closingWait = 5s;
// How often an idle writer looks whether its file is still there.
constexpr auto lookAgain = 2s;

// Faults that pass: another program's lock, a full disk, a folder that comes back. Any
// other would fail the change again however often it is tried.
bool passing(int code)
{
    switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_READONLY:
    case SQLITE_PROTOCOL:
    case SQLITE_NOMEM:
        return true;
    default:
        return false;
    }
}

} // namespace

bool noSpace(sqlite3* db)
{
    // SQLite tells a disk that filled up while it extended its shared memory or journal
    // as an I/O error: the disk says what it was.
    const int code = sqlite3_errcode(db);
    const int system = sqlite3_system_errno(db);
    const char* file = sqlite3_db_filename(db, "main");
    struct statvfs disk {};
    return code == SQLITE_FULL || system == ENOSPC || system == EDQUOT ||
           (code == SQLITE_IOERR && file && *file &&
            ::statvfs(std::filesystem::path(file).parent_path().c_str(), &disk) == 0 && disk.f_bavail == 0);
}

std::string sqliteReason(sqlite3* db)
{
    std::string reason = sqlite3_errmsg(db);
    reason += " (code " + std::to_string(sqlite3_extended_errcode(db));
    if (const int system = sqlite3_system_errno(db); system != 0)
        reason += std::string(", ") + std::strerror(system);
    return reason + (noSpace(db) ? "): no space is left on the disk" : ")");
}

void LogWriter::Closer::operator()(sqlite3* db) const
{
    sqlite3_close(db);
}

LogWriter::LogWriter(std::string path, std::size_t mostWaiting, SetUp setUp)
    : path_(std::move(path)), mostWaiting_(mostWaiting), setUp_(std::move(setUp)), thread_([this] { run(); })
{
}

LogWriter::~LogWriter()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

bool LogWriter::add(Change change, std::string& error)
{
    std::unique_lock lock(mutex_);
    if (queue_.size() >= mostWaiting_) {
        error = "The event log " + path_ + " takes no more changes while " + std::to_string(queue_.size()) +
                " wait: " + change.what + " is lost";
        tell(lock, State::Dropping, error);
        return false;
    }
    queue_.push_back(std::move(change));
    changed_.notify_all();
    return true;
}

void LogWriter::setListener(Listener listener)
{
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

bool LogWriter::waitWritten(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return queue_.empty(); });
}

std::size_t LogWriter::waiting() const
{
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void LogWriter::tell(std::unique_lock<std::mutex>& lock, State state, const std::string& text)
{
    // A log begun anew said so; it was not failing.
    const bool quiet = state == state_ || (state == State::Written && state_ == State::Renewed);
    state_ = state;
    if (quiet)
        return;
    const Listener listener = listener_;
    lock.unlock();
    if (listener)
        listener(state == State::Written, text);
    lock.lock();
}

int LogWriter::write(sqlite3* db, const Change& change, std::string& error)
{
    int code = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (code == SQLITE_OK) {
        code = change.apply(db);
        if (code == SQLITE_OK)
            code = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    if (code == SQLITE_OK)
        return code;
    code = sqlite3_extended_errcode(db);
    error = sqliteReason(db);
    if (!sqlite3_get_autocommit(db))
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return code;
}

int LogWriter::connect(Connection& db, std::string& error)
{
    struct stat file {};
    const bool present = ::stat(path_.c_str(), &file) == 0;
    const bool same = present && file.st_dev == device_ && file.st_ino == inode_;
    if (db && same)
        return SQLITE_OK;
    db.reset();
    const bool known = inode_ != 0;
    // The log (or its whole folder) was removed while in use: the settings still name this
    // folder, so the records go on there, in a new log, rather than nowhere.
    std::error_code ec;
    const bool folderMade = !present && known && std::filesystem::create_directories(
                                                     std::filesystem::path(path_).parent_path(), ec);
    sqlite3* raw = nullptr;
    int code = sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READWRITE | (present ? 0 : SQLITE_OPEN_CREATE), nullptr);
    db.reset(raw);
    if (code == SQLITE_OK) {
        sqlite3_extended_result_codes(raw, 1);
        sqlite3_busy_timeout(raw, busyWaitMs);
        sqlite3_exec(raw, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);
        if (!present)
            code = setUp_(raw);
    }
    if (code != SQLITE_OK || ::stat(path_.c_str(), &file) != 0) {
        error = raw ? sqliteReason(raw) : sqlite3_errstr(code);
        db.reset();
        return code == SQLITE_OK ? SQLITE_CANTOPEN : code;
    }
    device_ = file.st_dev;
    inode_ = file.st_ino;
    if (known && !same) {
        ++generation_;
        std::unique_lock lock(mutex_);
        tell(lock, State::Renewed,
             "The event log " + path_ + (present ? " was replaced by another file while in use; events go into that one"
                                                 : " was removed while in use; events go into a new one") +
                 (folderMade ? ", in its folder made again" : ""));
    }
    return SQLITE_OK;
}

void LogWriter::run()
{
    Connection db;
    std::unique_lock lock(mutex_);
    std::chrono::steady_clock::time_point giveUp = std::chrono::steady_clock::time_point::max();
    for (;;) {
        if (!changed_.wait_for(lock, lookAgain, [this] { return stop_ || !queue_.empty(); })) {
            if (db) {
                lock.unlock();
                std::string ignored; // told when a change fails
                connect(db, ignored);
                lock.lock();
            }
            continue;
        }
        if (queue_.empty())
            return;
        if (stop_ && giveUp == std::chrono::steady_clock::time_point::max())
            giveUp = std::chrono::steady_clock::now() + closingWait;
        const Change& change = queue_.front(); // only this thread takes changes off
        lock.unlock();

        std::string error;
        int code = connect(db, error);
        if (code == SQLITE_OK)
            code = write(db.get(), change, error);
        const bool busy = (code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED;
        if (code != SQLITE_OK && !busy)
            db.reset(); // its disk may come back: open it again

        lock.lock();
        if (code == SQLITE_OK || !passing(code)) {
            const std::string what = change.what;
            queue_.pop_front();
            if (code != SQLITE_OK)
                tell(lock, State::Failing, "Cannot record " + what + " in the event log " + path_ + ": " + error);
            else if (queue_.empty())
                tell(lock, State::Written, "The event log " + path_ + " is written again");
            changed_.notify_all();
            continue;
        }
        const std::string waiting = std::to_string(queue_.size()) + (queue_.size() == 1 ? " change waits" : " changes wait");
        if (busy) {
            tell(lock, State::Busy, "The event log " + path_ + " is busy: another program holds it; " + waiting);
        } else {
            tell(lock, State::Failing, "Cannot write the event log " + path_ + ": " + error + "; " + waiting);
        }
        if (stop_ && std::chrono::steady_clock::now() >= giveUp) {
            queue_.clear();
            changed_.notify_all();
            return;
        }
        if (!busy)
            changed_.wait_until(lock, std::min(giveUp, std::chrono::steady_clock::now() + failingRest),
                                [this, giveUp] { return stop_ && giveUp == std::chrono::steady_clock::time_point::max(); });
    }
}

} // namespace events
