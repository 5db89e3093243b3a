#include <filesystem>
#include <set>

#include <QDir>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest/QTest>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "../support/FileSizeLimit.h"
#include "ClipboardFrame.h"
#include "EventLog.h"
#include "EventWatcher.h"
#include "TestVideo.h"

using namespace events;
namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

EventSettings quickSettings()
{
    EventSettings s;
    s.gap = milliseconds(300);
    s.preRoll = milliseconds(200);
    s.postRoll = milliseconds(200);
    return s;
}

// Hands the packets to the watcher as a live source would, from `next` on.
struct Feed {
    std::vector<platform::Packet> frames = testPackets(150, 320, 240);
    std::size_t next = 0;
    void push(EventWatcher& watcher, std::size_t count)
    {
        for (std::size_t end = std::min(frames.size(), next + count); next < end; ++next)
            watcher.pushPacket(frames[next]);
    }
    CycleSummary cycle(bool moving, std::int64_t changed)
    {
        QImage picture(320, 240, QImage::Format_BGR888);
        picture.fill(Qt::darkGreen);
        CycleSummary s;
        s.time = now();
        s.moving = s.confirmed = moving;
        s.changed = changed;
        s.percent = double(changed) * 100 / (320 * 240);
        s.centre = analysis::Point{int(changed % 320), 10};
        s.frame = std::make_shared<const analysis::Bitmap>(platform::bitmapFromImage(picture));
        return s;
    }
};

} // namespace

TEST(EventWatcher, EventIsLoggedWithThumbnailAndClipBeforeItIsAnnounced)
{
    QTemporaryDir dir;
    EventWatcher watcher;
    EventSettings settings = quickSettings();
    settings.gap = milliseconds(2000); // long enough that a slow machine keeps the event open between cycles
    watcher.setSettings(settings);
    QString error;
    EXPECT_FALSE(watcher.open(dir.filePath("saved"), error)) << "the save folder is not made";
    EXPECT_EQ(error, "The folder " + dir.filePath("saved") + " does not exist");
    ASSERT_TRUE(QDir(dir.path()).mkdir("saved"));
    ASSERT_TRUE(watcher.open(dir.filePath("saved"), error)) << error.toStdString();
    EXPECT_TRUE(fs::exists(dir.filePath("saved/events.sqlite").toStdString()));

    bool loggedWhenAnnounced = false;
    QObject::connect(&watcher, &EventWatcher::eventEnded, [&](const Event& e) {
        ASSERT_TRUE(watcher.log()->waitWritten(std::chrono::seconds(30)));
        const std::optional<Event> stored = watcher.log()->event(e.id);
        loggedWhenAnnounced = stored && stored->ended && stored->peakCount == 900;
    });
    QSignalSpy started(&watcher, &EventWatcher::eventStarted);
    QSignalSpy ended(&watcher, &EventWatcher::eventEnded);
    QSignalSpy clips(&watcher, &EventWatcher::clipSaved);
    QSignalSpy quiet(&watcher, &EventWatcher::movementEnded);

    Feed feed;
    feed.push(watcher, 20);
    watcher.cycleEvaluated(feed.cycle(false, 0));
    watcher.cycleEvaluated(feed.cycle(true, 100));
    ASSERT_EQ(started.size(), 1);
    feed.push(watcher, 10);
    watcher.cycleEvaluated(feed.cycle(true, 900));
    feed.push(watcher, 10);
    watcher.cycleEvaluated(feed.cycle(true, 300));
    // No cycle moves any more: the gap ends the event by itself; its end is told once
    // the clip has its after-roll and is complete.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !watcher.eventOpen(); }, 10000));
    EXPECT_EQ(ended.size(), 0) << "told before its clip is there";
    EXPECT_EQ(quiet.size(), 1) << "the movement's end (MQTT's OFF) is told at once";
    feed.push(watcher, 20); // the after-roll
    ASSERT_TRUE(QTest::qWaitFor([&] { return clips.size() == 1 && ended.size() == 1; }, 30000));
    EXPECT_TRUE(loggedWhenAnnounced);

    const Event e = ended[0][0].value<Event>();
    EXPECT_EQ(e.movingCycles, 3);
    EXPECT_EQ(e.path.size(), 3u);
    const QImage thumbnail(QString::fromStdString(e.thumbnail));
    EXPECT_EQ(thumbnail.width(), 160);
    EXPECT_EQ(thumbnail.height(), 120);
    EXPECT_EQ(clips[0][1].toString().toStdString(), e.clip);
    const ClipReading reading = readClip(e.clip);
    EXPECT_EQ(reading.error, "");
    EXPECT_EQ(reading.frames, 6 + 20 + 5) << "before, during, after";
    ASSERT_TRUE(watcher.log()->waitWritten(std::chrono::seconds(30)));
    EXPECT_EQ(watcher.log()->filesOf(e.id).size(), 2u) << "thumbnail and clip are recorded";

    ASSERT_TRUE(watcher.deleteEvent(e.id, error)) << error.toStdString();
    ASSERT_TRUE(watcher.log()->waitWritten(std::chrono::seconds(30)));
    EXPECT_FALSE(fs::exists(e.clip));
    EXPECT_FALSE(fs::exists(e.thumbnail));
    EXPECT_EQ(watcher.log()->eventCount(), 0);
}

TEST(EventWatcher, EventOpenAtCloseIsFinishedWithItsClip)
{
    QTemporaryDir dir;
    const QString folder = dir.path();
    Feed feed;
    std::int64_t id = 0;
    {
        EventWatcher watcher;
        watcher.setSettings(quickSettings());
        QString error;
        ASSERT_TRUE(watcher.open(folder, error)) << error.toStdString();
        QSignalSpy started(&watcher, &EventWatcher::eventStarted);
        feed.push(watcher, 10);
        watcher.cycleEvaluated(feed.cycle(true, 50));
        feed.push(watcher, 10);
        ASSERT_EQ(started.size(), 1);
        id = started[0][0].value<Event>().id;
    }
    std::string error;
    auto log = EventLog::open(QDir(folder).filePath("events.sqlite").toStdString(), error);
    ASSERT_TRUE(log) << error;
    const std::optional<Event> e = log->event(id);
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->ended);
    EXPECT_FALSE(e->interrupted);
    EXPECT_EQ(readClip(e->clip).error, "");
    EXPECT_EQ(log->filesOf(id).size(), 2u);
}

TEST(EventWatcher, ClipThatFailsDuringTheEventIsToldAtOnceAndTheEventEndsWithoutIt)
{
    QTemporaryDir dir;
    QStringList said; // outlives the watcher, which tells what its log still writes as it goes
    EventWatcher watcher;
    EventSettings settings = quickSettings();
    settings.gap = milliseconds(60'000); // the event stays open until the test ends it
    watcher.setSettings(settings);
    QString error;
    ASSERT_TRUE(watcher.open(dir.path(), error)) << error.toStdString();
    QObject::connect(&watcher, &EventWatcher::statusText, [&](const QString& text) { said << text; });
    QSignalSpy ended(&watcher, &EventWatcher::eventEnded);

    Feed feed;
    feed.frames = testPackets(150, 320, 240, "jpeg", "snow"); // noise: the clip soon has bytes to write
    feed.push(watcher, 10);
    watcher.cycleEvaluated(feed.cycle(true, 100));
    ASSERT_TRUE(watcher.eventOpen());

    // The disk fills while the event goes on: a file-size limit fails every further write.
    bool told = false;
    {
        const FileSizeLimit limit(1);
        told = QTest::qWaitFor(
            [&] {
                feed.push(watcher, 1);
                return said.filter("was not saved").size() == 1 || feed.next == feed.frames.size();
            },
            30'000);
    }
    ASSERT_TRUE(told);
    EXPECT_EQ(said.filter("was not saved").size(), 1) << said.join('\n').toStdString();
    EXPECT_TRUE(watcher.eventOpen()) << "told while the event goes on";

    watcher.finish();
    ASSERT_EQ(ended.size(), 1);
    const Event e = ended[0][0].value<Event>();
    EXPECT_EQ(e.clip, "") << "the event names no clip that is not there";
    EXPECT_NE(e.clipLost.find("was not saved"), std::string::npos) << "but names it as lost: " << e.clipLost;
    ASSERT_TRUE(watcher.log()->waitWritten(std::chrono::seconds(30)));
    ASSERT_TRUE(watcher.log()->event(e.id));
    EXPECT_EQ(watcher.log()->event(e.id)->clip, "");
    for (const auto& entry : fs::directory_iterator(dir.path().toStdString()))
        EXPECT_NE(entry.path().extension(), ".mkv") << entry.path();
    EXPECT_EQ(said.filter("was not saved").size(), 1) << "told once";
}

TEST(EventWatcher, RefusesAFolderWhoseLogIsNotOurs)
{
    QTemporaryDir dir;
    QFile notes(dir.filePath("events.sqlite"));
    ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
    notes.write("my notes\n");
    notes.close();
    EventWatcher watcher;
    QString error;
    EXPECT_FALSE(watcher.open(dir.path(), error));
    EXPECT_TRUE(error.contains("left as it is")) << error.toStdString();
    EXPECT_FALSE(watcher.isOpen());
}

TEST(EventWatcher, TheLogKnowsTheSizeOfThePeaksThumbnail)
{
    QTemporaryDir dir;
    EventWatcher watcher;
    EventSettings settings = quickSettings();
    settings.recordClips = false;
    settings.gap = milliseconds(60'000); // only finish() ends the event
    watcher.setSettings(settings);
    QString error;
    ASSERT_TRUE(watcher.open(dir.path(), error)) << error.toStdString();
    QSignalSpy ended(&watcher, &EventWatcher::eventEnded);

    // The first thumbnail is of a flat picture; the peak's is of noise, a JPEG many times larger.
    Feed feed;
    watcher.cycleEvaluated(feed.cycle(true, 100));
    CycleSummary peak = feed.cycle(true, 900);
    auto noise = std::make_shared<analysis::Bitmap>(320, 240, analysis::PixelFormat::Bgr24);
    std::uint32_t seed = 1;
    for (int y = 0; y < noise->height(); ++y)
        for (int x = 0; x < 3 * noise->width(); ++x)
            noise->row(y)[x] = std::uint8_t((seed = seed * 1664525 + 1013904223) >> 24);
    peak.frame = noise;
    watcher.cycleEvaluated(peak);
    watcher.finish();
    ASSERT_EQ(ended.size(), 1);

    const Event e = ended[0][0].value<Event>();
    ASSERT_TRUE(watcher.log()->waitWritten(std::chrono::seconds(30)));
    const std::vector<StoredFile> files = watcher.log()->filesOf(e.id);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].kind, FileKind::Thumbnail);
    EXPECT_GT(fs::file_size(e.thumbnail), 4000u);
    EXPECT_EQ(files[0].bytes, std::int64_t(fs::file_size(e.thumbnail)));
}

// Another program (a backup, the sqlite3 shell) holds the log's write lock for a while:
// the watching goes on, events have their ids at once, the status line says so once and
// says when the rows are written after the lock is let go.
TEST(EventWatcher, LogHeldByAnotherProgramDelaysRowsButNotTheWatching)
{
    QTemporaryDir dir;
    QStringList said;
    EventWatcher watcher;
    EventSettings settings = quickSettings();
    settings.recordClips = false;
    watcher.setSettings(settings);
    QString error;
    ASSERT_TRUE(watcher.open(dir.path(), error)) << error.toStdString();
    ASSERT_TRUE(watcher.log()->waitWritten(std::chrono::seconds(30)));
    QObject::connect(&watcher, &EventWatcher::statusText, [&](const QString& text) { said << text; });
    QSignalSpy started(&watcher, &EventWatcher::eventStarted);
    QSignalSpy ended(&watcher, &EventWatcher::eventEnded);

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(dir.filePath("events.sqlite").toUtf8().constData(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    Feed feed;
    for (int n = 0; n < 3; ++n) {
        watcher.cycleEvaluated(feed.cycle(true, 100 + n));
        ASSERT_TRUE(QTest::qWaitFor([&] { return ended.size() == n + 1; }, 30'000)) << n;
    }
    std::set<std::int64_t> ids;
    for (const QList<QVariant>& signal : started)
        ids.insert(signal[0].value<Event>().id);
    EXPECT_EQ(ids.size(), 3u);
    EXPECT_FALSE(ids.contains(0));
    EXPECT_EQ(watcher.log()->eventCount(), 0) << "reads go on while the lock is held";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !said.filter("busy").isEmpty(); }, 30'000));
    EXPECT_EQ(said.filter("busy").size(), 1) << said.join('\n').toStdString();
    EXPECT_TRUE(said.filter("not an error").isEmpty());

    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !said.filter("written again").isEmpty(); }, 30'000));
    EXPECT_EQ(said.size(), 2) << said.join('\n').toStdString();
    ASSERT_TRUE(watcher.log()->waitWritten(std::chrono::seconds(30)));
    EXPECT_EQ(watcher.log()->eventCount(), 3);
    for (const std::int64_t id : ids)
        EXPECT_TRUE(watcher.log()->event(id)) << id;
}

// The save folder is deleted while the program runs: it says so once, makes the folder
// again, and every clip written afterwards has its row in the log under that folder.
TEST(EventWatcher, DeletedFolderIsMadeAgainWithALogForTheClipsWrittenThere)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("saved");
    ASSERT_TRUE(QDir(dir.path()).mkdir("saved"));
    QStringList said;
    EventWatcher watcher;
    watcher.setSettings(quickSettings());
    QString error;
    ASSERT_TRUE(watcher.open(folder, error)) << error.toStdString();
    ASSERT_TRUE(watcher.log()->waitWritten(std::chrono::seconds(30)));
    QObject::connect(&watcher, &EventWatcher::statusText, [&](const QString& text) { said << text; });
    QSignalSpy ended(&watcher, &EventWatcher::eventEnded);

    fs::remove_all(folder.toStdString());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !said.filter("removed").isEmpty(); }, 30'000));
    EXPECT_TRUE(QDir(folder).exists());

    Feed feed;
    feed.push(watcher, 20);
    watcher.cycleEvaluated(feed.cycle(true, 100));
    feed.push(watcher, 10);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !watcher.eventOpen(); }, 30'000));
    feed.push(watcher, 20);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended.size() == 1; }, 30'000));
    const Event e = ended[0][0].value<Event>();
    ASSERT_FALSE(e.clip.empty()) << e.clipLost;
    ASSERT_TRUE(watcher.log()->waitWritten(std::chrono::seconds(30)));

    std::string why;
    auto log = EventLog::open(folder.toStdString() + "/events.sqlite", why);
    ASSERT_TRUE(log) << why;
    ASSERT_TRUE(log->event(e.id)) << "the event is in the log under the folder";
    std::set<std::string> recorded;
    for (const StoredFile& file : log->presentFiles())
        recorded.insert(file.path);
    for (const auto& entry : fs::directory_iterator(folder.toStdString())) {
        if (entry.path().extension() == ".mkv" || entry.path().extension() == ".jpg") {
            EXPECT_TRUE(recorded.contains(entry.path().string())) << entry.path();
        }
    }
    EXPECT_EQ(said.filter("removed").size(), 1) << said.join('\n').toStdString();
}
