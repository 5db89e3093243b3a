#include "NoiseTiles.h"

#include <algorithm>
#include <cmath>

namespace analysis {

void NoiseTiles::resize(int width, int height)
{
    // Widths in whole runs of 32 pixels, the row kernel's step, so that each step has one threshold.
    tileWidth_ = std::max(32, ((width + 15) / 16 + 31) / 32 * 32);
    tileHeight_ = std::max(1, (height + 11) / 12);
    columns_ = (width + tileWidth_ - 1) / tileWidth_;
    rows_ = (height + tileHeight_ - 1) / tileHeight_;
    levels_.assign(static_cast<std::size_t>(columns_ * rows_), -1.0);
}

std::uint8_t NoiseTiles::threshold(int column, int row, std::uint8_t threshold, double factor) const
{
    const double noise = levels_[index(column, row)];
    if (noise < 0)
        return threshold;
    return static_cast<std::uint8_t>(std::clamp(std::ceil(factor * noise), double(threshold), 255.0));
}

void NoiseTiles::learn(int column, int row, std::uint64_t sum, std::int64_t pixels)
{
    if (pixels <= 0)
        return;
    const double measured = double(sum) / double(pixels);
    double& level = levels_[index(column, row)];
    // Rising noise (the light went down) is taken quickly so it stops counting soon;
    // falling noise slowly, so one lucky cycle does not lower the guard.
    if (level < 0)
        level = measured;
    else
        level += (measured > level ? 0.3 : 0.1) * (measured - level);
}

} // namespace analysis
