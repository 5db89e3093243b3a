#pragma once

#include <cstdint>
#include <vector>

namespace analysis {

// The noise level of each tile of the frame (about 12 rows of 10 to 16 tiles), learnt from the
// cycles in which the tile was quiet. The level is the mean of min(|d|, 64) over the
// tile's measured pixels, d the (light-compensated) change of a pixel between frames.
class NoiseTiles {
public:
    // Lays tiles over a frame of this size and forgets what was learnt.
    void resize(int width, int height);

    int tileWidth() const { return tileWidth_; } // a multiple of 32
    int tileHeight() const { return tileHeight_; }
    int columns() const { return columns_; }
    int rows() const { return rows_; }

    // The learnt level of a tile, or a negative value before the tile was ever quiet.
    double level(int column, int row) const { return levels_[index(column, row)]; }
    // The threshold a pixel's change must exceed in a tile: max(threshold, factor x level).
    std::uint8_t threshold(int column, int row, std::uint8_t threshold, double factor) const;

    // Takes one cycle's measurement of a tile: the sum of its measured pixels' clipped
    // changes over `pixels` pixels.
    void learn(int column, int row, std::uint64_t sum, std::int64_t pixels);

private:
    std::size_t index(int column, int row) const { return static_cast<std::size_t>(row * columns_ + column); }

    int tileWidth_ = 32, tileHeight_ = 1, columns_ = 0, rows_ = 0;
    std::vector<double> levels_;
};

} // namespace analysis
