#include <chrono>
#include <mutex>
#include <vector>

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include "LiveSource.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

Driver configured(const char* name, const char* description)
{
    return {name, description, nullptr};
}

bool settled(LiveSource& source)
{
    return waitHandlingEvents(&source, [&] { return source.state() != LiveSource::State::Connecting; }, 15s);
}

} // namespace

TEST(LiveSource, TapsEveryFrameOffTheGuiThreadMarkedWithItsStream)
{
    LiveSource source;
    std::mutex mutex;
    std::vector<std::int64_t> arrivals;
    std::vector<std::uint64_t> streams;
    bool onGuiThread = false;
    source.addFrameTap([&](const LiveSource::Frame& frame) {
        std::lock_guard lock(mutex);
        arrivals.push_back(frame.arrivedNs);
        streams.push_back(frame.stream);
        onGuiThread = onGuiThread || QThread::currentThread() == QCoreApplication::instance()->thread();
    });
    source.open(configured("Ball", "videotestsrc pattern=ball is-live=true ! video/x-raw,width=32,height=24,framerate=30/1"));
    ASSERT_TRUE(settled(source));
    ASSERT_EQ(source.state(), LiveSource::State::Running) << source.statusText().toStdString();
    EXPECT_EQ(source.statusText(), "Connected to Ball");

    // The newest frame can be waited for from a thread of the caller's own.
    std::uint64_t seen = 0;
    for (int i = 0; i < 5; ++i) {
        const LiveSource::Frame frame = source.waitNewer(seen, 5s);
        ASSERT_GT(frame.number, seen);
        seen = frame.number;
    }
    source.close();
    std::lock_guard lock(mutex);
    ASSERT_GE(arrivals.size(), 4u);
    for (std::size_t i = 1; i < arrivals.size(); ++i)
        EXPECT_GT(arrivals[i], arrivals[i - 1]);
    for (const std::uint64_t stream : streams)
        EXPECT_EQ(stream, source.stream());
    EXPECT_FALSE(onGuiThread);
}

TEST(LiveSource, FailedFirstConnectionStopsWithTheReason)
{
    LiveSource source;
    source.open(configured("Gone", "filesrc location=/no/such/clip.avi ! decodebin"));
    ASSERT_TRUE(settled(source));
    EXPECT_EQ(source.state(), LiveSource::State::Stopped);
    EXPECT_TRUE(source.statusText().startsWith("Gone: ")) << source.statusText().toStdString();
    EXPECT_FALSE(source.failure().empty());
    EXPECT_EQ(source.newest().number, 0u);
}
