#include <filesystem>
#include <memory>

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest/QTest>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include "../events/TestVideo.h"
#include "DiskSpace.h"
#include "EventLog.h"
#include "Session.h"

using namespace watch;
namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

std::int64_t folderBytes(const std::string& folder)
{
    std::int64_t bytes = 0;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(folder, ec))
        if (entry.is_regular_file(ec))
            bytes += std::int64_t(entry.file_size(ec));
    return bytes;
}

// A disk of `capacity` bytes that holds the folder and whatever other programs keep on it.
struct SmallDisk {
    std::string folder;
    std::int64_t capacity = 0;
    std::int64_t othersUse = 0;
    events::DiskSpace space() const { return {capacity - othersUse - folderBytes(folder), capacity}; }
};

analysis::Frame frame(std::uint8_t level, std::uint64_t number)
{
    auto picture = std::make_shared<analysis::Bitmap>(320, 240, analysis::PixelFormat::Bgr24);
    for (int y = 0; y < picture->height(); ++y)
        std::fill(picture->row(y), picture->row(y) + 3 * picture->width(), level);
    return {picture, 1, number, 0};
}

// Drives a session as the windows do, with a clip stream beside the frames.
struct Watching {
    QTemporaryDir dir;
    Session session;
    std::vector<platform::Packet> packets;
    bool saveOnMove = true;
    std::size_t nextPacket = 0;
    std::int64_t lastPushed = 0; // bytes of the packets pushed before the last cycle
    std::uint64_t frames = 0;

    const Cycle& cycle(bool moving, std::size_t packetCount = 2)
    {
        lastPushed = 0;
        for (std::size_t end = std::min(packets.size(), nextPacket + packetCount); nextPacket < end; ++nextPacket) {
            session.events().pushPacket(packets[nextPacket]);
            lastPushed += std::int64_t(gst_buffer_get_size(packets[nextPacket].buffer.get()));
        }
        QTest::qWait(3); // saved frames are named by the millisecond
        CycleSettings settings;
        settings.saveOnMove = saveOnMove;
        ++frames;
        return session.evaluation().evaluate(frame(moving && frames % 2 ? 200 : 40, frames), settings);
    }
    std::string folder() const { return dir.path().toStdString(); }
    // Every event that still has its clip has its thumbnail.
    // Settings whose gap only the test ends, and the folder's limit.
    void limitTo(std::int64_t bytes)
    {
        QString error;
        ASSERT_TRUE(session.setSaveFolder(dir.path(), error)) << error.toStdString();
        events::EventSettings settings;
        settings.gap = milliseconds(600'000);
        settings.preRoll = milliseconds(200);
        settings.postRoll = milliseconds(200);
        settings.retentionBytes = bytes;
        session.events().setSettings(settings);
    }
    void expectThumbnailsWithTheirClips(const std::string& when)
    {
        events::EventLog& log = *session.events().log();
        for (const events::Event& e : log.events(0, 100))
            if (!e.clip.empty() && fs::exists(e.clip))
                EXPECT_TRUE(fs::exists(e.thumbnail)) << when << ": event " << e.id;
    }
};

} // namespace

TEST(Storage, ALongEventOnASmallDiskKeepsTheLimitsAndThumbnailsWithTheirClipsAndWatchingGoesOn)
{
    Watching w;
    w.packets = testPackets(150, 320, 240);
    const std::int64_t limit = std::int64_t(3) << 20;
    w.limitTo(limit);
    QString error;
    auto disk = std::make_shared<SmallDisk>(SmallDisk{w.folder(), std::int64_t(64) << 20});
    w.session.events().setDiskSpaceProbe([disk](const std::string&) { return disk->space(); });
    ASSERT_TRUE(w.session.openRecords(error)) << error.toStdString();
    QSignalSpy status(&w.session, &Session::statusText);
    QSignalSpy started(&w.session.events(), &events::EventWatcher::eventStarted);
    QSignalSpy clips(&w.session.events(), &events::EventWatcher::clipSaved);

    // A first event of three saved frames, ended with its clip complete.
    w.session.evaluation().takeReference(frame(40, 0));
    w.cycle(false, 20);
    for (int i = 0; i < 3; ++i)
        w.cycle(true, 5);
    w.session.finish();
    ASSERT_TRUE(QTest::qWaitFor([&] { return clips.size() == 1; }, 120000));
    const std::int64_t first = started[0][0].value<events::Event>().id;

    // A long event: every cycle saves a 225 KiB frame, ten times the folder's limit in all.
    // The clip's writer may add the pictures pushed just before a cycle after its check, and
    // the log's writer the journal pages of the changes still waiting for it.
    const auto withinLimit = [&](const std::string& when) {
        EXPECT_LE(folderBytes(w.folder()), limit + 2 * w.lastPushed + (256 << 10)) << when;
        w.expectThumbnailsWithTheirClips(when);
    };
    int saved = 0;
    for (int i = 0; i < 140 / 2 - 20; ++i) {
        const Cycle& c = w.cycle(true);
        const std::string when = "long event, cycle " + std::to_string(i);
        saved += !c.savedFile.empty();
        EXPECT_FALSE(c.savedFile.empty()) << when << ": " << c.saveSkipped;
        EXPECT_TRUE(c.saveError.empty()) << when;
        withinLimit(when);
        if (i == 0)
            EXPECT_TRUE(w.session.events().log()->event(first)) << "the first event's files go at need, not at once";
    }
    ASSERT_EQ(started.size(), 2) << "one long event";
    EXPECT_TRUE(w.session.events().eventOpen());
    EXPECT_FALSE(w.session.events().log()->event(first)) << "the first event went whole";
    EXPECT_EQ(w.session.savedFrames().count, saved);
    EXPECT_EQ(w.session.savedFrames().folder, w.folder());
    const events::Event open = started[1][0].value<events::Event>();
    EXPECT_TRUE(fs::exists(open.thumbnail));

    // Others fill the disk up to 2 MB above its floor (5 % of 64 MB): the folder shrinks
    // to fit, the open event's newest frames are saved.
    const std::int64_t floor = events::freeSpaceFloor(disk->capacity);
    disk->othersUse = disk->capacity - floor - (2 << 20);
    for (int i = 0; i < 5; ++i) {
        const Cycle& c = w.cycle(true);
        EXPECT_FALSE(c.savedFile.empty()) << "small disk, cycle " << i << ": " << c.saveSkipped;
        EXPECT_GE(disk->space().available, floor - 2 * w.lastPushed - (16 << 10)) << "small disk, cycle " << i;
    }

    // The disk is full to its floor: frames are skipped, told once, and watching goes on.
    disk->othersUse = disk->capacity;
    const qsizetype toldBefore = status.size();
    for (int i = 0; i < 4; ++i) {
        const Cycle& c = w.cycle(true);
        EXPECT_TRUE(c.moving);
        EXPECT_TRUE(c.savedFile.empty());
        EXPECT_TRUE(c.saveError.empty()) << "no box for a full disk";
    }
    ASSERT_EQ(status.size(), toldBefore + 1) << "told once";
    EXPECT_TRUE(status.last()[0].toString().startsWith("The save folder is full")) << status.last()[0].toString().toStdString();
    EXPECT_TRUE(w.session.events().eventOpen());
    EXPECT_TRUE(fs::exists(open.thumbnail)) << "the open event keeps its thumbnail";

    // Room again: saved again.
    disk->othersUse = 0;
    EXPECT_FALSE(w.cycle(true).savedFile.empty());
    w.session.finish();
    ASSERT_TRUE(QTest::qWaitFor([&] { return clips.size() == 2; }, 120000));
    w.expectThumbnailsWithTheirClips("the end");
}

TEST(Storage, AClipThatWouldPassTheLimitEndsWholeWhileItsEventGoesOn)
{
    Watching w;
    w.packets = testPackets(120, 320, 240, "jpeg", "snow"); // pictures of some tens of KiB
    w.saveOnMove = false;
    const std::int64_t limit = std::int64_t(2) << 20;
    w.limitTo(limit);
    QString error;
    ASSERT_TRUE(w.session.openRecords(error)) << error.toStdString();
    QSignalSpy status(&w.session, &Session::statusText);
    QSignalSpy clips(&w.session.events(), &events::EventWatcher::clipSaved);

    w.session.evaluation().takeReference(frame(40, 0));
    w.cycle(false, 10);
    while (clips.isEmpty() && w.nextPacket < w.packets.size())
        w.cycle(true, 1);
    // The clip's writer works on its own thread: what it still holds comes with its end.
    ASSERT_TRUE(QTest::qWaitFor([&] { return clips.size() == 1; }, 120000)) << "the clip was never ended";
    EXPECT_TRUE(w.session.events().eventOpen()) << "the event goes on without its clip";
    QStringList told;
    for (const QList<QVariant>& text : status)
        told << text[0].toString();
    EXPECT_EQ(told.filter("was ended early").size(), 1) << told.join("; ").toStdString();
    const std::string clip = clips[0][1].toString().toStdString();
    const ClipReading reading = readClip(clip);
    EXPECT_EQ(reading.error, "") << "the clip is whole";
    EXPECT_GT(reading.frames, 10);
    // As above, the writer may still have held the pictures pushed just before the last check.
    EXPECT_LE(folderBytes(w.folder()), limit + 2 * w.lastPushed + (16 << 10));
    w.session.finish();
}
