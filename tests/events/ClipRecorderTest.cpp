#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "ClipRecorder.h"
#include "TestVideo.h"

using namespace events;
using std::chrono::milliseconds;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t period = 40'000'000; // 25 frames a second

struct Results {
    std::mutex mutex;
    std::vector<ClipRecorder::Result> list;
    ClipRecorder::Finished callback()
    {
        return [this](const ClipRecorder::Result& r) {
            std::lock_guard lock(mutex);
            list.push_back(r);
        };
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

} // namespace

TEST(ClipRecorder, ClipRunsFromBeforeTheEventToAfterItsEndAndDecodes)
{
    QTemporaryDir dir;
    const std::vector<SourceFrame> frames = testFrames(200, 320, 240);
    ASSERT_EQ(frames.size(), 200u);
    Results results;
    std::string path, error;
    {
        ClipRecorder recorder(milliseconds(1000), milliseconds(1000), results.callback());
        for (int i = 0; i < 100; ++i)
            recorder.pushFrame(frames[i].image, frames[i].pts);
        EXPECT_EQ(recorder.bufferedFrames(), 26u) << "one second back, both ends included";
        EXPECT_EQ(recorder.bufferedBytes(), 26u * 320 * 240 * 3 / 2) << "kept as 4:2:0, half of BGR";

        const int clip = recorder.begin(dir.filePath("2026-12-07_10-00-00").toStdString(), path, error);
        ASSERT_NE(clip, 0) << error;
        EXPECT_EQ(fs::path(path).filename(), "2026-12-07_10-00-00.webm");
        for (int i = 100; i < 150; ++i)
            recorder.pushFrame(frames[i].image, frames[i].pts);
        recorder.end(clip);
        EXPECT_FALSE(fs::exists(path)) << "no clip under its final name before it is whole";
        for (int i = 150; i < 200; ++i)
            recorder.pushFrame(frames[i].image, frames[i].pts);
        recorder.finishAll(std::chrono::seconds(30));
    }
    ASSERT_EQ(results.list.size(), 1u);
    const ClipRecorder::Result& r = results.list[0];
    ASSERT_TRUE(r.complete) << r.error;
    EXPECT_EQ(r.path, path);
    EXPECT_EQ(r.frames, 26 + 50 + 25) << "before, during, after";
    EXPECT_EQ(r.bytes, static_cast<std::int64_t>(fs::file_size(path)));
    EXPECT_EQ(filesIn(dir), std::vector<std::string>{"2026-12-07_10-00-00.webm"}) << "no temporary file left";

    const ClipReading reading = readClip(path);
    EXPECT_EQ(reading.error, "");
    EXPECT_EQ(reading.frames, r.frames);
    EXPECT_EQ(reading.width, 320);
    EXPECT_EQ(reading.height, 240);
    const std::int64_t expected = r.frames * period;
    EXPECT_LE(std::llabs(reading.durationNs - expected), period) << reading.durationNs;
    EXPECT_LE(std::llabs(reading.lastEndNs - expected), period) << reading.lastEndNs;
}

TEST(ClipRecorder, OverlappingEventsNamesTakenAndClosingEarly)
{
    QTemporaryDir dir;
    const std::vector<SourceFrame> frames = testFrames(60, 160, 120);
    Results results;
    const std::string stem = dir.filePath("2026-12-07_11-00-00").toStdString();
    std::string first, second, error;
    {
        ClipRecorder recorder(milliseconds(200), milliseconds(5000), results.callback());
        for (int i = 0; i < 10; ++i)
            recorder.pushFrame(frames[i].image, frames[i].pts);
        const int a = recorder.begin(stem, first, error);
        for (int i = 10; i < 20; ++i)
            recorder.pushFrame(frames[i].image, frames[i].pts);
        recorder.end(a);
        // The next event starts during the first one's after-roll, in the same second.
        const int b = recorder.begin(stem, second, error);
        ASSERT_NE(b, 0) << error;
        for (int i = 20; i < 60; ++i)
            recorder.pushFrame(frames[i].image, frames[i].pts);
        // The program closes: both clips end now, without waiting for the after-roll.
    }
    EXPECT_EQ(fs::path(second).filename(), "2026-12-07_11-00-00-2.webm");
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
    const std::vector<SourceFrame> frames = testFrames(30, 160, 120);
    Results results;
    const std::string stem = dir.filePath("2026-12-07_11-00-00").toStdString();
    std::string first, second, error;
    {
        ClipRecorder one(milliseconds(200), milliseconds(200), results.callback());
        ClipRecorder other(milliseconds(200), milliseconds(200), results.callback());
        for (int i = 0; i < 10; ++i) {
            one.pushFrame(frames[i].image, frames[i].pts);
            other.pushFrame(frames[i].image, frames[i].pts);
        }
        const int a = one.begin(stem, first, error);
        ASSERT_NE(a, 0) << error;
        const std::string left = dir.filePath(".2026-12-07_10-00-00.webm.part").toStdString();
        std::ofstream(left) << "left by a program that was killed";
        ClipRecorder::removeLeftovers(dir.path().toStdString());
        EXPECT_FALSE(fs::exists(left)) << "a leftover goes";
        const int b = other.begin(stem, second, error);
        ASSERT_NE(b, 0) << error;
        EXPECT_NE(first, second);
        for (int i = 10; i < 30; ++i) {
            one.pushFrame(frames[i].image, frames[i].pts);
            other.pushFrame(frames[i].image, frames[i].pts);
        }
    }
    ASSERT_EQ(results.list.size(), 2u);
    for (const ClipRecorder::Result& r : results.list) {
        ASSERT_TRUE(r.complete) << r.error;
        EXPECT_EQ(readClip(r.path).error, "") << r.path;
        EXPECT_EQ(readClip(r.path).frames, r.frames) << r.path;
    }
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"2026-12-07_11-00-00-2.webm", "2026-12-07_11-00-00.webm"}));
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
