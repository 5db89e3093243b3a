#include <filesystem>
#include <fstream>

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "DiskSpace.h"
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
    const RetentionResult slice = applyRetention(*log, {0, hours(24 * 30)}, today, {}, past);
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

namespace {

// A log with files of a few KiB in a folder of the test's own.
struct Folder {
    QTemporaryDir dir;
    std::unique_ptr<EventLog> log;
    const TimePoint today = fromMilliseconds(1'800'000'000'000);

    Folder()
    {
        std::string error;
        log = EventLog::open(dir.filePath("events.sqlite").toStdString(), error);
        EXPECT_TRUE(log) << error;
    }
    std::string path(const std::string& name) const { return dir.filePath(QString::fromStdString(name)).toStdString(); }
    // An event with its files, oldest first as they were written: thumbnail, frames, clip.
    std::int64_t event(int hoursOld, const std::string& name, int frames, bool clip)
    {
        Event e;
        e.start = today - hours(hoursOld);
        e.thumbnail = path(name + ".jpg");
        if (clip)
            e.clip = path(name + ".webm");
        EXPECT_TRUE(log->addStarted(e));
        file(e.id, name + ".jpg", FileKind::Thumbnail, e.start);
        for (int i = 0; i < frames; ++i)
            file(e.id, name + "-" + std::to_string(i) + ".bmp", FileKind::Frame, e.start + std::chrono::seconds(1 + i));
        if (clip)
            file(e.id, name + ".webm", FileKind::Clip, e.start + std::chrono::minutes(1));
        return e.id;
    }
    void file(std::int64_t eventId, const std::string& name, FileKind kind, TimePoint created)
    {
        std::ofstream(path(name)) << std::string(1024, 'x');
        EXPECT_TRUE(log->addFile(eventId, path(name), kind, 1024, created));
    }
    bool exists(const std::string& name) const { return fs::exists(path(name)); }
    // Retention on what is written, its own changes written before the test looks.
    RetentionResult retain(const RetentionLimits& limits, const RetentionNeeds& needs)
    {
        EXPECT_TRUE(log->waitWritten(std::chrono::seconds(60)));
        const RetentionResult result = applyRetention(*log, limits, today, needs);
        EXPECT_TRUE(log->waitWritten(std::chrono::seconds(60)));
        return result;
    }
    // Every event whose clip is still there has its thumbnail and its row.
    void expectThumbnailsWithTheirClips(const char* step) const
    {
        for (const char* name : {"a", "b", "c"})
            if (exists(std::string(name) + ".webm"))
                EXPECT_TRUE(exists(std::string(name) + ".jpg")) << step << ": " << name;
    }
};

} // namespace

TEST(Retention, EventsGoClipFirstThumbnailAndRowLastAndRecordingEventsStay)
{
    Folder f;
    f.file(0, "loose.bmp", FileKind::Frame, f.today - hours(50));
    const std::int64_t a = f.event(40, "a", 2, true); // 4 files
    const std::int64_t b = f.event(30, "b", 0, true); // 2 files
    const std::int64_t c = f.event(1, "c", 3, false); // open: its clip is being written
    const std::int64_t kib = 1024;

    // 11 KiB listed and 1 KiB of log beside them, 10 KiB allowed: the loose frame, then the
    // oldest event's clip go; its frames, thumbnail and row stay.
    RetentionNeeds needs;
    needs.unlisted = kib;
    needs.recording = {c};
    RetentionResult r = f.retain({10 * kib, hours(24 * 30)}, needs);
    EXPECT_EQ(r.removed, 2);
    EXPECT_FALSE(f.exists("loose.bmp"));
    EXPECT_FALSE(f.exists("a.webm"));
    EXPECT_TRUE(f.exists("a.jpg") && f.exists("a-0.bmp"));
    EXPECT_TRUE(f.log->event(a).has_value());
    EXPECT_TRUE(r.fits);
    f.expectThumbnailsWithTheirClips("size");

    // A write of 1 KiB and a disk 2 KiB short of its floor: a's frames go for the disk, and
    // with them nothing of b.
    needs.incoming = kib;
    needs.diskShortfall = 2 * kib;
    r = f.retain({100 * kib, hours(24 * 30)}, needs);
    EXPECT_EQ(r.removed, 2);
    EXPECT_EQ(f.log->removalReason(f.path("a-1.bmp")), "the disk was short of free space");
    EXPECT_TRUE(f.exists("a.jpg") && f.exists("b.webm"));
    EXPECT_TRUE(r.fits);

    // By age, an event goes whole and its row with it: a's thumbnail too, though written
    // after the limit's line in its own right.
    r = f.retain({100 * kib, hours(35)}, {});
    EXPECT_EQ(r.removedEvents, std::vector<std::int64_t>{a});
    EXPECT_FALSE(f.exists("a.jpg"));
    EXPECT_FALSE(f.log->event(a).has_value());
    EXPECT_EQ(f.log->removalReason(f.path("a.jpg")), "older than 1 days");

    // Nothing but the open event is left to go: its oldest frames make room, its thumbnail
    // stays, and a write that still does not fit is told so.
    needs = {};
    needs.recording = {c};
    needs.incoming = 2 * kib;
    r = f.retain({3 * kib, hours(24 * 30)}, needs);
    EXPECT_EQ(r.removedEvents, std::vector<std::int64_t>{b});
    EXPECT_FALSE(f.exists("c-0.bmp") || f.exists("c-1.bmp") || f.exists("c-2.bmp"));
    EXPECT_TRUE(f.exists("c.jpg"));
    EXPECT_TRUE(f.log->event(c).has_value());
    EXPECT_EQ(r.keptBytes, 3 * kib);
    EXPECT_TRUE(r.fits);
    needs.incoming = 3 * kib;
    r = f.retain({3 * kib, hours(24 * 30)}, needs);
    EXPECT_EQ(r.removed, 0);
    EXPECT_FALSE(r.fits);
    EXPECT_TRUE(f.exists("c.jpg"));
    f.expectThumbnailsWithTheirClips("the end");
}

TEST(Retention, RemovalReasonsAreKeptForAWeekAndAtMostSoManyThenForgotten)
{
    Folder f;
    for (const char* name : {"weeks.bmp", "days.bmp", "hour.bmp", "now.bmp"})
        f.file(0, name, FileKind::Frame, f.today - hours(24 * 20));
    ASSERT_TRUE(f.log->markRemoved(1, f.today - hours(24 * 8), "older than 30 days"));
    ASSERT_TRUE(f.log->markRemoved(2, f.today - hours(24 * 6), "over the size limit of 20 MB"));
    ASSERT_TRUE(f.log->markRemoved(3, f.today - hours(1), "the disk was short of free space"));
    ASSERT_TRUE(f.log->waitWritten(std::chrono::seconds(60)));

    ASSERT_TRUE(pruneRemovalRecords(*f.log, f.today));
    ASSERT_TRUE(f.log->waitWritten(std::chrono::seconds(60)));
    EXPECT_EQ(f.log->removalReason(f.path("weeks.bmp")), "");
    EXPECT_EQ(f.log->removalReason(f.path("days.bmp")), "over the size limit of 20 MB");
    ASSERT_TRUE(f.log->pruneRemoved(f.today - hours(24 * 7), 1));
    ASSERT_TRUE(f.log->waitWritten(std::chrono::seconds(60)));
    EXPECT_EQ(f.log->removalReason(f.path("days.bmp")), "") << "beyond the count, the oldest go first";
    EXPECT_EQ(f.log->removalReason(f.path("hour.bmp")), "the disk was short of free space");
    EXPECT_EQ(f.log->presentFiles().size(), 1u) << "files still there are never forgotten";
}

TEST(DiskSpace, TheFileSystemsFiguresAndTheFloorKeptFree)
{
    QTemporaryDir dir;
    const std::optional<DiskSpace> space = diskSpaceOf(dir.path().toStdString());
    ASSERT_TRUE(space);
    const fs::space_info told = fs::space(dir.path().toStdString());
    EXPECT_EQ(space->total, std::int64_t(told.capacity));
    // Others write to the same disk meanwhile: a generous margin.
    EXPECT_NEAR(double(space->available), double(told.available), double(told.capacity) / 100);
    EXPECT_FALSE(diskSpaceOf(dir.filePath("missing").toStdString()));

    const std::int64_t gib = std::int64_t(1) << 30;
    const struct {
        std::int64_t total, floor;
    } cases[] = {{500 * gib, gib}, {20 * gib, gib}, {16 * gib, gib * 4 / 5}, {40 << 20, 2 << 20}, {0, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(freeSpaceFloor(c.total), c.floor) << c.total;
}
