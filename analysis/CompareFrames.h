#pragma once

#include <cstdint>

#include "Bitmap.h"

namespace analysis {

struct Point {
    std::int32_t x = 0;
    std::int32_t y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

// The out-values of one comparison. The sums are x * d and y * d over the pixels that
// brightened (d > 0) or darkened (d < 0); values beyond the 32-bit range saturate.
struct MovementResult {
    std::int32_t BrightCount = 0;
    std::int32_t DarkCount = 0;
    std::int32_t BrightSumX = 0;
    std::int32_t BrightSumY = 0;
    std::int32_t DarkSumX = 0;
    std::int32_t DarkSumY = 0;
    Point Centre; // midway between the weighted centres of the brightened and the darkened pixels
    friend bool operator==(const MovementResult&, const MovementResult&) = default;
};

// Compares two 8-bit gray frames of one size pixel by pixel. A pixel brightened when
// d = later - earlier > threshold and darkened when d < -threshold. The difference
// picture becomes a 24-bit picture of the frames' size: brightened pixels red of level
// (d + 128) mod 256, darkened ones blue of level (-d + 128) mod 256, d == threshold
// silver, every other pixel white. When pixels both brightened and darkened, their
// weighted centres and the point midway between them (`Centre`) are marked on it by
// 10 x 10 squares filled red, dark blue and dark green, outlined black.
// Returns 0 when compared (`Centre` is written only when the markers were drawn), 2 when
// a frame is not 8-bit or the frames' sizes differ; on 2 nothing changes.
int CompareFrames(const Bitmap& earlier, const Bitmap& later, Bitmap& difference, std::uint8_t threshold,
                  MovementResult& result);

} // namespace analysis
