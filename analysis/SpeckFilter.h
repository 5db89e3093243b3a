#pragma once

#include <vector>

#include "BitPlane.h"

namespace analysis {

// Removes specks. The changed areas are where at least 5 of a pixel's 3 x 3 neighbourhood
// changed (so the noise inside a real area does not break it up); of those, an opening by
// a size x size square keeps the parts that are at least size pixels wide both ways. The
// pixels of `plane` outside what is kept are cleared. Lone pixels, thin streaks, sparse
// noise and small blobs go. `region`, `scratch` and `sums` are working space of any shape. Sizes
// below 2 leave the plane as it is. Only the rows listed in `rows` (in ascending order) are
// read and written; the others count as empty, whatever they hold.
void removeSpecks(BitPlane& plane, const std::vector<int>& rows, int size, BitPlane& region, BitPlane& scratch,
                  std::vector<std::uint64_t>& sums);

} // namespace analysis
