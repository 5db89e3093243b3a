#include "EventLog.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <chrono>
#include <thread>
#include <utility>

#include <sqlite3.h>

namespace events {

namespace {

// One prepared statement, finalized when it goes.
class Statement {
public:
    Statement(sqlite3* db, const char* sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) {
            sqlite3_finalize(statement_);
            statement_ = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool prepared() const { return statement_ != nullptr; }
    Statement& bind(int index, std::int64_t value)
    {
        sqlite3_bind_int64(statement_, index, value);
        return *this;
    }
    Statement& bind(int index, double value)
    {
        sqlite3_bind_double(statement_, index, value);
        return *this;
    }
    Statement& bind(int index, const std::string& value)
    {
        sqlite3_bind_text(statement_, index, value.c_str(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return statement_ ? sqlite3_step(statement_) : SQLITE_ERROR; }

    std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    double real(int column) const { return sqlite3_column_double(statement_, column); }
    bool null(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
    std::string text(int column) const
    {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
        return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
                    : std::string();
    }

private:
    sqlite3_stmt* statement_ = nullptr;
};

// A write transaction that rolls back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db)
    {
        began_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Transaction()
    {
        if (began_ && !committed_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool began() const { return began_; }
    bool commit()
    {
        committed_ = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
        return committed_;
    }

private:
    sqlite3* db_;
    bool began_ = false;
    bool committed_ = false;
};

// Each step takes the schema from version i to i + 1; a new file runs them all.
const char* const migrations[] = {
    R"(CREATE TABLE events (
         id INTEGER PRIMARY KEY,
         state TEXT NOT NULL CHECK (state IN ('open', 'ended', 'interrupted')),
         start_ms INTEGER NOT NULL, start_local TEXT NOT NULL, start_utc TEXT NOT NULL,
         end_ms INTEGER NOT NULL, end_local TEXT NOT NULL, end_utc TEXT NOT NULL,
         peak_count INTEGER NOT NULL, peak_percent REAL NOT NULL, moving_cycles INTEGER NOT NULL,
         centre_path TEXT NOT NULL, thumbnail TEXT NOT NULL, clip TEXT NOT NULL);
       CREATE INDEX events_newest ON events (start_ms DESC, id DESC);
       CREATE TABLE files (
         id INTEGER PRIMARY KEY,
         event_id INTEGER,
         path TEXT NOT NULL,
         kind TEXT NOT NULL CHECK (kind IN ('clip', 'thumbnail', 'frame')),
         bytes INTEGER NOT NULL, created_ms INTEGER NOT NULL,
         removed_ms INTEGER, removed_reason TEXT);
       CREATE INDEX files_present ON files (created_ms, id) WHERE removed_ms IS NULL;
       CREATE INDEX files_of_event ON files (event_id);)",
    // A clip whose writing fell behind lacks pictures: the event's row says how many.
    R"(ALTER TABLE events ADD COLUMN clip_dropped_frames INTEGER NOT NULL DEFAULT 0;)",
    // The path in fractions of the frame, thinned, so that it can be drawn over any picture
    // of the event. Older rows keep their paths in pixels in centre_path: without the
    // frame's size those cannot be brought to fractions, and their new path stays empty.
    R"(ALTER TABLE events ADD COLUMN path TEXT NOT NULL DEFAULT '';)",
};
static_assert(std::size(migrations) == EventLog::schemaVersion);

const char* kindName(FileKind kind)
{
    switch (kind) {
    case FileKind::Clip:
        return "clip";
    case FileKind::Thumbnail:
        return "thumbnail";
    case FileKind::Frame:
        break;
    }
    return "frame";
}

FileKind kindOf(const std::string& name)
{
    if (name == "clip")
        return FileKind::Clip;
    if (name == "thumbnail")
        return FileKind::Thumbnail;
    return FileKind::Frame;
}

// "x,y x,y ...", four decimals: a tenth of a pixel of a large frame. Written and read
// without the locale, whose decimal point may be a comma.
std::string pathText(const std::vector<PathPoint>& path)
{
    std::string text;
    char number[24];
    for (const PathPoint& p : path) {
        if (!text.empty())
            text += ' ';
        text.append(number, std::to_chars(number, std::end(number), p.x, std::chars_format::fixed, 4).ptr);
        text += ',';
        text.append(number, std::to_chars(number, std::end(number), p.y, std::chars_format::fixed, 4).ptr);
    }
    return text;
}

std::vector<PathPoint> pathOf(const std::string& text)
{
    std::vector<PathPoint> path;
    const char* at = text.data();
    const char* const end = at + text.size();
    while (at < end) {
        PathPoint p;
        const auto x = std::from_chars(at, end, p.x);
        if (x.ec != std::errc() || x.ptr == end || *x.ptr != ',')
            break;
        const auto y = std::from_chars(x.ptr + 1, end, p.y);
        if (y.ec != std::errc())
            break;
        path.push_back(p);
        at = y.ptr + (y.ptr < end);
    }
    return path;
}

Event eventOf(const Statement& row)
{
    Event e;
    e.id = row.integer(0);
    const std::string state = row.text(1);
    e.ended = state != "open";
    e.interrupted = state == "interrupted";
    e.start = fromMilliseconds(row.integer(2));
    e.end = fromMilliseconds(row.integer(3));
    e.peakCount = row.integer(4);
    e.peakPercent = row.real(5);
    e.movingCycles = static_cast<int>(row.integer(6));
    e.thumbnail = row.text(7);
    e.clip = row.text(8);
    e.clipDroppedFrames = row.integer(9);
    e.path = pathOf(row.text(10));
    return e;
}

StoredFile fileOf(const Statement& row)
{
    return {row.integer(0), row.integer(1), row.text(2), kindOf(row.text(3)), row.integer(4),
            fromMilliseconds(row.integer(5))};
}

} // namespace

void EventLog::Closer::operator()(sqlite3* db) const
{
    sqlite3_close(db);
}

EventLog::~EventLog()
{
    if (checkpointer_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        due_.notify_all();
        checkpointer_.join();
    }
}

bool EventLog::committed()
{
    {
        std::lock_guard lock(mutex_);
        checkpointDue_ = true;
    }
    due_.notify_all();
    return true;
}

void EventLog::checkpoints()
{
    sqlite3* raw = nullptr;
    sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    const std::unique_ptr<sqlite3, Closer> db(raw);
    sqlite3_busy_timeout(raw, 1000);
    std::unique_lock lock(mutex_);
    for (;;) {
        due_.wait(lock, [this] { return checkpointDue_ || stop_; });
        if (stop_)
            return;
        checkpointDue_ = false;
        lock.unlock();
        // Passive: takes what it can without holding up a change; the next round takes the rest.
        sqlite3_wal_checkpoint_v2(raw, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        lock.lock();
    }
}

bool EventLog::fail(const std::string& what)
{
    error_ = what + ": " + sqlite3_errmsg(db_.get());
    return false;
}

bool EventLog::exec(const char* sql)
{
    return sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool EventLog::check(std::string& error)
{
    sqlite3* db = db_.get();
    // Look before changing anything, so a file that is not ours stays exactly as it is.
    // One read transaction: another program setting up the same new file in between
    // would otherwise show a version of 0 beside its tables.
    const auto unreadable = [&] {
        error = "The event log " + path_ + " cannot be read (" + sqlite3_errmsg(db) + "); it was left as it is";
        return false;
    };
    std::int64_t tableCount = 0;
    if (!exec("BEGIN"))
        return unreadable();
    {
        Statement query(db, "PRAGMA user_version");
        if (query.step() != SQLITE_ROW)
            return unreadable();
        version_ = static_cast<int>(query.integer(0));
        Statement tables(db, "SELECT count(*) FROM sqlite_master");
        if (tables.step() != SQLITE_ROW)
            return unreadable();
        tableCount = tables.integer(0);
    }
    exec("COMMIT");
    if (version_ > schemaVersion) {
        error = "The event log " + path_ + " was written by a newer version of the program (schema " +
                std::to_string(version_) + ", this one reads up to " + std::to_string(schemaVersion) +
                "); it was left as it is";
        return false;
    }
    if (version_ == 0 && tableCount != 0) {
        error = "The file " + path_ + " is a database of another program; it was left as it is";
        return false;
    }
    return true;
}

std::unique_ptr<EventLog> EventLog::connect(const std::string& path, int flags, int busyMs, std::string& error)
{
    std::unique_ptr<EventLog> log(new EventLog);
    log->path_ = path;
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    log->db_.reset(db);
    if (opened != SQLITE_OK) {
        error = "Cannot open the event log " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(opened));
        return nullptr;
    }
    sqlite3_busy_timeout(db, busyMs);
    if (!log->check(error))
        return nullptr;
    return log;
}

std::unique_ptr<EventLog> EventLog::openToRead(const std::string& path, std::string& error)
{
    // A reader waits for a writer only in the rare moments WAL asks it to; the windows
    // never wait longer than this for one.
    return connect(path, SQLITE_OPEN_READONLY, 200, error);
}

std::unique_ptr<EventLog> EventLog::open(const std::string& path, std::string& error)
{
    std::unique_ptr<EventLog> log = connect(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, 2000, error);
    if (!log)
        return nullptr;
    sqlite3* db = log->db_.get();
    const int version = log->version_;

    // Switching to WAL needs the file to itself; two programs doing it at once are told
    // "busy" at once rather than waiting for each other, so the loser tries again.
    bool wal = log->exec("PRAGMA journal_mode = WAL");
    for (int attempt = 0; !wal && sqlite3_errcode(db) == SQLITE_BUSY && attempt < 100; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        wal = log->exec("PRAGMA journal_mode = WAL");
    }
    if (!wal || !log->exec("PRAGMA synchronous = NORMAL") ||
        !log->exec("PRAGMA wal_autocheckpoint = 0")) {
        error = "Cannot set up the event log " + path + ": " + sqlite3_errmsg(db);
        return nullptr;
    }
    if (version < schemaVersion && !log->migrate(version)) {
        error = "Cannot set up the event log " + path + ": " + log->error_;
        return nullptr;
    }
    log->version_ = schemaVersion;
    Transaction recover(db);
    Statement interrupt(db, "UPDATE events SET state = 'interrupted' WHERE state = 'open'");
    if (!recover.began() || interrupt.step() != SQLITE_DONE || !recover.commit()) {
        error = "Cannot update the event log " + path + ": " + sqlite3_errmsg(db);
        return nullptr;
    }
    log->checkpointer_ = std::thread([raw = log.get()] { raw->checkpoints(); });
    return log;
}

bool EventLog::migrate(int from)
{
    Transaction transaction(db_.get());
    if (!transaction.began())
        return fail("Cannot begin");
    // Another program opening the same new log at the same moment (a second camera saving
    // into this folder) may have moved the schema on while this one waited for the lock.
    {
        Statement query(db_.get(), "PRAGMA user_version");
        if (query.step() != SQLITE_ROW)
            return fail("Cannot read the schema version");
        from = std::max(from, static_cast<int>(query.integer(0)));
    }
    for (int step = from; step < schemaVersion; ++step)
        if (!exec(migrations[step]))
            return fail("Cannot move the schema to version " + std::to_string(step + 1));
    if (!exec(("PRAGMA user_version = " + std::to_string(schemaVersion)).c_str()) || !transaction.commit())
        return fail("Cannot record the schema version");
    return true;
}

bool EventLog::addStarted(Event& event)
{
    Transaction transaction(db_.get());
    Statement insert(db_.get(),
                     "INSERT INTO events (state, start_ms, start_local, start_utc, end_ms, end_local, end_utc, "
                     "peak_count, peak_percent, moving_cycles, centre_path, path, thumbnail, clip) "
                     "VALUES ('open', ?1, ?2, ?3, ?1, ?2, ?3, ?4, ?5, ?6, '', ?7, ?8, ?9)");
    insert.bind(1, toMilliseconds(event.start))
        .bind(2, localText(event.start))
        .bind(3, utcText(event.start))
        .bind(4, event.peakCount)
        .bind(5, event.peakPercent)
        .bind(6, std::int64_t(event.movingCycles))
        .bind(7, pathText(event.path))
        .bind(8, event.thumbnail)
        .bind(9, event.clip);
    if (!transaction.began() || insert.step() != SQLITE_DONE)
        return fail("Cannot record the start of an event");
    const std::int64_t id = sqlite3_last_insert_rowid(db_.get());
    if (!transaction.commit())
        return fail("Cannot record the start of an event");
    event.id = id;
    return committed();
}

bool EventLog::saveEnded(const Event& event)
{
    Transaction transaction(db_.get());
    Statement update(db_.get(),
                     "UPDATE events SET state = ?2, end_ms = ?3, end_local = ?4, end_utc = ?5, peak_count = ?6, "
                     "peak_percent = ?7, moving_cycles = ?8, path = ?9, thumbnail = ?10, clip = ?11 "
                     "WHERE id = ?1");
    update.bind(1, event.id)
        .bind(2, std::string(event.interrupted ? "interrupted" : "ended"))
        .bind(3, toMilliseconds(event.end))
        .bind(4, localText(event.end))
        .bind(5, utcText(event.end))
        .bind(6, event.peakCount)
        .bind(7, event.peakPercent)
        .bind(8, std::int64_t(event.movingCycles))
        .bind(9, pathText(event.path))
        .bind(10, event.thumbnail)
        .bind(11, event.clip);
    if (!transaction.began() || update.step() != SQLITE_DONE || !transaction.commit())
        return fail("Cannot record the end of an event");
    return committed();
}

bool EventLog::setClipDroppedFrames(std::int64_t eventId, std::int64_t frames)
{
    Transaction transaction(db_.get());
    Statement update(db_.get(), "UPDATE events SET clip_dropped_frames = ?2 WHERE id = ?1");
    update.bind(1, eventId).bind(2, frames);
    if (!transaction.began() || update.step() != SQLITE_DONE || !transaction.commit())
        return fail("Cannot record the pictures the clip lacks");
    return committed();
}

bool EventLog::removeEvent(std::int64_t eventId, const std::vector<std::string>& kept)
{
    Transaction transaction(db_.get());
    if (!transaction.began())
        return fail("Cannot remove an event");
    for (const std::string& path : kept) {
        Statement keep(db_.get(), "UPDATE files SET event_id = NULL WHERE event_id = ?1 AND path = ?2");
        keep.bind(1, eventId).bind(2, path);
        if (keep.step() != SQLITE_DONE)
            return fail("Cannot remove an event");
    }
    Statement files(db_.get(), "DELETE FROM files WHERE event_id = ?1");
    files.bind(1, eventId);
    Statement remove(db_.get(), "DELETE FROM events WHERE id = ?1");
    remove.bind(1, eventId);
    if (files.step() != SQLITE_DONE || remove.step() != SQLITE_DONE || !transaction.commit())
        return fail("Cannot remove an event");
    return committed();
}

bool EventLog::addFile(std::int64_t eventId, const std::string& path, FileKind kind, std::int64_t bytes,
                       TimePoint created)
{
    Transaction transaction(db_.get());
    Statement insert(db_.get(), "INSERT INTO files (event_id, path, kind, bytes, created_ms) "
                                "VALUES (nullif(?1, 0), ?2, ?3, ?4, ?5)");
    insert.bind(1, eventId).bind(2, path).bind(3, std::string(kindName(kind))).bind(4, bytes).bind(5, toMilliseconds(created));
    if (!transaction.began() || insert.step() != SQLITE_DONE || !transaction.commit())
        return fail("Cannot record the file " + path);
    return committed();
}

bool EventLog::markRemoved(std::int64_t fileId, TimePoint when, const std::string& reason)
{
    Transaction transaction(db_.get());
    Statement update(db_.get(), "UPDATE files SET removed_ms = ?2, removed_reason = ?3 WHERE id = ?1");
    update.bind(1, fileId).bind(2, toMilliseconds(when)).bind(3, reason);
    if (!transaction.began() || update.step() != SQLITE_DONE || !transaction.commit())
        return fail("Cannot record a removed file");
    return committed();
}

std::vector<StoredFile> EventLog::presentFiles()
{
    std::vector<StoredFile> files;
    Statement query(db_.get(), "SELECT id, coalesce(event_id, 0), path, kind, bytes, created_ms FROM files "
                               "WHERE removed_ms IS NULL ORDER BY created_ms, id");
    while (query.step() == SQLITE_ROW)
        files.push_back(fileOf(query));
    return files;
}

std::vector<StoredFile> EventLog::filesOf(std::int64_t eventId)
{
    std::vector<StoredFile> files;
    Statement query(db_.get(), "SELECT id, coalesce(event_id, 0), path, kind, bytes, created_ms FROM files "
                               "WHERE event_id = ?1 AND removed_ms IS NULL ORDER BY id");
    query.bind(1, eventId);
    while (query.step() == SQLITE_ROW)
        files.push_back(fileOf(query));
    return files;
}

std::string EventLog::removalReason(const std::string& path)
{
    Statement query(db_.get(), "SELECT removed_reason FROM files WHERE path = ?1 AND removed_ms IS NOT NULL "
                               "ORDER BY removed_ms DESC LIMIT 1");
    query.bind(1, path);
    return query.step() == SQLITE_ROW ? query.text(0) : std::string();
}

std::string EventLog::eventColumns() const
{
    // A log of an older version, read as it is, has no path in fractions yet.
    return std::string("id, state, start_ms, end_ms, peak_count, peak_percent, moving_cycles, thumbnail, clip, "
                       "clip_dropped_frames, ") +
           (version_ >= 3 ? "path" : "''");
}

std::int64_t EventLog::eventCount(const TimeRange& range)
{
    Statement query(db_.get(), "SELECT count(*) FROM events WHERE state != 'open' AND start_ms >= ?1 AND start_ms < ?2");
    query.bind(1, toMilliseconds(range.from)).bind(2, toMilliseconds(range.to));
    return query.step() == SQLITE_ROW ? query.integer(0) : 0;
}

std::vector<Event> EventLog::events(std::int64_t offset, std::int64_t limit, const TimeRange& range)
{
    std::vector<Event> list;
    Statement query(db_.get(), ("SELECT " + eventColumns() +
                                " FROM events WHERE state != 'open' AND start_ms >= ?3 AND start_ms < ?4 "
                                "ORDER BY start_ms DESC, id DESC LIMIT ?1 OFFSET ?2")
                                   .c_str());
    query.bind(1, limit).bind(2, offset).bind(3, toMilliseconds(range.from)).bind(4, toMilliseconds(range.to));
    while (query.step() == SQLITE_ROW)
        list.push_back(eventOf(query));
    return list;
}

std::vector<EventDay> EventLog::eventDays()
{
    std::vector<EventDay> days;
    // SQLite's local time is the C library's, as Qt's is.
    Statement query(db_.get(), "SELECT date(start_ms / 1000, 'unixepoch', 'localtime') AS day, count(*) FROM events "
                               "WHERE state != 'open' GROUP BY day ORDER BY day DESC");
    while (query.step() == SQLITE_ROW)
        days.push_back({query.text(0), query.integer(1)});
    return days;
}

std::optional<Event> EventLog::event(std::int64_t id)
{
    Statement query(db_.get(), ("SELECT " + eventColumns() + " FROM events WHERE id = ?1").c_str());
    query.bind(1, id);
    if (query.step() != SQLITE_ROW)
        return std::nullopt;
    return eventOf(query);
}

} // namespace events
