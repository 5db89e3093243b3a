#include "SpeckFilter.h"

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
// changes of most cycles cover a small part of the frame, so the bands are small.
class Band {
public:
    Band(std::vector<std::uint64_t>& block, int top, int bottom, Span words, int padRows)
        : block_(block), top_(top), rows_(bottom - top), words_(words), stride_(words.last - words.first + 2),
          pad_(padRows)
    {
        block_.assign(static_cast<std::size_t>((rows_ + 2 * pad_) * stride_), 0);
    }

    int rows() const { return rows_; }
    int words() const { return stride_ - 2; }
    // Row r of the band (-padRows <= r < rows + padRows); words -1 and words() are zeros.
    std::uint64_t* row(int r) { return block_.data() + static_cast<std::ptrdiff_t>((r + pad_) * stride_ + 1); }

    void load(const BitPlane& plane, const RowSpan& r)
    {
        const std::uint64_t* from = plane.row(r.y);
        std::copy(from + r.span.first, from + r.span.last, row(r.y - top_) + (r.span.first - words_.first));
    }

    void keepIn(BitPlane& plane, const RowSpan& r)
    {
        std::uint64_t* to = plane.row(r.y);
        const std::uint64_t* kept = row(r.y - top_) - words_.first;
        for (int i = r.span.first; i < r.span.last; ++i)
            to[i] &= kept[i];
    }

private:
    std::vector<std::uint64_t>& block_;
    int top_, rows_;
    Span words_;
    int stride_, pad_;
};

// Marks the pixels where at least 5 of the 3 x 3 neighbourhood are set, in place.
// `lastWord` masks the band's last word (bits past the frame's width).
void majority(Band& band, std::vector<std::uint64_t>& counts, std::uint64_t lastWord)
{
    const int words = band.words();
    const auto w = static_cast<std::size_t>(words);
    counts.assign(6 * w, 0);
    // The 2-bit count (low, high) of each pixel and its two neighbours across, for the rows
    // above, at and below; a row's own words are replaced by the result once the row below
    // has been counted.
    auto low = [&](int r) { return counts.data() + 2 * w * static_cast<std::size_t>((r + 3) % 3); };
    auto high = [&](int r) { return low(r) + w; };
    auto take = [&](int r) {
        const std::uint64_t* in = band.row(r);
        std::uint64_t *l = low(r), *h = high(r);
        for (int i = 0; i < words; ++i) {
            const std::uint64_t a = (in[i] << 1) | (in[i - 1] >> 63), b = in[i], c = (in[i] >> 1) | (in[i + 1] << 63);
            l[i] = a ^ b ^ c;
            h[i] = (a & b) | (c & (a ^ b));
        }
    };
    take(-1);
    take(0);
    for (int r = 0; r < band.rows(); ++r) {
        take(r + 1);
        const std::uint64_t *l0 = low(r - 1), *h0 = high(r - 1), *l1 = low(r), *h1 = high(r), *l2 = low(r + 1),
                            *h2 = high(r + 1);
        std::uint64_t* result = band.row(r);
        for (int i = 0; i < words; ++i) {
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

// An opening by a size x size square, in place: keeps exactly the pixels that lie in some
// size x size square of set pixels. Erosion anchored at the square's top-left pixel
// (across, then down), dilation by the mirrored square (down, then across). Each step
// runs in the direction that reads only words it has not yet written.
void openBy(Band& band, int size)
{
    const int words = band.words(), rows = band.rows();
    for (int r = 0; r < rows; ++r) {
        std::uint64_t* row = band.row(r);
        for (int i = 0; i < words; ++i) {
            const std::uint64_t here = row[i], next = row[i + 1];
            std::uint64_t kept = here;
            for (int k = 1; k < size; ++k)
                kept &= (here >> k) | (next << (64 - k));
            row[i] = kept;
        }
    }
    for (int r = 0; r < rows; ++r) {
        std::uint64_t* row = band.row(r);
        for (int k = 1; k < size; ++k) {
            const std::uint64_t* below = band.row(r + k);
            for (int i = 0; i < words; ++i)
                row[i] &= below[i];
        }
    }
    for (int r = rows - 1; r >= 0; --r) {
        std::uint64_t* row = band.row(r);
        for (int k = 1; k < size; ++k) {
            const std::uint64_t* above = band.row(r - k);
            for (int i = 0; i < words; ++i)
                row[i] |= above[i];
        }
    }
    // The erosion cleared the last size - 1 columns, so the look behind never carries
    // bits past the width.
    for (int r = 0; r < rows; ++r) {
        std::uint64_t* row = band.row(r);
        for (int i = words - 1; i >= 0; --i) {
            const std::uint64_t here = row[i], before = row[i - 1];
            std::uint64_t kept = here;
            for (int k = 1; k < size; ++k)
                kept |= (here << k) | (before >> (64 - k));
            row[i] = kept;
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
