#pragma once

#include <cstddef>
#include <vector>

#include "BitPlane.h"

namespace analysis {

// The speck removal's working space, kept from cycle to cycle so that no cycle allocates.
struct SpeckWork {
    std::vector<std::uint64_t> block; // one band of rows, the words its spans cover
    std::vector<std::uint64_t> counts;

    std::size_t bytes() const { return (block.capacity() + counts.capacity()) * sizeof(std::uint64_t); }
};

// Removes specks. The changed areas are where at least 5 of a pixel's 3 x 3 neighbourhood
// changed (so the noise inside a real area does not break it up); of those, an opening by
// a size x size square keeps the parts that are at least size pixels wide both ways. The
// pixels of `plane` outside what is kept are cleared. Lone pixels, thin streaks, sparse
// noise and small blobs go. Sizes below 2 leave the plane as it is.
// Only the rows listed in `rows` (in ascending order), and of each only the words of its
// span, are read; the rest counts as empty, whatever it holds. On return those words hold
// what was kept.
void removeSpecks(BitPlane& plane, const std::vector<RowSpan>& rows, int size, SpeckWork& work);

} // namespace analysis
