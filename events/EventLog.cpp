#include "EventLog.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <chrono>
#include <filesystem>
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

EventLog::~EventLog() = default;


bool EventLog::exec(const char* sql)
{
    return sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

namespace {

// What a file says of itself, read in one transaction: another program setting up the
// same new file in between would otherwise show a version of 0 beside its tables.
struct Identity {
    bool read = false;
    int version = 0;
    std::int64_t tables = 0;
    bool hasEvents = false; // an events table with this log's columns
};

Identity identify(sqlite3* db)
{
    Identity id;
    if (sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK)
        return id;
    Statement version(db, "PRAGMA user_version");
    Statement tables(db, "SELECT count(*) FROM sqlite_master");
    if (version.step() == SQLITE_ROW && tables.step() == SQLITE_ROW) {
        id.read = true;
        id.version = static_cast<int>(version.integer(0));
        id.tables = tables.integer(0);
        id.hasEvents = Statement(db, "SELECT id, state, start_ms, end_ms, peak_count, peak_percent, moving_cycles, "
                                     "centre_path, thumbnail, clip FROM events LIMIT 0")
                           .prepared();
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    return id;
}

// Why `id` is not a log this program may use; empty when it is one.
std::string refusal(const Identity& id)
{
    if (id.version > EventLog::schemaVersion)
        return "was written by a newer version of the program (schema " + std::to_string(id.version) +
               ", this one reads up to " + std::to_string(EventLog::schemaVersion) + ")";
    const bool fresh = id.version == 0 && id.tables == 0;
    if (!fresh && (id.version <= 0 || !id.hasEvents))
        return "is a database of another program";
    return {};
}

// Moves the schema on from version `from`; empty, or why not.
std::string migrate(sqlite3* db, int from)
{
    Transaction transaction(db);
    if (!transaction.began())
        return "Cannot begin: " + sqliteReason(db);
    // Another program opening the same new log at the same moment (a second camera saving
    // into this folder) may have moved the schema on while this one waited for the lock.
    {
        Statement query(db, "PRAGMA user_version");
        if (query.step() != SQLITE_ROW)
            return "Cannot read the schema version: " + sqliteReason(db);
        from = std::max(from, static_cast<int>(query.integer(0)));
    }
    for (int step = from; step < EventLog::schemaVersion; ++step)
        if (sqlite3_exec(db, migrations[step], nullptr, nullptr, nullptr) != SQLITE_OK)
            return "Cannot move the schema to version " + std::to_string(step + 1) + ": " + sqliteReason(db);
    if (sqlite3_exec(db, ("PRAGMA user_version = " + std::to_string(EventLog::schemaVersion)).c_str(), nullptr,
                     nullptr, nullptr) != SQLITE_OK ||
        !transaction.commit())
        return "Cannot record the schema version: " + sqliteReason(db);
    return {};
}

// Sets up a new file as a log; SQLITE_OK or the failing code.
int setUpNew(sqlite3* db)
{
    if (sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr) != SQLITE_OK)
        return sqlite3_extended_errcode(db);
    return migrate(db, 0).empty() ? SQLITE_OK : sqlite3_extended_errcode(db);
}

} // namespace

std::unique_ptr<EventLog> EventLog::open(const std::string& path, std::string& error)
{
    std::unique_ptr<EventLog> log(new EventLog);
    log->path_ = path;
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    log->db_.reset(db);
    if (opened != SQLITE_OK) {
        error = "Cannot open the event log " + path + ": " + (db ? sqliteReason(db) : sqlite3_errstr(opened));
        return nullptr;
    }
    // Closing copies the journal into the file: not before the file is known to be ours,
    // nor a journal that may be another's.
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_extended_result_codes(db, 1);
    // Reads do not wait for writers in WAL; only setting a new file up waits, briefly.
    sqlite3_busy_timeout(db, 100);

    // Look before changing anything, so a file that is not ours stays exactly as it is.
    const Identity identity = identify(db);
    if (!identity.read) {
        error = noSpace(db) ? "The event log " + path + " cannot be opened: " + sqliteReason(db)
                               : "The event log " + path + " cannot be read (" + sqliteReason(db) +
                                     "); it was left as it is";
        return nullptr;
    }
    if (const std::string why = refusal(identity); !why.empty()) {
        // The file alone, without the journal beside it: when that is a log of ours, the
        // journal belongs to another database.
        sqlite3* alone = nullptr;
        std::string uri = "file:";
        for (const char c : path)
            uri += c == '%' ? "%25" : c == '?' ? "%3f" : c == '#' ? "%23" : std::string(1, c);
        uri += "?immutable=1";
        const bool mine = sqlite3_open_v2(uri.c_str(), &alone, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) ==
                              SQLITE_OK &&
                          refusal(identify(alone)).empty();
        sqlite3_close(alone);
        if (mine && std::filesystem::exists(path + "-wal"))
            error = "The journal " + path + "-wal beside the event log belongs to another database; both were left "
                    "as they are (move it away to use the log)";
        else
            error = "The " + std::string(identity.version > EventLog::schemaVersion ? "event log " : "file ") + path +
                    " " + why + "; it was left as it is";
        return nullptr;
    }

    // Switching to WAL needs the file to itself; two programs doing it at once are told
    // "busy" at once rather than waiting for each other, so the loser tries again.
    bool wal = log->exec("PRAGMA journal_mode = WAL");
    for (int attempt = 0; !wal && sqlite3_errcode(db) == SQLITE_BUSY && attempt < 100; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        wal = log->exec("PRAGMA journal_mode = WAL");
    }
    // A new or older file is set up once: another program setting up the same file at the
    // same moment (a second camera saving here) is waited for; reads never wait this long.
    sqlite3_busy_timeout(db, 2000);
    const std::string migrated = !wal || identity.version == schemaVersion ? "" : migrate(db, identity.version);
    sqlite3_busy_timeout(db, 100);
    if (!wal || !migrated.empty()) {
        error = "Cannot set up the event log " + path + ": " + (wal ? migrated : sqliteReason(db));
        return nullptr;
    }
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
    {
        Statement largest(db, "SELECT coalesce(max(id), 0) FROM events");
        if (largest.step() != SQLITE_ROW) {
            error = "The event log " + path + " cannot be read (" + sqliteReason(db) + ")";
            return nullptr;
        }
        log->nextId_ = largest.integer(0) + 1;
    }
    log->writer_ = std::make_unique<LogWriter>(path, mostWaiting, setUpNew);
    log->queue("the events the program left open", [](sqlite3* writer) {
        Statement interrupt(writer, "UPDATE events SET state = 'interrupted' WHERE state = 'open'");
        return interrupt.step() == SQLITE_DONE ? SQLITE_OK : SQLITE_ERROR;
    });
    return log;
}

std::unique_ptr<EventLog> EventLog::openToRead(const std::string& path, std::string& error)
{
    std::unique_ptr<EventLog> log(new EventLog);
    log->path_ = path;
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    log->db_.reset(db);
    if (opened != SQLITE_OK) {
        error = "Cannot read the event log " + path + ": " + (db ? sqliteReason(db) : sqlite3_errstr(opened));
        return nullptr;
    }
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    // Reads do not wait for writers in WAL: the windows never wait long for one.
    sqlite3_busy_timeout(db, 100);
    const Identity identity = identify(db);
    const std::string why = identity.read ? refusal(identity) : "cannot be read (" + sqliteReason(db) + ")";
    if (!why.empty() || identity.version == 0) {
        error = "The event log " + path + " " + (why.empty() ? std::string("holds no events yet") : why);
        return nullptr;
    }
    log->version_ = identity.version;
    return log;
}

sqlite3* EventLog::reader()
{
    // The writer began the file anew (the old one was removed): read the new one.
    if (!writer_)
        return db_.get();
    if (const std::uint64_t generation = writer_->generation(); generation != readGeneration_) {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
            sqlite3_busy_timeout(db, 100);
            db_.reset(db);
            readGeneration_ = generation;
        } else {
            sqlite3_close(db);
        }
    }
    return db_.get();
}

bool EventLog::queue(std::string what, std::function<int(sqlite3*)> apply)
{
    if (!writer_) {
        error_ = "The event log " + path_ + " is only read: " + what + " cannot be recorded";
        return false;
    }
    return writer_->add({std::move(what), std::move(apply)}, error_);
}

void EventLog::setWriterListener(std::function<void(bool, const std::string&)> listener)
{
    writer_->setListener(std::move(listener));
}

bool EventLog::waitWritten(std::chrono::milliseconds timeout)
{
    return writer_->waitWritten(timeout);
}

std::size_t EventLog::waitingChanges() const
{
    return writer_->waiting();
}

namespace {

// The row of the event given `id`.
std::int64_t rowOf(const EventLog::MovedIds& moved, std::int64_t id)
{
    const auto found = moved.find(id);
    return found == moved.end() ? id : found->second;
}

// SQLITE_OK when the statement ran to its end; its failure is the connection's.
int done(Statement& statement)
{
    return statement.step() == SQLITE_DONE ? SQLITE_OK : SQLITE_ERROR;
}

} // namespace

namespace {

// The whole row of an event; `update` also when the row is there already (its end), else
// under `id` (the one it was given, or the next free one).
int writeEvent(sqlite3* db, const Event& e, std::int64_t row, const std::string& state, bool update,
               const char* id = "?1")
{
    Statement write(db, (std::string("INSERT INTO events (id, state, start_ms, start_local, start_utc, end_ms, "
                                     "end_local, end_utc, peak_count, peak_percent, moving_cycles, centre_path, "
                                     "path, thumbnail, clip) VALUES (") +
                         id + ", ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, '', ?12, ?13, ?14)" +
                         (update ? " ON CONFLICT (id) DO UPDATE SET state = ?2, end_ms = ?6, end_local = ?7, "
                                   "end_utc = ?8, peak_count = ?9, peak_percent = ?10, moving_cycles = ?11, "
                                   "path = ?12, thumbnail = ?13, clip = ?14"
                                 : " ON CONFLICT (id) DO NOTHING"))
                            .c_str());
    write.bind(1, row)
        .bind(2, state)
        .bind(3, toMilliseconds(e.start))
        .bind(4, localText(e.start))
        .bind(5, utcText(e.start))
        .bind(6, toMilliseconds(e.end))
        .bind(7, localText(e.end))
        .bind(8, utcText(e.end))
        .bind(9, e.peakCount)
        .bind(10, e.peakPercent)
        .bind(11, std::int64_t(e.movingCycles))
        .bind(12, pathText(e.path))
        .bind(13, e.thumbnail)
        .bind(14, e.clip);
    return done(write);
}

} // namespace

bool EventLog::addStarted(Event& event)
{
    // Past what other programs recording into this log have written, as far as seen.
    event.id = nextId_ = std::max(nextId_, largest_->load() + 1);
    ++nextId_;
    return queue("the start of event " + std::to_string(event.id), [e = event, moved = moved_, largest = largest_](sqlite3* db) {
        Statement newest(db, "SELECT max(id) FROM events");
        if (newest.step() == SQLITE_ROW)
            *largest = newest.integer(0);
        if (const int code = writeEvent(db, e, e.id, "open", false); code != SQLITE_OK || sqlite3_changes(db) == 1)
            return code;
        // Another program recording into this log took the id meanwhile: the row goes under
        // the next free one, which the event's later changes use.
        const int code = writeEvent(db, e, e.id, "open", false, "(SELECT max(id) + 1 FROM events)");
        (*moved)[e.id] = sqlite3_last_insert_rowid(db);
        return code;
    });
}

bool EventLog::saveEnded(const Event& event)
{
    // The whole row, in case its start went into a log that was removed since.
    return queue("the end of event " + std::to_string(event.id), [e = event, moved = moved_](sqlite3* db) {
        return writeEvent(db, e, rowOf(*moved, e.id), e.interrupted ? "interrupted" : "ended", true);
    });
}

bool EventLog::setClipDroppedFrames(std::int64_t eventId, std::int64_t frames)
{
    return queue("the pictures the clip of event " + std::to_string(eventId) + " lacks",
                 [eventId, frames, moved = moved_](sqlite3* db) {
                     Statement update(db, "UPDATE events SET clip_dropped_frames = ?2 WHERE id = ?1");
                     update.bind(1, rowOf(*moved, eventId)).bind(2, frames);
                     return done(update);
                 });
}

bool EventLog::removeEvent(std::int64_t eventId, TimePoint when, const std::string& reason,
                           const std::vector<std::string>& kept)
{
    return queue("the removal of event " + std::to_string(eventId), [=, moved = moved_](sqlite3* db) {
        const std::int64_t row = rowOf(*moved, eventId);
        for (const std::string& path : kept) {
            Statement keep(db, "UPDATE files SET event_id = NULL WHERE event_id = ?1 AND path = ?2");
            keep.bind(1, row).bind(2, path);
            if (done(keep) != SQLITE_OK)
                return SQLITE_ERROR;
        }
        Statement files(db, "UPDATE files SET removed_ms = ?2, removed_reason = ?3 "
                            "WHERE event_id = ?1 AND removed_ms IS NULL");
        files.bind(1, row).bind(2, toMilliseconds(when)).bind(3, reason);
        Statement remove(db, "DELETE FROM events WHERE id = ?1");
        remove.bind(1, row);
        return done(files) == SQLITE_OK ? done(remove) : SQLITE_ERROR;
    });
}

bool EventLog::settleClips(const std::vector<std::pair<std::string, std::int64_t>>& kept,
                           std::function<bool(const std::string&)> present, TimePoint when, const std::string& reason)
{
    return queue("the clips left by the program before", [=](sqlite3* db) {
        for (const auto& [path, bytes] : kept) {
            Statement insert(db, "INSERT INTO files (event_id, path, kind, bytes, created_ms) "
                                 "VALUES ((SELECT max(id) FROM events WHERE clip = ?1), ?1, 'clip', ?2, ?3)");
            insert.bind(1, path).bind(2, bytes).bind(3, toMilliseconds(when));
            if (done(insert) != SQLITE_OK)
                return SQLITE_ERROR;
        }
        std::vector<std::pair<std::int64_t, std::string>> unrecorded;
        {
            Statement query(db, "SELECT id, clip FROM events WHERE clip != '' AND NOT EXISTS "
                                "(SELECT 1 FROM files WHERE files.path = events.clip AND files.kind = 'clip')");
            int step = SQLITE_ROW;
            while ((step = query.step()) == SQLITE_ROW)
                unrecorded.emplace_back(query.integer(0), query.text(1));
            if (step != SQLITE_DONE)
                return SQLITE_ERROR;
        }
        for (const auto& [id, clip] : unrecorded) {
            if (present(clip))
                continue;
            Statement forget(db, "UPDATE events SET clip = '' WHERE id = ?1");
            forget.bind(1, id);
            Statement note(db, "INSERT INTO files (event_id, path, kind, bytes, created_ms, removed_ms, removed_reason) "
                               "VALUES (?1, ?2, 'clip', 0, ?3, ?3, ?4)");
            note.bind(1, id).bind(2, clip).bind(3, toMilliseconds(when)).bind(4, reason);
            if (done(forget) != SQLITE_OK || done(note) != SQLITE_OK)
                return SQLITE_ERROR;
        }
        return SQLITE_OK;
    });
}

bool EventLog::addFile(std::int64_t eventId, const std::string& path, FileKind kind, std::int64_t bytes,
                       TimePoint created)
{
    *queuedBytes_ += bytes;
    auto waiting = std::make_shared<bool>(true); // a change tried again is counted out once
    return queue("the file " + path, [=, moved = moved_, queued = queuedBytes_](sqlite3* db) {
        Statement insert(db, "INSERT INTO files (event_id, path, kind, bytes, created_ms) "
                             "VALUES (nullif(?1, 0), ?2, ?3, ?4, ?5)");
        insert.bind(1, rowOf(*moved, eventId))
            .bind(2, path)
            .bind(3, std::string(kindName(kind)))
            .bind(4, bytes)
            .bind(5, toMilliseconds(created));
        const int result = done(insert);
        if (result == SQLITE_OK && std::exchange(*waiting, false))
            *queued -= bytes;
        return result;
    });
}

bool EventLog::markRemoved(std::int64_t fileId, TimePoint when, const std::string& reason)
{
    removing_.insert(fileId);
    return queue("the removal of file " + std::to_string(fileId), [=](sqlite3* db) {
        Statement update(db, "UPDATE files SET removed_ms = ?2, removed_reason = ?3 WHERE id = ?1");
        update.bind(1, fileId).bind(2, toMilliseconds(when)).bind(3, reason);
        return done(update);
    });
}

bool EventLog::setFileBytes(const std::string& path, std::int64_t bytes)
{
    return queue("the size of " + path, [=](sqlite3* db) {
        Statement update(db, "UPDATE files SET bytes = ?2 WHERE path = ?1 AND removed_ms IS NULL");
        update.bind(1, path).bind(2, bytes);
        return done(update);
    });
}

bool EventLog::pruneRemoved(TimePoint before, std::int64_t keepAtMost)
{
    return queue("forgetting removed files", [=](sqlite3* db) {
        Statement prune(db, "DELETE FROM files WHERE removed_ms IS NOT NULL AND (removed_ms < ?1 OR id NOT IN "
                            "(SELECT id FROM files WHERE removed_ms IS NOT NULL "
                            "ORDER BY removed_ms DESC, id DESC LIMIT ?2))");
        prune.bind(1, toMilliseconds(before)).bind(2, keepAtMost);
        return done(prune);
    });
}

std::int64_t EventLog::presentBytes()
{
    const std::vector<StoredFile> files = presentFiles();
    std::int64_t bytes = queuedBytes_->load();
    for (const StoredFile& file : files)
        bytes += file.bytes;
    return bytes;
}

std::vector<StoredFile> EventLog::presentFiles()
{
    std::vector<StoredFile> files;
    Statement query(reader(), "SELECT id, coalesce(event_id, 0), path, kind, bytes, created_ms FROM files "
                               "WHERE removed_ms IS NULL ORDER BY created_ms, id");
    std::set<std::int64_t> stillRemoving;
    while (query.step() == SQLITE_ROW) {
        StoredFile file = fileOf(query);
        if (removing_.contains(file.id))
            stillRemoving.insert(file.id);
        else
            files.push_back(std::move(file));
    }
    removing_ = std::move(stillRemoving);
    return files;
}

std::vector<StoredFile> EventLog::filesOf(std::int64_t eventId)
{
    std::vector<StoredFile> files;
    Statement query(reader(), "SELECT id, coalesce(event_id, 0), path, kind, bytes, created_ms FROM files "
                               "WHERE event_id = ?1 AND removed_ms IS NULL ORDER BY id");
    query.bind(1, eventId);
    while (query.step() == SQLITE_ROW)
        files.push_back(fileOf(query));
    return files;
}

std::string EventLog::removalReason(const std::string& path)
{
    Statement query(reader(), "SELECT removed_reason FROM files WHERE path = ?1 AND removed_ms IS NOT NULL "
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
    Statement query(reader(), "SELECT count(*) FROM events WHERE state != 'open' AND start_ms >= ?1 AND start_ms < ?2");
    query.bind(1, toMilliseconds(range.from)).bind(2, toMilliseconds(range.to));
    return query.step() == SQLITE_ROW ? query.integer(0) : 0;
}

std::vector<Event> EventLog::events(std::int64_t offset, std::int64_t limit, const TimeRange& range)
{
    std::vector<Event> list;
    Statement query(reader(), ("SELECT " + eventColumns() +
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
    Statement query(reader(), "SELECT date(start_ms / 1000, 'unixepoch', 'localtime') AS day, count(*) FROM events "
                              "WHERE state != 'open' GROUP BY day ORDER BY day DESC");
    while (query.step() == SQLITE_ROW)
        days.push_back({query.text(0), query.integer(1)});
    return days;
}

std::optional<Event> EventLog::event(std::int64_t id)
{
    Statement query(reader(), ("SELECT " + eventColumns() + " FROM events WHERE id = ?1").c_str());
    query.bind(1, id);
    if (query.step() != SQLITE_ROW)
        return std::nullopt;
    return eventOf(query);
}

} // namespace events
