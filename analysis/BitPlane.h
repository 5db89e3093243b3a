#pragma once

#include <cstdint>
#include <vector>

namespace analysis {

// One bit per pixel: bit (x % 64) of word x / 64 of a row. Bits past the width stay 0,
// so whole words can be combined, shifted and counted.
struct BitPlane {
    int width = 0;
    int height = 0;
    int words = 0; // per row
    std::vector<std::uint64_t> bits;

    void resize(int w, int h)
    {
        width = w;
        height = h;
        words = (w + 63) / 64;
        bits.assign(static_cast<std::size_t>(words) * static_cast<std::size_t>(h), 0);
    }
    std::uint64_t* row(int y) { return bits.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(words); }
    const std::uint64_t* row(int y) const
    {
        return bits.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(words);
    }
    bool test(int x, int y) const { return (row(y)[x / 64] >> (x % 64)) & 1; }
    std::int64_t count() const;
};

// The words [first, last) of a row outside which it holds no set bit. Most changes cover
// a small part of the frame's width, so the steps after the comparison visit these only.
struct Span {
    int first = 0, last = 0;
    bool empty() const { return first >= last; }
};

struct RowSpan {
    int y = 0;
    Span span;
};

} // namespace analysis
