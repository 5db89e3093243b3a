#pragma once

#include "BitPlane.h"

namespace analysis {

// Removes specks: an opening of `plane` by a size x size square keeps exactly the pixels
// that lie in some size x size square of set pixels. Lone pixels, thin streaks and
// blobs narrower than `size` go; anything at least that wide in both directions stays
// whole. `scratch` is working space of any shape. Sizes below 2 leave the plane as it is.
void removeSpecks(BitPlane& plane, int size, BitPlane& scratch);

} // namespace analysis
