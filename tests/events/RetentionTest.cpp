#include <filesystem>
#include <fstream>

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "EventLog.h"
#include "Retention.h"

using namespace events;
namespace fs = std::filesystem;
using std::chrono::hours;

TEST(Retention, RemovesOldestFirstUntilWithinSizeAndAgeAndSaysWhy)
{
    QTemporaryDir dir;
    std::string error;
    auto log = EventLog::open(dir.filePath("events.sqlite").toStdString(), error);
    ASSERT_TRUE(log) << error;
    const TimePoint today = fromMilliseconds(1'800'000'000'000);
    struct File {
        const char* name;
        int kbytes;
        int hoursOld;
    };
    const File files[] = {{"ancient.bmp", 1, 24 * 40}, {"old.webm", 40, 30}, {"middle.webm", 40, 20},
                          {"new.jpg", 10, 2}, {"newest.webm", 40, 1}};
    for (const File& f : files) {
        const std::string path = dir.filePath(f.name).toStdString();
        std::ofstream(path) << std::string(static_cast<std::size_t>(f.kbytes) * 1024, 'x');
        ASSERT_TRUE(log->addFile(0, path, FileKind::Clip, f.kbytes * 1024, today - hours(f.hoursOld)));
    }
    ASSERT_TRUE(log->waitWritten(std::chrono::seconds(30)));
    const std::string stranger = dir.filePath("not-ours.webm").toStdString();
    std::ofstream(stranger) << std::string(500 * 1024, 'y');

    // 131 KiB kept, at most 100 KiB and 30 days allowed: the ancient one goes by age, the
    // old one by size; then 91 KiB remain.
    const RetentionResult result = applyRetention(*log, {100 * 1024, hours(24 * 30)}, today);
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.removed, 2);
    EXPECT_EQ(result.freedBytes, 41 * 1024);
    EXPECT_FALSE(fs::exists(dir.filePath("ancient.bmp").toStdString()));
    EXPECT_FALSE(fs::exists(dir.filePath("old.webm").toStdString()));
    for (const char* kept : {"middle.webm", "new.jpg", "newest.webm"})
        EXPECT_TRUE(fs::exists(dir.filePath(kept).toStdString())) << kept;
    EXPECT_TRUE(fs::exists(stranger)) << "a file the log does not know is never touched";
    EXPECT_EQ(log->presentFiles().size(), 3u) << "removals still being written are not counted again";
    ASSERT_TRUE(log->waitWritten(std::chrono::seconds(30)));
    EXPECT_EQ(log->removalReason(dir.filePath("ancient.bmp").toStdString()), "older than 30 days");
    EXPECT_EQ(log->removalReason(dir.filePath("old.webm").toStdString()), "over the size limit of 0 MB");
    EXPECT_EQ(log->presentFiles().size(), 3u);

    // Out of time, it stops after one file and says so; the next slice goes on.
    const auto past = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    const RetentionResult slice = applyRetention(*log, {0, hours(24 * 30)}, today, past);
    EXPECT_EQ(slice.removed, 1);
    EXPECT_TRUE(slice.unfinished);
    EXPECT_FALSE(fs::exists(dir.filePath("middle.webm").toStdString())) << "the oldest goes first";
    ASSERT_TRUE(log->addFile(0, dir.filePath("middle.webm").toStdString(), FileKind::Clip, 40 * 1024,
                             today - hours(20)));
    ASSERT_TRUE(log->waitWritten(std::chrono::seconds(30)));
    std::ofstream(dir.filePath("middle.webm").toStdString()) << std::string(40 * 1024, 'x');

    // A file someone already removed leaves the log just the same.
    fs::remove(dir.filePath("middle.webm").toStdString());
    EXPECT_EQ(applyRetention(*log, {60 * 1024, hours(24 * 30)}, today).removed, 1);
    ASSERT_TRUE(log->waitWritten(std::chrono::seconds(30)));
    EXPECT_EQ(log->presentFiles().size(), 2u);
}
