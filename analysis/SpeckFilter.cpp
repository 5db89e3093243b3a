#include "SpeckFilter.h"

#include <algorithm>

#include "Popcount.h"

namespace analysis {

std::int64_t BitPlane::count() const
{
    return countBits(bits.data(), bits.size());
}

namespace {

// Rows that hold a set bit; the steps visit only these and their neighbours, as in most
// cycles most rows hold nothing.
using Filled = std::vector<char>;

bool emptyRow(const std::uint64_t* row, int words)
{
    for (int i = 0; i < words; ++i)
        if (row[i])
            return false;
    return true;
}

// out = row & (row looked k pixels ahead), or | (row looked k pixels behind); k in 1..63.
void andAhead(const std::uint64_t* row, std::uint64_t* out, int words, int k)
{
    for (int i = 0; i + 1 < words; ++i)
        out[i] &= (row[i] >> k) | (row[i + 1] << (64 - k));
    out[words - 1] &= row[words - 1] >> k;
}

void orBehind(const std::uint64_t* row, std::uint64_t* out, int words, int k)
{
    out[0] |= row[0] << k;
    for (int i = 1; i < words; ++i)
        out[i] |= (row[i] << k) | (row[i - 1] >> (64 - k));
}

// The 2-bit count (low, high) of each pixel of a row and its two neighbours across.
void across(const std::uint64_t* row, int words, std::uint64_t* low, std::uint64_t* high)
{
    for (int i = 0; i < words; ++i) {
        const std::uint64_t a = (row[i] << 1) | (i > 0 ? row[i - 1] >> 63 : 0), b = row[i];
        const std::uint64_t c = (row[i] >> 1) | (i + 1 < words ? row[i + 1] << 63 : 0);
        low[i] = a ^ b ^ c;
        high[i] = (a & b) | (c & (a ^ b));
    }
}

// Marks the pixels where at least 5 of the 3 x 3 neighbourhood are set.
void majority(const BitPlane& plane, const Filled& filled, BitPlane& out, Filled& outFilled,
              std::vector<std::uint64_t>& sums)
{
    const int words = plane.words, height = plane.height;
    const auto w = static_cast<std::size_t>(words);
    sums.assign(6 * w, 0); // low and high counts of the rows above, at and below
    auto low = [&](int y) { return sums.data() + 2 * w * static_cast<std::size_t>((y + 3) % 3); };
    auto high = [&](int y) { return low(y) + w; };
    auto isFilled = [&](int y) { return y >= 0 && y < height && filled[static_cast<std::size_t>(y)]; };
    auto take = [&](int y) {
        if (isFilled(y))
            across(plane.row(y), words, low(y), high(y));
        else
            std::fill(low(y), low(y) + 2 * w, 0);
    };
    const std::uint64_t lastWord = plane.width % 64 ? (std::uint64_t(1) << (plane.width % 64)) - 1 : ~std::uint64_t(0);
    take(-1);
    take(0);
    for (int y = 0; y < height; ++y) {
        take(y + 1);
        std::uint64_t* result = out.row(y);
        outFilled[static_cast<std::size_t>(y)] = isFilled(y - 1) || isFilled(y) || isFilled(y + 1);
        if (!outFilled[static_cast<std::size_t>(y)])
            continue;
        const std::uint64_t *l0 = low(y - 1), *h0 = high(y - 1), *l1 = low(y), *h1 = high(y), *l2 = low(y + 1),
                            *h2 = high(y + 1);
        for (std::size_t i = 0; i < w; ++i) {
            // The sum of three 2-bit counts as bits of weight 1, 2, 4 and 8.
            const std::uint64_t s1 = l0[i] ^ l1[i] ^ l2[i], c1 = (l0[i] & l1[i]) | (l2[i] & (l0[i] ^ l1[i]));
            const std::uint64_t t2 = h0[i] ^ h1[i] ^ h2[i], c2 = (h0[i] & h1[i]) | (h2[i] & (h0[i] ^ h1[i]));
            const std::uint64_t s2 = t2 ^ c1, c3 = t2 & c1;
            const std::uint64_t s4 = c2 ^ c3, s8 = c2 & c3;
            // At least 5 of 9: 8, or 4 with 1 or 2.
            result[i] = s8 | (s4 & (s1 | s2));
        }
        result[words - 1] &= lastWord;
    }
}

// An opening by a size x size square: keeps exactly the pixels that lie in some
// size x size square of set pixels. Erosion anchored at the square's top-left pixel
// (across, then down), dilation by the mirrored square (down, then across).
void openBy(BitPlane& plane, Filled& filled, int size, BitPlane& scratch, Filled& scratchFilled)
{
    const int words = plane.words, height = plane.height;
    auto at = [](int y) { return static_cast<std::size_t>(y); };
    for (int y = 0; y < height; ++y) {
        std::uint64_t* out = scratch.row(y);
        scratchFilled[at(y)] = filled[at(y)];
        if (!filled[at(y)])
            continue;
        const std::uint64_t* in = plane.row(y);
        std::copy(in, in + words, out);
        for (int k = 1; k < size; ++k)
            andAhead(in, out, words, k);
    }
    for (int y = 0; y < height; ++y) {
        std::uint64_t* out = plane.row(y);
        bool all = y + size <= height;
        for (int k = 0; k < size && all; ++k)
            all = scratchFilled[at(y + k)];
        filled[at(y)] = all;
        if (!all)
            continue;
        std::copy(scratch.row(y), scratch.row(y) + words, out);
        for (int k = 1; k < size; ++k) {
            const std::uint64_t* below = scratch.row(y + k);
            for (int i = 0; i < words; ++i)
                out[i] &= below[i];
        }
    }
    for (int y = 0; y < height; ++y) {
        std::uint64_t* out = scratch.row(y);
        bool any = false;
        for (int k = 0; k < size && k <= y; ++k) {
            if (!filled[at(y - k)])
                continue;
            const std::uint64_t* above = plane.row(y - k);
            if (any) {
                for (int i = 0; i < words; ++i)
                    out[i] |= above[i];
            } else {
                std::copy(above, above + words, out);
                any = true;
            }
        }
        scratchFilled[at(y)] = any;
    }
    // The erosion cleared the last size - 1 columns, so the look behind never carries
    // bits past the width.
    for (int y = 0; y < height; ++y) {
        std::uint64_t* out = plane.row(y);
        filled[at(y)] = scratchFilled[at(y)];
        if (!scratchFilled[at(y)])
            continue;
        const std::uint64_t* in = scratch.row(y);
        std::copy(in, in + words, out);
        for (int k = 1; k < size; ++k)
            orBehind(in, out, words, k);
    }
}

} // namespace

void removeSpecks(BitPlane& plane, const std::vector<int>& rows, int size, BitPlane& region, BitPlane& scratch,
                  std::vector<std::uint64_t>& sums)
{
    if (size < 2 || plane.height == 0)
        return;
    for (BitPlane* p : {&region, &scratch})
        if (p->width != plane.width || p->height != plane.height)
            p->resize(plane.width, plane.height);
    const auto height = static_cast<std::size_t>(plane.height);
    Filled filled(height), regionFilled(height), scratchFilled(height);
    for (int y : rows)
        filled[static_cast<std::size_t>(y)] = !emptyRow(plane.row(y), plane.words);
    // Where most of a pixel's neighbourhood changed lies an area, however noisy its
    // pixels; what is left after an opening of those areas is wide enough to count.
    majority(plane, filled, region, regionFilled, sums);
    openBy(region, regionFilled, size, scratch, scratchFilled);
    for (int y : rows) {
        std::uint64_t* p = plane.row(y);
        if (!regionFilled[static_cast<std::size_t>(y)]) {
            std::fill(p, p + plane.words, 0);
            continue;
        }
        const std::uint64_t* r = region.row(y);
        for (int i = 0; i < plane.words; ++i)
            p[i] &= r[i];
    }
}

} // namespace analysis
