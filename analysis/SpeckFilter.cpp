#include "SpeckFilter.h"

#include <algorithm>

#include "Popcount.h"

namespace analysis {

std::int64_t BitPlane::count() const
{
    return countBits(bits.data(), bits.size());
}

std::size_t SpeckWork::bytes() const
{
    return (region.bits.capacity() + scratch.bits.capacity() + sums.capacity()) * sizeof(std::uint64_t) +
           (regionSpans.capacity() + scratchSpans.capacity()) * sizeof(Span) +
           bands.capacity() * sizeof(bands[0]);
}

namespace {

// Every step visits only the spans of the rows it reads, and reads a word outside a span as
// 0, as the words there are left from earlier cycles.
inline std::uint64_t wordAt(const std::uint64_t* row, Span span, int i)
{
    return i >= span.first && i < span.last ? row[i] : 0;
}

Span unite(Span a, Span b)
{
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    return {std::min(a.first, b.first), std::max(a.last, b.last)};
}

Span meet(Span a, Span b)
{
    return {std::max(a.first, b.first), std::min(a.last, b.last)};
}

// Narrows a span to the words of `row` that hold a set bit.
Span tighten(const std::uint64_t* row, Span span)
{
    while (span.first < span.last && !row[span.first])
        ++span.first;
    while (span.last > span.first && !row[span.last - 1])
        --span.last;
    return span;
}

// The 2-bit count (low, high) of each pixel of a row and its two neighbours across, for
// the words of `out`, the row's bits lying in `span`.
void across(const std::uint64_t* row, Span span, Span out, std::uint64_t* low, std::uint64_t* high)
{
    for (int i = out.first; i < out.last; ++i) {
        const std::uint64_t b = wordAt(row, span, i);
        const std::uint64_t a = (b << 1) | (wordAt(row, span, i - 1) >> 63);
        const std::uint64_t c = (b >> 1) | (wordAt(row, span, i + 1) << 63);
        low[i] = a ^ b ^ c;
        high[i] = (a & b) | (c & (a ^ b));
    }
}

// The bands of rows [first, last) that hold every row a step may set: the listed rows
// and `margin` rows either side. Most of a frame is still, and its rows cost nothing.
using Bands = std::vector<std::pair<int, int>>;

template <typename Step>
void forEachRow(const Bands& bands, Step step)
{
    for (auto [top, bottom] : bands)
        for (int y = top; y < bottom; ++y)
            step(y);
}

// Marks the pixels where at least 5 of the 3 x 3 neighbourhood are set, in rows [top, bottom).
void majority(const BitPlane& plane, const std::vector<Span>& spans, int top, int bottom, BitPlane& out,
              std::vector<Span>& outSpans, std::vector<std::uint64_t>& sums)
{
    const int words = plane.words, height = plane.height;
    const auto w = static_cast<std::size_t>(words);
    // The low and high counts of the rows above, at and below; each slot is kept 0 outside
    // its span, so that the sum below needs no look at the spans.
    sums.assign(6 * w, 0);
    Span slotSpans[3];
    auto slot = [](int y) { return static_cast<std::size_t>((y + 3) % 3); };
    auto low = [&](int y) { return sums.data() + 2 * w * slot(y); };
    auto high = [&](int y) { return low(y) + w; };
    auto take = [&](int y) {
        Span& s = slotSpans[slot(y)];
        std::fill(low(y) + s.first, low(y) + s.last, 0);
        std::fill(high(y) + s.first, high(y) + s.last, 0);
        s = {};
        const Span in = y >= 0 && y < height ? spans[static_cast<std::size_t>(y)] : Span{};
        if (!in.empty()) {
            s = {std::max(0, in.first - 1), std::min(words, in.last + 1)};
            across(plane.row(y), in, s, low(y), high(y));
        }
    };
    const std::uint64_t lastWord = plane.width % 64 ? (std::uint64_t(1) << (plane.width % 64)) - 1 : ~std::uint64_t(0);
    take(top - 1);
    take(top);
    for (int y = top; y < bottom; ++y) {
        take(y + 1);
        const Span s = unite(unite(slotSpans[slot(y - 1)], slotSpans[slot(y)]), slotSpans[slot(y + 1)]);
        std::uint64_t* result = out.row(y);
        const std::uint64_t *l0 = low(y - 1), *h0 = high(y - 1), *l1 = low(y), *h1 = high(y), *l2 = low(y + 1),
                            *h2 = high(y + 1);
        for (int i = s.first; i < s.last; ++i) {
            // The sum of three 2-bit counts as bits of weight 1, 2, 4 and 8.
            const std::uint64_t s1 = l0[i] ^ l1[i] ^ l2[i], c1 = (l0[i] & l1[i]) | (l2[i] & (l0[i] ^ l1[i]));
            const std::uint64_t t2 = h0[i] ^ h1[i] ^ h2[i], c2 = (h0[i] & h1[i]) | (h2[i] & (h0[i] ^ h1[i]));
            const std::uint64_t s2 = t2 ^ c1, c3 = t2 & c1;
            const std::uint64_t s4 = c2 ^ c3, s8 = c2 & c3;
            // At least 5 of 9: 8, or 4 with 1 or 2.
            result[i] = s8 | (s4 & (s1 | s2));
        }
        if (s.last == words)
            result[words - 1] &= lastWord;
        outSpans[static_cast<std::size_t>(y)] = tighten(result, s);
    }
}

// An opening by a size x size square: keeps exactly the pixels that lie in some
// size x size square of set pixels. Erosion anchored at the square's top-left pixel
// (across, then down), dilation by the mirrored square (down, then across).
void openBy(BitPlane& plane, std::vector<Span>& spans, const Bands& bands, int size, BitPlane& scratch,
            std::vector<Span>& scratchSpans)
{
    const int words = plane.words, height = plane.height;
    auto at = [](int y) { return static_cast<std::size_t>(y); };
    forEachRow(bands, [&](int y) {
        const Span s = spans[at(y)];
        if (s.empty()) {
            scratchSpans[at(y)] = s;
            return;
        }
        const std::uint64_t* in = plane.row(y);
        std::uint64_t* out = scratch.row(y);
        for (int i = s.first; i < s.last; ++i) {
            const std::uint64_t here = in[i], next = wordAt(in, s, i + 1);
            std::uint64_t kept = here;
            for (int k = 1; k < size; ++k)
                kept &= (here >> k) | (next << (64 - k));
            out[i] = kept;
        }
        scratchSpans[at(y)] = tighten(out, s);
    });
    forEachRow(bands, [&](int y) {
        Span s = y + size <= height ? scratchSpans[at(y)] : Span{};
        for (int k = 1; k < size && !s.empty(); ++k)
            s = meet(s, scratchSpans[at(y + k)]);
        if (!s.empty()) {
            std::uint64_t* out = plane.row(y);
            std::copy(scratch.row(y) + s.first, scratch.row(y) + s.last, out + s.first);
            for (int k = 1; k < size; ++k) {
                const std::uint64_t* below = scratch.row(y + k);
                for (int i = s.first; i < s.last; ++i)
                    out[i] &= below[i];
            }
            s = tighten(out, s);
        }
        spans[at(y)] = s;
    });
    forEachRow(bands, [&](int y) {
        Span s{};
        for (int k = 0; k < size && k <= y; ++k)
            s = unite(s, spans[at(y - k)]);
        scratchSpans[at(y)] = s;
        if (s.empty())
            return;
        std::uint64_t* out = scratch.row(y);
        std::fill(out + s.first, out + s.last, 0);
        for (int k = 0; k < size && k <= y; ++k) {
            const Span above = spans[at(y - k)];
            const std::uint64_t* in = plane.row(y - k);
            for (int i = above.first; i < above.last; ++i)
                out[i] |= in[i];
        }
    });
    // The erosion cleared the last size - 1 columns, so the look behind never carries
    // bits past the width.
    forEachRow(bands, [&](int y) {
        const Span s = scratchSpans[at(y)];
        if (s.empty()) {
            spans[at(y)] = s;
            return;
        }
        const Span grown{s.first, std::min(words, s.last + 1)};
        const std::uint64_t* in = scratch.row(y);
        std::uint64_t* out = plane.row(y);
        for (int i = grown.first; i < grown.last; ++i) {
            const std::uint64_t here = wordAt(in, s, i), before = wordAt(in, s, i - 1);
            std::uint64_t kept = here;
            for (int k = 1; k < size; ++k)
                kept |= (here << k) | (before >> (64 - k));
            out[i] = kept;
        }
        spans[at(y)] = grown;
    });
}

} // namespace

void removeSpecks(BitPlane& plane, const std::vector<RowSpan>& rows, int size, SpeckWork& work)
{
    if (size < 2 || plane.height == 0)
        return;
    for (BitPlane* p : {&work.region, &work.scratch})
        if (p->width != plane.width || p->height != plane.height)
            p->resize(plane.width, plane.height);
    const auto height = static_cast<std::size_t>(plane.height);
    work.regionSpans.assign(height, Span{});
    work.scratchSpans.assign(height, Span{});
    // The majority reaches a row either side, the opening's dilation size - 1 rows down.
    const int margin = size + 1;
    Bands& bands = work.bands;
    bands.clear();
    for (const RowSpan& r : rows) {
        work.scratchSpans[static_cast<std::size_t>(r.y)] = r.span;
        const int top = std::max(0, r.y - margin), bottom = std::min(plane.height, r.y + margin + 1);
        if (!bands.empty() && top <= bands.back().second)
            bands.back().second = std::max(bands.back().second, bottom);
        else
            bands.emplace_back(top, bottom);
    }
    // Where most of a pixel's neighbourhood changed lies an area, however noisy its
    // pixels; what is left after an opening of those areas is wide enough to count.
    for (auto [top, bottom] : bands)
        majority(plane, work.scratchSpans, top, bottom, work.region, work.regionSpans, work.sums);
    openBy(work.region, work.regionSpans, bands, size, work.scratch, work.scratchSpans);
    for (const RowSpan& r : rows) {
        std::uint64_t* p = plane.row(r.y);
        const std::uint64_t* kept = work.region.row(r.y);
        const Span keptSpan = work.regionSpans[static_cast<std::size_t>(r.y)];
        for (int i = r.span.first; i < r.span.last; ++i)
            p[i] &= wordAt(kept, keptSpan, i);
    }
}

} // namespace analysis
