// The program killed in the middle of its work, and a full disk: a child process records
// events and clips and is killed with SIGKILL; what it left must open and be whole.

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include "../support/FileSizeLimit.h"
#include "ClipRecorder.h"
#include "EventLog.h"
#include "EventWatcher.h"
#include "Thumbnail.h"
#include "TestVideo.h"

using namespace events;
namespace fs = std::filesystem;

namespace {

// The child program and the lines it printed.
class Child {
public:
    explicit Child(const QStringList& arguments)
    {
        process_.start(EVENTS_CHILD, arguments);
        process_.waitForStarted();
    }
    ~Child() { kill(); }

    // Reads lines until `count` lines starting with `prefix` have come; false on timeout.
    bool waitFor(const std::string& prefix, int count, int seconds = 60)
    {
        QDeadlineTimer deadline(seconds * 1000);
        while (this->count(prefix) < count) {
            if (deadline.hasExpired() || process_.state() != QProcess::Running)
                return false;
            process_.waitForReadyRead(100);
            while (process_.canReadLine())
                lines_.push_back(process_.readLine().trimmed().toStdString());
        }
        return true;
    }
    int count(const std::string& prefix) const
    {
        int n = 0;
        for (const std::string& line : lines_)
            n += line.starts_with(prefix);
        return n;
    }
    void kill()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill(); // SIGKILL
            process_.waitForFinished();
        }
        while (process_.canReadLine())
            lines_.push_back(process_.readLine().trimmed().toStdString());
    }
    const std::vector<std::string>& lines() const { return lines_; }

private:
    QProcess process_;
    std::vector<std::string> lines_;
};

// The events the child announced as ended: id and number.
std::map<std::int64_t, int> endedEvents(const Child& child)
{
    std::map<std::int64_t, int> ended;
    for (const std::string& line : child.lines())
        if (line.starts_with("ended ")) {
            const auto space = line.find(' ', 6);
            ended[std::stoll(line.substr(6, space - 6))] = std::stoi(line.substr(space + 1));
        }
    return ended;
}

void expectEventsWhole(const std::string& dir, const std::map<std::int64_t, int>& ended)
{
    std::string error;
    auto log = EventLog::open(dir + "/events.sqlite", error);
    ASSERT_TRUE(log) << error;
    for (const auto& [id, n] : ended) {
        const std::optional<Event> e = log->event(id);
        ASSERT_TRUE(e) << "event " << id << " was announced as ended but is missing";
        EXPECT_TRUE(e->ended && !e->interrupted) << id;
        EXPECT_EQ(e->movingCycles, n) << id;
        EXPECT_EQ(e->path.size(), static_cast<std::size_t>(n % 50)) << id;
    }
}

// Every clip under a final name decodes to its end; returns how many there are.
int expectClipsWhole(const std::string& dir)
{
    int clips = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".webm")
            continue;
        ++clips;
        const ClipReading reading = readClip(entry.path().string());
        EXPECT_EQ(reading.error, "") << entry.path();
        EXPECT_GT(reading.frames, 0) << entry.path();
    }
    return clips;
}

} // namespace

TEST(Faults, KilledInTheMiddleOfEventsLeavesEveryEndedEvent)
{
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    std::map<std::int64_t, int> ended;
    for (int round = 0; round < 3; ++round) {
        Child child({"log", dir.path()});
        ASSERT_TRUE(child.waitFor("ended", 30 + 20 * round)) << "round " << round;
        child.kill();
        ended.merge(endedEvents(child));
    }
    expectEventsWhole(folder, ended);
}

TEST(Faults, KilledInTheMiddleOfAClipLeavesOnlyWholeClips)
{
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    Child child({"clip", dir.path()});
    ASSERT_TRUE(child.waitFor("complete", 2));
    ASSERT_TRUE(child.waitFor("recording", 4));
    child.kill();
    for (const std::string& line : child.lines())
        if (line.starts_with("complete ")) {
            EXPECT_TRUE(fs::exists(line.substr(9))) << line;
        }
    EXPECT_GE(expectClipsWhole(folder), 2);
}

// Killed while an event's clip is written: at the next start the part that plays is kept
// under the name its row gives, one that does not is removed with its row saying the clip
// was lost, and no row names a clip that is not there.
TEST(Faults, ClipOfAKilledProgramIsKeptWhenItPlaysAndNoRowNamesAMissingClip)
{
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    std::string cut;
    {
        Child child({"event", dir.path()});
        ASSERT_TRUE(child.waitFor("recording", 1));
        cut = child.lines().back().substr(10);
        const std::string part = ClipRecorder::temporaryNameOf(cut);
        // Beyond the file writer's own buffer, so that pictures have reached the file.
        QDeadlineTimer deadline(60'000);
        std::error_code ec;
        while (fs::file_size(part, ec) < 256 * 1024 && !deadline.hasExpired())
            QThread::msleep(20);
        ASSERT_FALSE(deadline.hasExpired()) << part;
    }
    const std::string unplayable = folder + "/bogus.mkv";
    std::ofstream(ClipRecorder::temporaryNameOf(unplayable)) << std::string(4096, 'x');
    std::string error;
    std::int64_t unplayableId = 0;
    {
        auto log = EventLog::open(folder + "/events.sqlite", error);
        ASSERT_TRUE(log) << error;
        Event e;
        e.start = e.end = now();
        e.clip = unplayable;
        log->addStarted(e);
        unplayableId = e.id;
        ASSERT_TRUE(log->waitWritten(std::chrono::seconds(30)));
    }

    QStringList said;
    EventWatcher watcher;
    QObject::connect(&watcher, &EventWatcher::statusText, [&](const QString& text) { said << text; });
    QString why;
    ASSERT_TRUE(watcher.open(dir.path(), why)) << why.toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !said.filter("could not be played").isEmpty(); }, 120'000));
    EXPECT_EQ(said.filter("could not be played").size(), 1) << said.join('\n').toStdString();
    EventLog& log = *watcher.log();
    ASSERT_TRUE(log.waitWritten(std::chrono::seconds(30)));

    EXPECT_GT(readClip(cut).frames, 0) << cut;
    int named = 0;
    for (const Event& e : log.events(0, 1000)) {
        EXPECT_TRUE(e.clip.empty() || fs::exists(e.clip)) << e.id << ": " << e.clip;
        if (e.clip == cut) {
            ++named;
            EXPECT_EQ(log.filesOf(e.id).size(), 1u) << "the kept clip is recorded";
        }
    }
    EXPECT_EQ(named, 1) << "the row of the cut clip names it";
    EXPECT_EQ(log.event(unplayableId)->clip, "");
    EXPECT_NE(log.removalReason(unplayable).find("lost"), std::string::npos);
    for (const auto& entry : fs::directory_iterator(folder))
        EXPECT_NE(entry.path().extension(), ".part") << "left over: " << entry.path();
}

TEST(Faults, FullDiskIsReportedAndLeavesNothingBroken)
{
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    Child child({"full", dir.path(), "65536"});
    ASSERT_TRUE(child.waitFor("done", 1));
    ASSERT_TRUE(child.waitFor("error The clip", 2));
    child.kill();

    const std::map<std::int64_t, int> ended = endedEvents(child);
    EXPECT_GT(ended.size(), 0u);
    EXPECT_LT(ended.size(), 200u) << "the disk was never full";
    bool logReported = false;
    for (const std::string& line : child.lines()) {
        // SQLite's own words with the system's reason, never "not an error".
        if (line.starts_with("error Cannot write the event log")) {
            logReported = true;
            EXPECT_NE(line.find("disk I/O error"), std::string::npos) << line;
        }
        if (line.starts_with("error The clip")) {
            EXPECT_NE(line.find("File too large"), std::string::npos) << line;
        }
    }
    EXPECT_TRUE(logReported);
    expectEventsWhole(folder, ended);
    expectClipsWhole(folder);
    for (const auto& entry : fs::directory_iterator(folder))
        EXPECT_EQ(entry.path().extension() == ".part", false) << "partial clip left: " << entry.path();
}

TEST(Faults, ThumbnailThatDoesNotFitLeavesTheOldOneOrNothing)
{
    QTemporaryDir dir;
    analysis::Bitmap frame(320, 240, analysis::PixelFormat::Bgr24);
    std::uint32_t seed = 1;
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < 3 * frame.width(); ++x) {
            seed = seed * 1664525 + 1013904223;
            frame.row(y)[x] = std::uint8_t(seed >> 24); // noise: a JPEG of several KiB
        }
    const std::string kept = dir.path().toStdString() + "/kept.jpg", fresh = dir.path().toStdString() + "/fresh.jpg";
    std::string error;
    ASSERT_TRUE(writeThumbnail(frame, kept, error)) << error;
    const auto keptSize = fs::file_size(kept);
    ASSERT_GT(keptSize, 2000u);

    // A file-size limit below the JPEG's size fails its write as a full disk does.
    bool keptWritten = true, freshWritten = true;
    {
        const FileSizeLimit limit(1000);
        keptWritten = writeThumbnail(frame, kept, error);
        freshWritten = writeThumbnail(frame, fresh, error);
    }

    EXPECT_FALSE(keptWritten);
    EXPECT_FALSE(freshWritten);
    EXPECT_NE(error.find("thumbnail"), std::string::npos) << error;
    EXPECT_EQ(fs::file_size(kept), keptSize) << "the earlier thumbnail stays whole";
    EXPECT_FALSE(fs::exists(fresh)) << "no partial thumbnail under its name";
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path().toStdString()), fs::directory_iterator()), 1)
        << "temporary file left behind";
}
