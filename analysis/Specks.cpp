#include "Specks.h"

#include <bit>

namespace analysis {

std::int64_t BitPlane::count() const
{
    std::int64_t n = 0;
    for (std::uint64_t w : bits)
        n += std::popcount(w);
    return n;
}

namespace {

// Bit x of the result is bit x + k of the row (k in 1..63): a look k pixels to the right.
inline std::uint64_t ahead(const std::uint64_t* row, int i, int words, int k)
{
    const std::uint64_t next = i + 1 < words ? row[i + 1] : 0;
    return (row[i] >> k) | (next << (64 - k));
}

// Bit x of the result is bit x - k of the row: a look k pixels to the left.
inline std::uint64_t behind(const std::uint64_t* row, int i, int k)
{
    const std::uint64_t previous = i > 0 ? row[i - 1] : 0;
    return (row[i] << k) | (previous >> (64 - k));
}

} // namespace

void removeSpecks(BitPlane& plane, int size, BitPlane& scratch)
{
    if (size < 2 || plane.height == 0)
        return;
    const int words = plane.words, height = plane.height;
    if (scratch.width != plane.width || scratch.height != height)
        scratch.resize(plane.width, height);

    // Erosion, anchored at the square's top-left pixel: across, then down.
    for (int y = 0; y < height; ++y) {
        const std::uint64_t* in = plane.row(y);
        std::uint64_t* out = scratch.row(y);
        for (int i = 0; i < words; ++i) {
            std::uint64_t w = in[i];
            for (int k = 1; k < size; ++k)
                w &= ahead(in, i, words, k);
            out[i] = w;
        }
    }
    for (int y = 0; y < height; ++y) {
        std::uint64_t* out = plane.row(y);
        if (y + size > height) {
            for (int i = 0; i < words; ++i)
                out[i] = 0;
            continue;
        }
        for (int i = 0; i < words; ++i) {
            std::uint64_t w = scratch.row(y)[i];
            for (int k = 1; k < size; ++k)
                w &= scratch.row(y + k)[i];
            out[i] = w;
        }
    }
    // Dilation by the mirrored square: down, then across.
    for (int y = 0; y < height; ++y) {
        std::uint64_t* out = scratch.row(y);
        for (int i = 0; i < words; ++i) {
            std::uint64_t w = plane.row(y)[i];
            for (int k = 1; k < size && k <= y; ++k)
                w |= plane.row(y - k)[i];
            out[i] = w;
        }
    }
    // The erosion cleared the last size - 1 columns, so the look behind never carries
    // bits past the width.
    for (int y = 0; y < height; ++y) {
        const std::uint64_t* in = scratch.row(y);
        std::uint64_t* out = plane.row(y);
        for (int i = 0; i < words; ++i) {
            std::uint64_t w = in[i];
            for (int k = 1; k < size; ++k)
                w |= behind(in, i, k);
            out[i] = w;
        }
    }
}

} // namespace analysis
