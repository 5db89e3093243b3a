#include <chrono>
#include <vector>

#include <gtest/gtest.h>

#include "EventTracker.h"

using namespace events;
using std::chrono::milliseconds;

namespace {

TimePoint at(int ms)
{
    return fromMilliseconds(1'800'000'000'000 + ms);
}

// The clock that never steps, as the tracker reads it: set by each cycle made below.
Instant steadyTime{};
Instant tick(int ms)
{
    return Instant(milliseconds(5'000'000 + ms));
}
Instant fakeClock()
{
    return steadyTime;
}

// A cycle taken at `ms` on both clocks, or with the wall clock at `wallMs` when it differs.
CycleSummary cycle(int ms, bool moving, bool confirmed, std::int64_t changed = 0,
                   std::optional<analysis::Point> centre = std::nullopt, std::optional<int> wallMs = std::nullopt)
{
    steadyTime = tick(ms);
    CycleSummary s;
    s.time = at(wallMs.value_or(ms));
    s.moving = moving;
    s.confirmed = confirmed;
    s.changed = changed;
    s.percent = double(changed) / 100;
    s.centre = centre;
    // A centre is measured against the frame's size.
    if (centre)
        s.frame = std::make_shared<const analysis::Bitmap>(100, 100, analysis::PixelFormat::Bgr24);
    return s;
}

} // namespace

TEST(EventTracker, StartsAtFirstConfirmedMovementAndEndsAfterQuietGap)
{
    EventTracker tracker(milliseconds(1000), fakeClock);
    EXPECT_FALSE(tracker.cycle(cycle(0, true, false, 50)).started) << "unconfirmed movement starts nothing";
    EXPECT_FALSE(tracker.cycle(cycle(100, false, false)).started);
    EXPECT_TRUE(tracker.cycle(cycle(200, true, true, 70, analysis::Point{3, 4})).started);
    EXPECT_FALSE(tracker.cycle(cycle(300, false, false)).ended);
    EXPECT_FALSE(tracker.cycle(cycle(900, true, false, 90, analysis::Point{5, 6})).ended)
        << "an unconfirmed moving cycle still keeps the event going";
    EXPECT_FALSE(tracker.cycle(cycle(1899, false, false)).ended) << "999 ms without movement";
    ASSERT_EQ(tracker.deadline(), tick(1900));
    EXPECT_FALSE(tracker.advance(tick(1899)).ended);
    EXPECT_TRUE(tracker.advance(tick(1900)).ended);
    EXPECT_FALSE(tracker.open());

    const Event& e = tracker.ended();
    EXPECT_TRUE(e.ended);
    EXPECT_EQ(e.start, at(200));
    EXPECT_EQ(e.end, at(900)) << "the event ends with its last moving cycle";
    EXPECT_EQ(e.movingCycles, 2);
    EXPECT_EQ(e.peakCount, 90);
    EXPECT_DOUBLE_EQ(e.peakPercent, 0.9);
    EXPECT_EQ(e.path, (std::vector<PathPoint>{{0.035f, 0.045f}, {0.055f, 0.065f}})) << "pixel centres in fractions";
}

TEST(EventTracker, CycleAfterTheGapEndsOneEventAndStartsTheNext)
{
    EventTracker tracker(milliseconds(500), fakeClock);
    tracker.cycle(cycle(0, true, true, 10));
    const EventTracker::Change change = tracker.cycle(cycle(2000, true, true, 20));
    EXPECT_TRUE(change.ended);
    EXPECT_TRUE(change.started);
    EXPECT_EQ(tracker.ended().start, at(0));
    EXPECT_EQ(tracker.ended().movingCycles, 1);
    EXPECT_EQ(tracker.current().start, at(2000));
    EXPECT_EQ(tracker.current().peakCount, 20);

    // A quiet cycle after the gap only ends.
    const EventTracker::Change quiet = tracker.cycle(cycle(5000, false, false));
    EXPECT_TRUE(quiet.ended);
    EXPECT_FALSE(quiet.started);
    EXPECT_FALSE(tracker.finish().ended) << "nothing left to finish";
}

TEST(EventTracker, KeepsTheBusiestFrameAndFinishesOnClose)
{
    EventTracker tracker(milliseconds(10'000), fakeClock);
    const auto small = std::make_shared<const analysis::Bitmap>(2, 2, analysis::PixelFormat::Bgr24);
    const auto busy = std::make_shared<const analysis::Bitmap>(4, 3, analysis::PixelFormat::Bgr24);
    auto withFrame = [](CycleSummary s, std::shared_ptr<const analysis::Bitmap> frame) {
        s.frame = std::move(frame);
        return s;
    };
    tracker.cycle(withFrame(cycle(0, true, true, 5), small));
    tracker.cycle(withFrame(cycle(100, true, true, 500), busy));
    tracker.cycle(withFrame(cycle(200, true, true, 400), small));
    EXPECT_EQ(tracker.peakFrame(), busy) << "held, not copied";

    EXPECT_TRUE(tracker.finish().ended);
    EXPECT_EQ(tracker.endedPeakFrame(), busy);
    EXPECT_EQ(tracker.ended().end, at(200));
    EXPECT_EQ(tracker.ended().peakCount, 500);
}

TEST(EventTracker, ASourceTakingANewFormatDoesNotEndTheEvent)
{
    EventTracker tracker(milliseconds(1000), fakeClock);
    tracker.cycle(cycle(0, true, true, 70));
    // The source stopped from 500 to 3000 ms: the quiet gap counts from its return.
    tracker.heldUntil(tick(3000));
    EXPECT_FALSE(tracker.cycle(cycle(3100, false, false)).ended) << "the first frame after it only sets the reference";
    EXPECT_EQ(tracker.deadline(), tick(4000));
    EXPECT_FALSE(tracker.cycle(cycle(3500, true, true, 80)).started) << "the same event goes on";
    EXPECT_TRUE(tracker.advance(tick(4500)).ended);
    EXPECT_EQ(tracker.ended().end, at(3500)) << "the event still ends with its last moving cycle";
    EXPECT_EQ(tracker.ended().movingCycles, 2);

    tracker.cycle(cycle(9000, true, true, 70));
    EXPECT_EQ(tracker.deadline(), tick(10000)) << "a hold belongs to its own event";
}

TEST(EventTracker, TheWallClockSteppingDoesNotStretchOrShortenAnEvent)
{
    struct Step {
        const char* what;
        int wallStepMs; // how far the wall clock jumps after the first moving cycle
    };
    for (const Step& step : {Step{"set back an hour", -3'600'000}, Step{"set forward an hour", 3'600'000}}) {
        EventTracker tracker(milliseconds(10'000), fakeClock);
        ASSERT_TRUE(tracker.cycle(cycle(0, true, true, 70, {}, 0)).started) << step.what;
        // The clock is stepped: every later cycle's wall time is off by the step.
        for (int ms = 1000; ms <= 40'000; ms += 1000)
            EXPECT_FALSE(tracker.cycle(cycle(ms, true, true, 70, {}, ms + step.wallStepMs)).ended) << step.what;
        EXPECT_FALSE(tracker.advance(tick(49'999)).ended) << step.what;
        ASSERT_TRUE(tracker.advance(tick(50'000)).ended) << step.what << ": ten seconds after the last movement";
        EXPECT_EQ(tracker.ended().start, at(0)) << step.what;
        EXPECT_EQ(tracker.ended().end - tracker.ended().start, milliseconds(40'000))
            << step.what << ": it lasted as long as it moved";

        // A burst after the gap is an event of its own.
        EXPECT_TRUE(tracker.cycle(cycle(60'000, true, true, 70, {}, 60'000 + step.wallStepMs)).started) << step.what;
        EXPECT_EQ(tracker.current().start, at(60'000 + step.wallStepMs)) << step.what << ": shown as the wall clock says";
    }
}

TEST(EventTracker, ALongEventKeepsABoundedEvenlySpreadPathWithItsFirstAndNewestPoint)
{
    EventTracker tracker(milliseconds(10'000));
    // One pixel further right each cycle, on a frame wide enough for all of them.
    const auto wide = std::make_shared<const analysis::Bitmap>(20'000, 1, analysis::PixelFormat::Bgr24);
    const auto pointAt = [](int cycle) { return float((cycle + 0.5) / 20'000); };
    for (int i = 0; i < 20'000; ++i) {
        CycleSummary s = cycle(i, true, true, 10, analysis::Point{i, 0});
        s.frame = wide;
        tracker.cycle(s);
        const std::vector<PathPoint>& path = tracker.current().path;
        ASSERT_LE(path.size(), maxPathPoints) << "after cycle " << i;
        ASSERT_EQ(path.front().x, pointAt(0)) << "after cycle " << i;
        ASSERT_EQ(path.back().x, pointAt(i)) << "the newest point, after cycle " << i;
    }
    const std::vector<PathPoint> path = tracker.current().path;
    EXPECT_GE(path.size(), maxPathPoints / 2);
    // Apart from the newest, the points lie one stride of cycles apart.
    const float stride = path[1].x - path[0].x;
    for (std::size_t i = 1; i + 1 < path.size(); ++i)
        EXPECT_NEAR(path[i].x - path[i - 1].x, stride, 1e-6) << "point " << i;
    EXPECT_TRUE(tracker.finish().ended);
    EXPECT_EQ(tracker.ended().path, path);

    tracker.cycle(cycle(30'000, true, true, 10, analysis::Point{50, 50}));
    EXPECT_EQ(tracker.current().path, (std::vector<PathPoint>{{0.505f, 0.505f}})) << "the next event starts anew";
}
