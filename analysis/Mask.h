#pragma once

#include <string>

#include "BitPlane.h"
#include "Bitmap.h"

namespace analysis {

// The user's mask of the frame: an 8-bit picture, 0 (black) where changes are ignored,
// 255 (white) where they are watched. On disk it is a binary 8-bit PGM ("P5"), the
// form other movement detectors read and write.

// Reads a mask file. Throws std::runtime_error with a message that names the file and
// what is wrong with it: not a PGM, a 16-bit PGM, truncated, or a size that does not fit.
// Levels of at least half the file's maximum are watched; the result holds 0 and 255 only.
Bitmap readMaskPgm(const std::string& fileName);

// Writes a mask (any level but 0 is watched) as a binary PGM through a temporary file
// renamed over `fileName`. Throws std::runtime_error when it cannot be written.
void writeMaskPgm(const Bitmap& mask, const std::string& fileName);

// The watched pixels of `mask` scaled (nearest pixel) to a frame of width x height.
void maskBits(const Bitmap& mask, int width, int height, BitPlane& bits);

} // namespace analysis
