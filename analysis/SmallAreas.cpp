#include "SmallAreas.h"

#include <algorithm>

#include "Popcount.h"

namespace analysis {

std::int64_t BitPlane::count() const
{
    return countBits(bits.data(), bits.size());
}

namespace {

// A band of the plane's rows and words, copied into a block with rows and words of zeros
// around it, so that every step reads its neighbours without a look at the edges. The
// block holds the band word by word down its rows: the changes of most cycles cover a
// few words of many rows, and each step then runs down long columns in tight loops.
class Band {
public:
    Band(std::vector<std::uint64_t>& block, int top, int bottom, Span words, int padRows)
        : block_(block), top_(top), rows_(bottom - top), first_(words.first), words_(words.last - words.first),
          stride_(bottom - top + 2 * padRows), pad_(padRows)
    {
        block_.assign(static_cast<std::size_t>((words_ + 2) * stride_), 0);
    }

    int rows() const { return rows_; }
    int words() const { return words_; }
    // Word column c of the band (-1 <= c <= words(); the outer two are zeros), indexed by
    // row r (-padRows <= r < rows + padRows; the rows outside the band are zeros).
    std::uint64_t* column(int c) { return block_.data() + static_cast<std::ptrdiff_t>((c + 1) * stride_ + pad_); }

    void load(const BitPlane& plane, const RowSpan& r)
    {
        const std::uint64_t* from = plane.row(r.y);
        for (int i = r.span.first; i < r.span.last; ++i)
            column(i - first_)[r.y - top_] = from[i];
    }

    void keepIn(BitPlane& plane, const RowSpan& r)
    {
        std::uint64_t* to = plane.row(r.y);
        for (int i = r.span.first; i < r.span.last; ++i)
            to[i] &= column(i - first_)[r.y - top_];
    }

private:
    std::vector<std::uint64_t>& block_;
    int top_, rows_, first_, words_, stride_, pad_;
};

// Marks the pixels where at least 5 of the 3 x 3 neighbourhood are set, in place, column
// by column. `lastWord` masks the band's last word (bits past the frame's width).
void majority(Band& band, std::vector<std::uint64_t>& counts, std::uint64_t lastWord)
{
    const int rows = band.rows(), words = band.words();
    // The 2-bit count (low, high) of each pixel and its two neighbours across, for rows
    // -1 .. rows, and the column to the left as it was before it was replaced.
    const auto length = static_cast<std::size_t>(rows + 2);
    counts.assign(3 * length, 0);
    std::uint64_t* low = counts.data() + 1;
    std::uint64_t* high = low + length;
    std::uint64_t* before = high + length;
    std::copy(band.column(-1) - 1, band.column(-1) + rows + 1, before - 1);
    for (int c = 0; c < words; ++c) {
        std::uint64_t* here = band.column(c);
        const std::uint64_t* right = band.column(c + 1);
        for (int r = -1; r <= rows; ++r) {
            const std::uint64_t a = (here[r] << 1) | (before[r] >> 63), b = here[r];
            const std::uint64_t d = (here[r] >> 1) | (right[r] << 63);
            low[r] = a ^ b ^ d;
            high[r] = (a & b) | (d & (a ^ b));
        }
        std::copy(here - 1, here + rows + 1, before - 1);
        const std::uint64_t mask = c == words - 1 ? lastWord : ~std::uint64_t(0);
        for (int r = 0; r < rows; ++r) {
            // The sum of three 2-bit counts as bits of weight 1, 2, 4 and 8.
            const std::uint64_t l0 = low[r - 1], l1 = low[r], l2 = low[r + 1];
            const std::uint64_t h0 = high[r - 1], h1 = high[r], h2 = high[r + 1];
            const std::uint64_t s1 = l0 ^ l1 ^ l2, c1 = (l0 & l1) | (l2 & (l0 ^ l1));
            const std::uint64_t t2 = h0 ^ h1 ^ h2, c2 = (h0 & h1) | (h2 & (h0 ^ h1));
            const std::uint64_t s2 = t2 ^ c1, c3 = t2 & c1;
            const std::uint64_t s4 = c2 ^ c3, s8 = c2 & c3;
            // At least 5 of 9: 8, or 4 with 1 or 2.
            here[r] = (s8 | (s4 & (s1 | s2))) & mask;
        }
    }
}

// An opening by a size x size square, in place: keeps exactly the pixels that lie in some
// size x size square of set pixels. Erosion anchored at the square's top-left pixel
// (across, then down), dilation by the mirrored square (down, then across). Each step
// runs in the direction that reads only words it has not yet written.
void openBy(Band& band, int size)
{
    const int words = band.words(), rows = band.rows();
    for (int c = 0; c < words; ++c) {
        std::uint64_t* here = band.column(c);
        const std::uint64_t* next = band.column(c + 1);
        for (int r = 0; r < rows; ++r) {
            std::uint64_t kept = here[r];
            for (int k = 1; k < size; ++k)
                kept &= (here[r] >> k) | (next[r] << (64 - k));
            here[r] = kept;
        }
    }
    for (int c = 0; c < words; ++c) {
        std::uint64_t* here = band.column(c);
        for (int r = 0; r < rows; ++r)
            for (int k = 1; k < size; ++k)
                here[r] &= here[r + k];
        for (int r = rows - 1; r >= 0; --r)
            for (int k = 1; k < size; ++k)
                here[r] |= here[r - k];
    }
    // The erosion cleared the last size - 1 columns, so the look behind never carries
    // bits past the width.
    for (int c = words - 1; c >= 0; --c) {
        std::uint64_t* here = band.column(c);
        const std::uint64_t* before = band.column(c - 1);
        for (int r = 0; r < rows; ++r) {
            std::uint64_t kept = here[r];
            for (int k = 1; k < size; ++k)
                kept |= (here[r] << k) | (before[r] >> (64 - k));
            here[r] = kept;
        }
    }
}

} // namespace

void removeSpecks(BitPlane& plane, const std::vector<RowSpan>& rows, int size, SpeckWork& work)
{
    if (size < 2 || plane.height == 0)
        return;
    // A changed row reaches a row either side through the majority, and size - 1 rows
    // down and up through the opening: rows further apart than that make separate bands.
    const int reach = size + 1;
    const std::uint64_t lastWord = plane.width % 64 ? (std::uint64_t(1) << (plane.width % 64)) - 1 : ~std::uint64_t(0);
    for (std::size_t first = 0, next = 0; first < rows.size(); first = next) {
        const int top = std::max(0, rows[first].y - 1);
        int bottom = std::min(plane.height, rows[first].y + 2);
        Span hull = rows[first].span;
        for (next = first + 1; next < rows.size() && rows[next].y - rows[next - 1].y <= 2 * reach; ++next) {
            bottom = std::min(plane.height, rows[next].y + 2);
            hull = {std::min(hull.first, rows[next].span.first), std::max(hull.last, rows[next].span.last)};
        }
        // A pixel outside the words of the spans has at most 3 changed neighbours, so no
        // step keeps one there: the band's words are those of its rows' spans.
        Band band(work.block, top, bottom, hull, size);
        for (std::size_t i = first; i < next; ++i)
            band.load(plane, rows[i]);
        // Where most of a pixel's neighbourhood changed lies an area, however noisy its
        // pixels; what is left after an opening of those areas is wide enough to count.
        majority(band, work.counts, hull.last == plane.words ? lastWord : ~std::uint64_t(0));
        openBy(band, size);
        for (std::size_t i = first; i < next; ++i)
            band.keepIn(plane, rows[i]);
    }
}

} // namespace analysis
