#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace events {

using Clock = std::chrono::system_clock;
using TimePoint = std::chrono::time_point<Clock, std::chrono::milliseconds>;
// A time on a clock that never steps (the wall clock may go back under NTP or by hand):
// what an event's gap, duration and order are counted on.
using Instant = std::chrono::time_point<std::chrono::steady_clock, std::chrono::milliseconds>;

// A point of a frame as a fraction of its width and height (0 left and top, 1 right and
// bottom), so that a path can be laid over any picture of the frame: a thumbnail, a clip.
struct PathPoint {
    float x = 0;
    float y = 0;
    friend bool operator==(const PathPoint&, const PathPoint&) = default;
};

// A stretch of movement: from the first confirmed moving cycle to the last cycle that
// moved before a quiet gap.
struct Event {
    std::int64_t id = 0;          // the log's row; 0 until logged
    TimePoint start{};            // on the wall clock, for display and the log
    TimePoint end{};              // the last moving cycle: `start` and the time it lasted
    bool ended = false;
    bool interrupted = false;     // the program stopped before the event could end
    std::int64_t peakCount = 0;   // changed pixels of the busiest cycle
    double peakPercent = 0;
    int movingCycles = 0;
    // The movement's midway points in the order they came, the first and the newest always
    // among them; a long event keeps every second, fourth ... of the others.
    std::vector<PathPoint> path;
    std::string thumbnail;        // JPEG of the busiest cycle's frame; empty when none
    std::string clip;             // the clip's final name; empty when none is recorded
    std::int64_t clipDroppedFrames = 0; // the source's pictures the clip lacks
    std::string clipLost;         // why the clip was not saved; empty when it was or none was wanted
};

// The most points an event's path keeps.
constexpr std::size_t maxPathPoints = 300;

TimePoint now();
Instant steadyNow();

// "2026-12-07T23:18:50.123+01:00": local time with its offset.
std::string localText(TimePoint time);
// "2026-12-07T22:18:50.123Z".
std::string utcText(TimePoint time);
// "2026-12-07_23-18-50": local date and time as a file name stem.
std::string fileStem(TimePoint time);

std::int64_t toMilliseconds(TimePoint time);
TimePoint fromMilliseconds(std::int64_t milliseconds);

} // namespace events
