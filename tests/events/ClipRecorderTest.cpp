#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "ClipRecorder.h"
#include "ClipSalvage.h"
#include "TestVideo.h"

using namespace events;
using platform::Packet;
using std::chrono::milliseconds;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t period = 40'000'000; // 25 frames a second

struct Results {
    std::mutex mutex;
    std::vector<ClipRecorder::Result> list;
    std::vector<std::thread::id> threads;
    ClipRecorder::Finished callback()
    {
        return [this](const ClipRecorder::Result& r) {
            std::lock_guard lock(mutex);
            list.push_back(r);
            threads.push_back(std::this_thread::get_id());
        };
    }
    std::size_t size()
    {
        std::lock_guard lock(mutex);
        return list.size();
    }
};

std::vector<std::string> filesIn(const QTemporaryDir& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path().toStdString()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void push(ClipRecorder& recorder, const std::vector<Packet>& packets, std::size_t from, std::size_t to)
{
    for (std::size_t i = from; i < to && i < packets.size(); ++i)
        recorder.pushPacket(packets[i]);
}

} // namespace

// The source's packets go into the clip as they came, from the latest key frame that
// covers the pre-roll to the end of the after-roll: none lost, none added.
TEST(ClipRecorder, ClipHoldsEveryPacketFromAKeyFrameBeforeTheEventToAfterItsEnd)
{
    for (const std::string kind : {"jpeg", "h264", "raw"}) {
        SCOPED_TRACE(kind);
        QTemporaryDir dir;
        const std::vector<Packet> packets = testPackets(150, 320, 240, kind);
        ASSERT_EQ(packets.size(), 150u);
        std::size_t sinceKey = 0;
        for (std::size_t i = 1; i < packets.size(); ++i) {
            ASSERT_EQ(packets[i].ptsNs - packets[i - 1].ptsNs, period) << "the source's packet " << i << " is missing";
            sinceKey = packets[i].keyFrame ? 0 : sinceKey + 1;
            ASSERT_LT(sinceKey, 25u) << "a key frame at least every second, packet " << i;
        }

        // The event starts after packet 74 and ends after packet 99; one second around it.
        std::size_t first = 0;
        for (std::size_t i = 0; i <= 74; ++i)
            if (packets[i].keyFrame && packets[i].ptsNs <= packets[74].ptsNs - 1'000'000'000)
                first = i;
        ASSERT_TRUE(packets[first].keyFrame);
        const std::int64_t expected = 124 - static_cast<std::int64_t>(first) + 1;

        Results results;
        std::string path, error;
        {
            ClipRecorder recorder(milliseconds(1000), milliseconds(1000), results.callback());
            push(recorder, packets, 0, 75);
            EXPECT_EQ(recorder.bufferedFrames(), 75 - first) << "from the key frame that covers the pre-roll";
            const int clip = recorder.begin(dir.filePath("2026-12-07_10-00-00").toStdString(), path, error);
            ASSERT_NE(clip, 0) << error;
            EXPECT_EQ(fs::path(path).filename(), kind == "raw" ? "2026-12-07_10-00-00.webm" : "2026-12-07_10-00-00.mkv");
            push(recorder, packets, 75, 100);
            recorder.end(clip);
            EXPECT_FALSE(fs::exists(path)) << "no clip under its final name before it is whole";
            push(recorder, packets, 100, 150);
        }
        ASSERT_EQ(results.list.size(), 1u);
        const ClipRecorder::Result& r = results.list[0];
        ASSERT_TRUE(r.complete) << r.error;
        EXPECT_EQ(r.path, path);
        EXPECT_EQ(r.frames, expected) << "before (from packet " << first << "), during, after";
        EXPECT_EQ(r.droppedFrames, 0);
        EXPECT_EQ(r.bytes, static_cast<std::int64_t>(fs::file_size(path)));
        EXPECT_EQ(filesIn(dir), std::vector<std::string>{fs::path(path).filename().string()}) << "no temporary file left";

        const ClipReading reading = readClip(path);
        EXPECT_EQ(reading.error, "");
        EXPECT_EQ(reading.frames, expected) << "every packet decodes, the first one a key frame";
        EXPECT_EQ(reading.width, 320);
        EXPECT_EQ(reading.height, 240);
        EXPECT_EQ(reading.firstNs, 0);
        const std::int64_t duration = expected * period;
        EXPECT_LE(std::llabs(reading.durationNs - duration), period) << reading.durationNs;
        EXPECT_LE(std::llabs(reading.lastEndNs - duration), period) << reading.lastEndNs;
    }
}

// The event's gap (here 2 s) is longer than the after-roll (1 s): the clip ends an
// after-roll past the last movement, wherever in the gap the end comes.
TEST(ClipRecorder, ClipEndsItsAfterRollPastTheLastMovement)
{
    QTemporaryDir dir;
    const std::vector<Packet> packets = testPackets(200, 160, 120, "jpeg");
    ASSERT_EQ(packets.size(), 200u);
    Results results;
    std::string path, error;
    {
        ClipRecorder recorder(milliseconds(0), milliseconds(1000), results.callback());
        push(recorder, packets, 0, 50);
        const int clip = recorder.begin(dir.filePath("2026-12-07_10-00-00").toStdString(), path, error);
        ASSERT_NE(clip, 0) << error;
        // Movement up to packet 59, then a quiet second, more movement at packet 99 and
        // then quiet until the gap ends the event at packet 149.
        for (std::size_t i = 50; i < 150; ++i) {
            recorder.pushPacket(packets[i]);
            if (i < 60 || i == 99)
                recorder.moved(clip);
        }
        recorder.end(clip);
        push(recorder, packets, 150, 200);
    }
    ASSERT_EQ(results.list.size(), 1u);
    const ClipRecorder::Result& r = results.list[0];
    ASSERT_TRUE(r.complete) << r.error;
    // From the key frame at or before packet 49 to packet 99 and its 25 packets after.
    std::size_t first = 49;
    while (!packets[first].keyFrame)
        --first;
    EXPECT_EQ(r.frames, std::int64_t(99 + 25 - first + 1)) << "the quiet second inside the event stays in";
    EXPECT_EQ(readClip(path).frames, r.frames);
}

TEST(ClipRecorder, OverlappingEventsNamesTakenAndClosingEarly)
{
    QTemporaryDir dir;
    const std::vector<Packet> packets = testPackets(60, 160, 120);
    ASSERT_EQ(packets.size(), 60u);
    Results results;
    const std::string stem = dir.filePath("2026-12-07_11-00-00").toStdString();
    std::string first, second, error;
    {
        ClipRecorder recorder(milliseconds(200), milliseconds(5000), results.callback());
        push(recorder, packets, 0, 10);
        const int a = recorder.begin(stem, first, error);
        push(recorder, packets, 10, 20);
        recorder.end(a);
        // The next event starts during the first one's after-roll, in the same second.
        const int b = recorder.begin(stem, second, error);
        ASSERT_NE(b, 0) << error;
        push(recorder, packets, 20, 60);
        // The program closes: both clips end now, without waiting for the after-roll.
    }
    EXPECT_EQ(fs::path(second).filename(), "2026-12-07_11-00-00-2.mkv");
    ASSERT_EQ(results.list.size(), 2u);
    for (const ClipRecorder::Result& r : results.list) {
        ASSERT_TRUE(r.complete) << r.error;
        const ClipReading reading = readClip(r.path);
        EXPECT_EQ(reading.error, "") << r.path;
        EXPECT_EQ(reading.frames, r.frames) << r.path;
    }
    EXPECT_EQ(results.list[0].frames, 6 + 10 + 40);
    EXPECT_EQ(results.list[1].frames, 6 + 40);
}

TEST(ClipRecorder, TwoProgramsRecordingIntoOneFolderKeepTheirClipsApart)
{
    // Two cameras watched from the same place, events starting in the same second; the
    // second program starts (and cleans up leftovers) while the first one records.
    QTemporaryDir dir;
    const std::vector<Packet> packets = testPackets(30, 160, 120);
    Results results;
    const std::string stem = dir.filePath("2026-12-07_11-00-00").toStdString();
    std::string first, second, error;
    {
        ClipRecorder one(milliseconds(200), milliseconds(200), results.callback());
        ClipRecorder other(milliseconds(200), milliseconds(200), results.callback());
        push(one, packets, 0, 10);
        push(other, packets, 0, 10);
        const int a = one.begin(stem, first, error);
        ASSERT_NE(a, 0) << error;
        // Left by killed programs, of this version and of the one before it.
        const std::string left[] = {dir.filePath(".2026-12-07_10-00-00.webm.part").toStdString(),
                                    dir.filePath(".2026-12-07_10-00-00.mkv.part").toStdString()};
        for (const std::string& name : left)
            std::ofstream(name) << "left by a program that was killed";
        std::promise<std::size_t> removed;
        const ClipSalvage salvage(dir.path().toStdString(),
                                  [&](const auto&, const std::vector<std::string>& lost) { removed.set_value(lost.size()); });
        EXPECT_EQ(removed.get_future().get(), 2u) << "the clip being written is left alone";
        for (const std::string& name : left)
            EXPECT_FALSE(fs::exists(name)) << "a leftover that does not play goes: " << name;
        const int b = other.begin(stem, second, error);
        ASSERT_NE(b, 0) << error;
        EXPECT_NE(first, second);
        push(one, packets, 10, 30);
        push(other, packets, 10, 30);
    }
    ASSERT_EQ(results.list.size(), 2u);
    for (const ClipRecorder::Result& r : results.list) {
        ASSERT_TRUE(r.complete) << r.error;
        EXPECT_EQ(readClip(r.path).error, "") << r.path;
        EXPECT_EQ(readClip(r.path).frames, r.frames) << r.path;
    }
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"2026-12-07_11-00-00-2.mkv", "2026-12-07_11-00-00.mkv"}));
}

// A source that reconnects during an event goes on in the same clip, its times after
// the last packet's.
TEST(ClipRecorder, ClipGoesOnOverAReconnection)
{
    QTemporaryDir dir;
    const std::vector<Packet> before = testPackets(50, 160, 120), after = testPackets(50, 160, 120);
    ASSERT_EQ(before.size() + after.size(), 100u);
    ASSERT_NE(before.front().stream, after.front().stream);
    Results results;
    {
        ClipRecorder recorder(milliseconds(200), milliseconds(1000), results.callback());
        push(recorder, before, 0, 25);
        std::string path, error;
        const int clip = recorder.begin(dir.filePath("on").toStdString(), path, error);
        ASSERT_NE(clip, 0) << error;
        push(recorder, before, 25, 50);
        push(recorder, after, 0, 50);
        recorder.end(clip);
    }
    ASSERT_EQ(results.list.size(), 1u);
    const ClipRecorder::Result& r = results.list[0];
    ASSERT_TRUE(r.complete) << r.error;
    EXPECT_EQ(r.frames, 6 + 25 + 50);
    const ClipReading reading = readClip(r.path);
    EXPECT_EQ(reading.error, "");
    EXPECT_EQ(reading.frames, r.frames);
    EXPECT_LE(std::llabs(reading.lastEndNs - r.frames * period), period) << "no gap, no overlap";
}

// A new size mid-event (a new format, a camera that reconnects at another size): the
// event's clip goes on in a second file, from the first key frame of the new size.
TEST(ClipRecorder, ASizeChangeContinuesTheClipInAFileOfItsOwn)
{
    for (const std::string kind : {"jpeg", "raw"}) {
        SCOPED_TRACE(kind);
        QTemporaryDir dir;
        const std::vector<Packet> large = testPackets(50, 320, 240, kind), small = testPackets(75, 160, 120, kind);
        ASSERT_EQ(large.size() + small.size(), 125u);
        Results results;
        std::string path, error;
        {
            ClipRecorder recorder(milliseconds(200), milliseconds(1000), results.callback());
            push(recorder, large, 0, 25);
            const int clip = recorder.begin(dir.filePath("2026-12-07_12-00-00").toStdString(), path, error);
            ASSERT_NE(clip, 0) << error;
            for (std::size_t i = 25; i < 50; ++i) {
                recorder.pushPacket(large[i]);
                recorder.moved(clip);
            }
            for (std::size_t i = 0; i < 50; ++i) {
                recorder.pushPacket(small[i]);
                recorder.moved(clip);
            }
            recorder.end(clip);
            push(recorder, small, 50, 75);
        }
        ASSERT_EQ(results.list.size(), 2u);
        const ClipRecorder::Result& first = results.list[0];
        const ClipRecorder::Result& second = results.list[1];
        ASSERT_TRUE(first.complete) << first.error;
        ASSERT_TRUE(second.complete) << second.error;
        EXPECT_EQ(first.path, path);
        EXPECT_EQ(first.continuedIn, second.path);
        EXPECT_EQ(fs::path(second.path).stem(), "2026-12-07_12-00-00_2");
        EXPECT_TRUE(second.continuedIn.empty());
        const ClipReading before = readClip(first.path), after = readClip(second.path);
        EXPECT_EQ(before.error, "");
        EXPECT_EQ(after.error, "");
        EXPECT_EQ(before.width, 320);
        EXPECT_EQ(after.width, 160);
        EXPECT_GE(before.frames, 25);
        // The after-roll of the last movement: 25 packets past packet 49 of the new size.
        EXPECT_GE(after.frames, 50) << "the rest of the event is recorded";
        EXPECT_LE(after.frames, 75);
    }
}

// The window's thread ends clips and closes them all without waiting for a file: the
// recorder's own thread completes them and tells.
TEST(ClipRecorder, EndingAndClosingReturnAtOnceAndClipsAreCompletedLater)
{
    QTemporaryDir dir;
    const std::vector<Packet> packets = testPackets(100, 640, 480, "jpeg", "snow"); // noise: large pictures
    ASSERT_EQ(packets.size(), 100u);
    Results results;
    ClipRecorder recorder(milliseconds(1000), milliseconds(500), results.callback());
    push(recorder, packets, 0, 30);
    std::string first, second, error;
    const int a = recorder.begin(dir.filePath("a").toStdString(), first, error);
    const int b = recorder.begin(dir.filePath("b").toStdString(), second, error);
    ASSERT_TRUE(a != 0 && b != 0) << error;
    push(recorder, packets, 30, 100);

    using Clock = std::chrono::steady_clock;
    const Clock::time_point before = Clock::now();
    recorder.end(a); // its source goes quiet: the after-roll ends by time
    recorder.closeAll();
    EXPECT_LT(Clock::now() - before, milliseconds(200));

    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
    while (results.size() < 2 && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10));
    ASSERT_EQ(results.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const ClipRecorder::Result& r = results.list[i];
        ASSERT_TRUE(r.complete) << r.error;
        EXPECT_EQ(r.frames, 26 + 70) << r.path;
        EXPECT_EQ(r.droppedFrames, 0) << "a whole pre-event buffer at once is no backlog";
        EXPECT_EQ(readClip(r.path).frames, r.frames) << r.path;
        EXPECT_NE(results.threads[i], std::this_thread::get_id()) << "completed on the recorder's thread";
    }
}

TEST(ClipRecorder, ClipWithoutFramesLeavesNoFile)
{
    QTemporaryDir dir;
    Results results;
    {
        ClipRecorder recorder(milliseconds(1000), milliseconds(1000), results.callback());
        std::string path, error;
        const int clip = recorder.begin(dir.filePath("quiet").toStdString(), path, error);
        ASSERT_NE(clip, 0) << error;
        recorder.end(clip);
    }
    ASSERT_EQ(results.list.size(), 1u);
    EXPECT_FALSE(results.list[0].complete);
    EXPECT_NE(results.list[0].error.find("no frames"), std::string::npos) << results.list[0].error;
    EXPECT_TRUE(filesIn(dir).empty());
}
