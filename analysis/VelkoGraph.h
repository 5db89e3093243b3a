#pragma once

#include "Bitmap.h"

namespace analysis {

// Converts a 24-bit picture to an 8-bit picture of the same size whose bytes are the
// luma of the colour pixels: red x 0.3 + green x 0.59 + blue x 0.11, each product and
// sum rounded to 80-bit extended precision, the total rounded to the nearest integer
// with halves to even.
// Returns 0 when converted, 1 for an empty 24-bit source, 2 for a source in any other
// format; on 1 and 2 neither picture changes.
int ToGrayscale(const Bitmap& source, Bitmap& target);

} // namespace analysis
