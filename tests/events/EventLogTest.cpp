#include <filesystem>
#include <fstream>
#include <iterator>
#include <latch>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <QDate>
#include <QDateTime>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "../support/FileSizeLimit.h"
#include "EventLog.h"

using namespace events;
namespace fs = std::filesystem;

namespace {

std::string contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The writer's thread is given plenty of time: the machine is shared.
constexpr std::chrono::seconds written{30};

Event sample(std::int64_t startMs)
{
    Event e;
    e.start = fromMilliseconds(startMs);
    e.end = e.start;
    e.peakCount = 12;
    e.peakPercent = 0.5;
    e.movingCycles = 1;
    e.path = {{0.5f, 0.25f}};
    e.clip = "/clips/a.webm";
    return e;
}

} // namespace

TEST(EventLog, RecordsEventsAndFilesAcrossReopening)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("events.sqlite").toStdString();
    std::string error;
    std::int64_t first = 0, open = 0;
    {
        auto log = EventLog::open(path, error);
        ASSERT_TRUE(log) << error;
        Event a = sample(1'800'000'000'000);
        ASSERT_TRUE(log->addStarted(a)) << log->lastError();
        first = a.id;
        EXPECT_NE(first, 0) << "an event has its id at once";
        ASSERT_TRUE(log->waitWritten(written));
        EXPECT_EQ(log->eventCount(), 0) << "an open event is not listed";
        a.end = a.start + std::chrono::milliseconds(4321);
        a.peakCount = 999;
        a.peakPercent = 12.5;
        a.movingCycles = 7;
        a.path = {{0.1234f, 0.5f}, {1, 0}};
        a.thumbnail = "/clips/a.jpg";
        a.ended = true;
        ASSERT_TRUE(log->saveEnded(a)) << log->lastError();
        ASSERT_TRUE(log->addFile(a.id, "/clips/a.webm", FileKind::Clip, 1000, a.end));
        ASSERT_TRUE(log->addFile(0, "/images/0.5.bmp", FileKind::Frame, 500, a.start));

        Event b = sample(1'800'000'100'000);
        ASSERT_TRUE(log->addStarted(b));
        open = b.id;
    }

    auto log = EventLog::open(path, error);
    ASSERT_TRUE(log) << error;
    ASSERT_TRUE(log->waitWritten(written));
    ASSERT_EQ(log->eventCount(), 2);
    const std::vector<Event> list = log->events(0, 10);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].id, open) << "newest first";
    EXPECT_TRUE(list[0].interrupted) << "an event open when the program stopped is marked interrupted";
    const Event& a = list[1];
    EXPECT_EQ(a.id, first);
    EXPECT_TRUE(a.ended);
    EXPECT_FALSE(a.interrupted);
    EXPECT_EQ(a.end - a.start, std::chrono::milliseconds(4321));
    EXPECT_EQ(a.peakCount, 999);
    EXPECT_DOUBLE_EQ(a.peakPercent, 12.5);
    EXPECT_EQ(a.movingCycles, 7);
    EXPECT_EQ(a.path, (std::vector<PathPoint>{{0.1234f, 0.5f}, {1, 0}}));
    EXPECT_EQ(a.thumbnail, "/clips/a.jpg");
    EXPECT_EQ(a.clip, "/clips/a.webm");

    const std::vector<StoredFile> files = log->presentFiles();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].path, "/images/0.5.bmp") << "oldest first";
    EXPECT_EQ(files[0].eventId, 0);
    EXPECT_EQ(files[1].kind, FileKind::Clip);
    // Deleting forgets the event and marks its files removed; a file it could not remove
    // stays recorded as a present file of no event, for the retention.
    ASSERT_TRUE(log->addFile(a.id, "/clips/a.jpg", FileKind::Thumbnail, 10, a.end));
    ASSERT_TRUE(log->removeEvent(first, a.end, "event deleted", {"/clips/a.jpg"})) << log->lastError();
    ASSERT_TRUE(log->waitWritten(written));
    EXPECT_EQ(log->eventCount(), 1);
    EXPECT_FALSE(log->event(first));
    const std::vector<StoredFile> left = log->presentFiles();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[1].path, "/clips/a.jpg");
    EXPECT_EQ(left[1].eventId, 0);
    EXPECT_EQ(log->removalReason("/clips/a.webm"), "event deleted");

    // The times are kept in words as well, local with the date and UTC.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* row = nullptr;
    sqlite3_prepare_v2(db, "SELECT start_utc, start_local FROM events WHERE id = ?1", -1, &row, nullptr);
    sqlite3_bind_int64(row, 1, open);
    ASSERT_EQ(sqlite3_step(row), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(row, 0)), "2027-01-15T08:01:40.000Z");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sqlite3_column_text(row, 1))).substr(0, 4), "2027");
    sqlite3_finalize(row);
    sqlite3_close(db);
}

TEST(EventLog, TwoProgramsOpeningOneNewLogAtOnceBothUseIt)
{
    // Two cameras saving into one folder, started together: both set up the same new file.
    QTemporaryDir dir;
    for (int round = 0; round < 20; ++round) {
        const std::string path = dir.filePath(QString("events-%1.sqlite").arg(round)).toStdString();
        std::latch ready(2);
        std::unique_ptr<EventLog> logs[2];
        std::string errors[2];
        std::vector<std::thread> programs;
        for (int i = 0; i < 2; ++i)
            programs.emplace_back([&, i] {
                ready.arrive_and_wait();
                logs[i] = EventLog::open(path, errors[i]);
            });
        for (std::thread& program : programs)
            program.join();
        for (int i = 0; i < 2; ++i)
            ASSERT_TRUE(logs[i]) << "round " << round << ": " << errors[i];
        Event e = sample(1000);
        ASSERT_TRUE(logs[0]->addStarted(e));
        ASSERT_TRUE(logs[0]->waitWritten(written));
        EXPECT_TRUE(logs[1]->event(e.id)) << "one log, seen by both";
    }
}

TEST(EventLog, TwoProgramsRecordingIntoOneLogKeepEveryEvent)
{
    // Two cameras saving into one folder: their events have their ids before either is written.
    QTemporaryDir dir;
    const std::string path = dir.filePath("events.sqlite").toStdString();
    std::string error;
    auto one = EventLog::open(path, error);
    ASSERT_TRUE(one) << error;
    auto other = EventLog::open(path, error);
    ASSERT_TRUE(other) << error;
    for (int n = 0; n < 10; ++n)
        for (EventLog* log : {one.get(), other.get()}) {
            Event e = sample(1'800'000'000'000 + n);
            log->addStarted(e);
            e.peakCount = n;
            e.ended = true;
            log->saveEnded(e);
        }
    ASSERT_TRUE(one->waitWritten(written));
    ASSERT_TRUE(other->waitWritten(written));
    EXPECT_EQ(one->eventCount(), 20);
}

TEST(EventLog, RefusesFilesItDoesNotOwnAndLeavesThemAsTheyAre)
{
    QTemporaryDir dir;
    struct Case {
        const char* name;
        const char* setUpSql; // null: the file holds text
        const char* message;
    };
    const Case cases[] = {
        {"text", nullptr, "cannot be read"},
        {"newer", "CREATE TABLE events (id INTEGER); PRAGMA user_version = 99;", "newer version"},
        {"foreign", "CREATE TABLE recipes (name TEXT);", "another program"},
        // Identified before anything changes: not switched to WAL, no array read at -1.
        {"foreign of version 1", "CREATE TABLE recipes (name TEXT); PRAGMA user_version = 1;", "another program"},
        {"negative version", "CREATE TABLE events (id INTEGER); PRAGMA user_version = -1;", "another program"},
    };
    for (const Case& c : cases) {
        const std::string path = dir.filePath(c.name).toStdString();
        if (c.setUpSql) {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(db, c.setUpSql, nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
        } else {
            std::ofstream(path) << "These are my notes, not a database.\n" << std::string(2000, 'x');
        }
        const std::string before = contents(path);
        std::string error;
        EXPECT_FALSE(EventLog::open(path, error)) << c.name;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
        EXPECT_NE(error.find("left as it is"), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(contents(path), before) << c.name;
    }
}

// A log of the version before keeps its events and gains what the newer one records.
TEST(EventLog, OlderLogIsMovedOnAndRecordsWhatAClipLacks)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("events.sqlite").toStdString();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, R"(CREATE TABLE events (
        id INTEGER PRIMARY KEY, state TEXT NOT NULL,
        start_ms INTEGER NOT NULL, start_local TEXT NOT NULL, start_utc TEXT NOT NULL,
        end_ms INTEGER NOT NULL, end_local TEXT NOT NULL, end_utc TEXT NOT NULL,
        peak_count INTEGER NOT NULL, peak_percent REAL NOT NULL, moving_cycles INTEGER NOT NULL,
        centre_path TEXT NOT NULL, thumbnail TEXT NOT NULL, clip TEXT NOT NULL);
      INSERT INTO events VALUES (7, 'ended', 1000, '', '', 2000, '', '', 5, 1.0, 2, '', '', '/clips/old.webm');
      PRAGMA user_version = 1;)", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    std::string error;
    auto log = EventLog::open(path, error);
    ASSERT_TRUE(log) << error;
    std::optional<Event> old = log->event(7);
    ASSERT_TRUE(old);
    EXPECT_EQ(old->clip, "/clips/old.webm");
    EXPECT_EQ(old->clipDroppedFrames, 0);
    ASSERT_TRUE(log->setClipDroppedFrames(7, 12)) << log->lastError();
    ASSERT_TRUE(log->waitWritten(written));
    EXPECT_EQ(log->event(7)->clipDroppedFrames, 12);
}

TEST(EventLog, ItsJournalIsCopiedIntoTheDatabaseWhileItRuns)
{
    // Every change goes to the journal first; were it never copied back, the journal
    // would grow by some kilobytes with each saved frame for as long as the program runs.
    QTemporaryDir dir;
    const std::string path = dir.filePath("events.sqlite").toStdString();
    std::string error;
    auto log = EventLog::open(path, error);
    ASSERT_TRUE(log) << error;
    const auto emptySize = std::filesystem::file_size(path);
    bool copied = false;
    for (int i = 0; i < 6000 && !copied; ++i) { // some minutes at most on a busy machine
        ASSERT_TRUE(log->addFile(0, "/frames/" + std::to_string(i) + ".bmp", FileKind::Frame, 1, now()));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        copied = std::filesystem::file_size(path) > emptySize;
    }
    EXPECT_TRUE(copied) << "the database never took the journal's pages";
}

// Another database's journal put beside the log (a copied folder, a restored backup) is
// not copied into it: the log is refused with the reason and both files stay as they are.
TEST(EventLog, JournalOfAnotherDatabaseIsNotTakenIn)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("events.sqlite").toStdString();
    std::string error;
    {
        auto log = EventLog::open(path, error);
        ASSERT_TRUE(log) << error;
        for (int n = 0; n < 40; ++n) {
            Event e = sample(1'800'000'000'000 + n);
            log->addStarted(e);
        }
        ASSERT_TRUE(log->waitWritten(written));
    }
    ASSERT_FALSE(fs::exists(path + "-wal")) << "the log's own journal is emptied into it at close";

    // A journal kept by an open connection of another database, copied beside the log.
    const std::string otherPath = dir.filePath("recipes.sqlite").toStdString();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(otherPath.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0; "
                                  "CREATE TABLE recipes (name TEXT); INSERT INTO recipes VALUES ('bread');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    fs::copy_file(otherPath + "-wal", path + "-wal");
    sqlite3_close(other);
    const std::string log = contents(path), journal = contents(path + "-wal");

    EXPECT_FALSE(EventLog::open(path, error));
    EXPECT_NE(error.find("-wal beside the event log belongs to another database"), std::string::npos) << error;
    EXPECT_EQ(contents(path), log);
    EXPECT_EQ(contents(path + "-wal"), journal);

    fs::remove(path + "-wal");
    auto reopened = EventLog::open(path, error);
    ASSERT_TRUE(reopened) << error;
    ASSERT_TRUE(reopened->waitWritten(written));
    EXPECT_EQ(reopened->eventCount(), 40);
}

// The disk fills while events come: they keep their ids, wait in the queue, the fault is
// told once in SQLite's words and the rows arrive once there is room again. A log that
// cannot even be set up says why.
TEST(EventLog, FullDiskKeepsChangesUntilThereIsRoom)
{
    QTemporaryDir dir;
    std::string error;
    {
        const FileSizeLimit full(1);
        EXPECT_FALSE(EventLog::open(dir.filePath("new.sqlite").toStdString(), error));
        EXPECT_NE(error.find("disk I/O error"), std::string::npos) << error;
        EXPECT_EQ(error.find("not an error"), std::string::npos) << error;
    }
    auto log = EventLog::open(dir.filePath("events.sqlite").toStdString(), error);
    ASSERT_TRUE(log) << error;
    ASSERT_TRUE(log->waitWritten(written));
    std::mutex mutex;
    std::vector<std::string> said;
    log->setWriterListener([&](bool, const std::string& text) {
        std::lock_guard lock(mutex);
        said.push_back(text);
    });
    auto saidSoFar = [&] {
        std::lock_guard lock(mutex);
        return said;
    };

    std::vector<std::int64_t> ids;
    {
        const FileSizeLimit full(1);
        for (int n = 0; n < 3; ++n) {
            Event e = sample(1'800'000'000'000 + n);
            ASSERT_TRUE(log->addStarted(e));
            e.ended = true;
            ASSERT_TRUE(log->saveEnded(e));
            ids.push_back(e.id);
        }
        EXPECT_FALSE(log->waitWritten(std::chrono::seconds(2))) << "nothing fits";
    }
    ASSERT_TRUE(log->waitWritten(written));
    EXPECT_EQ(std::set<std::int64_t>(ids.begin(), ids.end()).size(), 3u);
    for (const std::int64_t id : ids)
        EXPECT_TRUE(log->event(id)) << id;
    const std::vector<std::string> told = saidSoFar();
    ASSERT_EQ(told.size(), 2u);
    EXPECT_NE(told[0].find("disk I/O error"), std::string::npos) << told[0];
    EXPECT_NE(told[1].find("written again"), std::string::npos) << told[1];
}

namespace {

// A log as version 2 of the program left it: pixel paths in centre_path, no path column.
void writeVersion2Log(const std::string& path)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, R"(PRAGMA journal_mode = WAL;
      CREATE TABLE events (
        id INTEGER PRIMARY KEY,
        state TEXT NOT NULL CHECK (state IN ('open', 'ended', 'interrupted')),
        start_ms INTEGER NOT NULL, start_local TEXT NOT NULL, start_utc TEXT NOT NULL,
        end_ms INTEGER NOT NULL, end_local TEXT NOT NULL, end_utc TEXT NOT NULL,
        peak_count INTEGER NOT NULL, peak_percent REAL NOT NULL, moving_cycles INTEGER NOT NULL,
        centre_path TEXT NOT NULL, thumbnail TEXT NOT NULL, clip TEXT NOT NULL,
        clip_dropped_frames INTEGER NOT NULL DEFAULT 0);
      CREATE INDEX events_newest ON events (start_ms DESC, id DESC);
      CREATE TABLE files (id INTEGER PRIMARY KEY, event_id INTEGER, path TEXT NOT NULL,
        kind TEXT NOT NULL CHECK (kind IN ('clip', 'thumbnail', 'frame')),
        bytes INTEGER NOT NULL, created_ms INTEGER NOT NULL, removed_ms INTEGER, removed_reason TEXT);
      INSERT INTO events VALUES (3, 'ended', 1800000000000, '', '', 1800000004000, '', '', 50, 1.0, 4,
                                 '10,20 30,40', '/clips/3.jpg', '/clips/3.mkv', 2);
      INSERT INTO events VALUES (9, 'interrupted', 1800000100000, '', '', 1800000100000, '', '', 7, 0.1, 1,
                                 '', '', '', 0);
      INSERT INTO files VALUES (1, 3, '/clips/3.mkv', 'clip', 1000, 1800000004000, NULL, NULL);
      PRAGMA user_version = 2;)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
}

std::vector<std::int64_t> idsOf(const std::vector<Event>& list)
{
    std::vector<std::int64_t> ids;
    for (const Event& e : list)
        ids.push_back(e.id);
    return ids;
}

} // namespace

TEST(EventLog, AVersion2LogReadsAsItIsAndMovesOnKeepingEveryRow)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("events.sqlite").toStdString();
    writeVersion2Log(path);
    const std::string before = contents(path);
    std::string error;
    {
        // Looking changes nothing, and gives the rows with what they have.
        auto reader = EventLog::openToRead(path, error);
        ASSERT_TRUE(reader) << error;
        EXPECT_EQ(idsOf(reader->events(0, 10)), (std::vector<std::int64_t>{9, 3}));
        EXPECT_TRUE(reader->event(3)->path.empty());
        Event e = sample(1'800'000'200'000);
        EXPECT_FALSE(reader->addStarted(e)) << "a log opened to read takes no change";
    }
    EXPECT_EQ(contents(path), before) << "left as it was";

    auto log = EventLog::open(path, error);
    ASSERT_TRUE(log) << error;
    ASSERT_TRUE(log->waitWritten(written));
    const std::optional<Event> old = log->event(3);
    ASSERT_TRUE(old);
    EXPECT_EQ(old->end - old->start, std::chrono::milliseconds(4000));
    EXPECT_EQ(old->peakCount, 50);
    EXPECT_EQ(old->movingCycles, 4);
    EXPECT_EQ(old->thumbnail, "/clips/3.jpg");
    EXPECT_EQ(old->clip, "/clips/3.mkv");
    EXPECT_EQ(old->clipDroppedFrames, 2);
    EXPECT_TRUE(old->path.empty()) << "pixels without the frame's size give no fractions";
    EXPECT_TRUE(log->event(9)->interrupted);
    EXPECT_EQ(log->filesOf(3).size(), 1u);

    Event e = sample(1'800'000'200'000);
    e.path = {{0, 0}, {0.5f, 0.75f}, {1, 1}};
    ASSERT_TRUE(log->addStarted(e));
    e.ended = true;
    ASSERT_TRUE(log->saveEnded(e)) << log->lastError();
    ASSERT_TRUE(log->waitWritten(written));
    EXPECT_EQ(log->event(e.id)->path, e.path);
    EXPECT_EQ(log->eventCount(), 3);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, "SELECT centre_path FROM events WHERE id = 3", -1, &query, nullptr);
    ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(query, 0)), "10,20 30,40") << "kept as it was";
    sqlite3_finalize(query);
    sqlite3_close(db);
}

TEST(EventLog, OpeningToReadNeverMakesALog)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("events.sqlite").toStdString();
    std::string error;
    EXPECT_FALSE(EventLog::openToRead(path, error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(EventLog, EventsAreListedByLocalDay)
{
    QTemporaryDir dir;
    std::string error;
    auto log = EventLog::open(dir.filePath("events.sqlite").toStdString(), error);
    ASSERT_TRUE(log) << error;
    // Two events on one local day (at its first and last minute), one the day before.
    const QDate day(2027, 3, 10);
    const auto at = [](const QDateTime& time) { return time.toMSecsSinceEpoch(); };
    const std::int64_t starts[] = {at(day.startOfDay()), at(day.startOfDay().addSecs(24 * 3600 - 60)),
                                   at(day.addDays(-1).startOfDay().addSecs(12 * 3600))};
    std::vector<std::int64_t> ids;
    for (const std::int64_t start : starts) {
        Event e = sample(start);
        ASSERT_TRUE(log->addStarted(e));
        e.ended = true;
        ASSERT_TRUE(log->saveEnded(e));
        ids.push_back(e.id);
    }
    Event open = sample(starts[0] + 1000);
    ASSERT_TRUE(log->addStarted(open)); // in progress: not listed
    ASSERT_TRUE(log->waitWritten(written));

    const std::vector<EventDay> days = log->eventDays();
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[0].date, "2027-03-10");
    EXPECT_EQ(days[0].events, 2);
    EXPECT_EQ(days[1].date, "2027-03-09");
    EXPECT_EQ(days[1].events, 1);

    const TimeRange range{fromMilliseconds(at(day.startOfDay())), fromMilliseconds(at(day.addDays(1).startOfDay()))};
    EXPECT_EQ(log->eventCount(range), 2);
    EXPECT_EQ(idsOf(log->events(0, 10, range)), (std::vector<std::int64_t>{ids[1], ids[0]}));
    EXPECT_EQ(idsOf(log->events(1, 10, range)), (std::vector<std::int64_t>{ids[0]})) << "paged within the day";
    EXPECT_EQ(log->eventCount(), 3);
}
