#pragma once

#include <string>

#include "BitPlane.h"
#include "Bitmap.h"

namespace analysis {

// The user's mask of the frame: an 8-bit picture, 0 (black) where changes are ignored,
// 255 (white) where they are watched. On disk it is a binary 8-bit PGM ("P5"), the
// form other movement detectors read and write.

// The largest mask side: beyond any frame a source gives (7680 x 4320), so a mask file is
// never larger than its header and 8192 x 8192 pixels.
constexpr int maxMaskSide = 8192;

// Reads a mask file: a regular file of at most the largest mask's bytes, never a FIFO or
// a device. Throws std::runtime_error with a message that names the file and
// what is wrong with it: not a regular file, not a PGM, a 16-bit PGM, truncated, or a
// size that does not fit. Line ends of one or two bytes (CR LF) both end the header.
// Levels of at least half the file's maximum are watched; the result holds 0 and 255 only.
Bitmap readMaskPgm(const std::string& fileName);

// Writes a mask (any level but 0 is watched) as a binary PGM through a temporary file
// renamed over `fileName`. Throws std::runtime_error when it cannot be written.
void writeMaskPgm(const Bitmap& mask, const std::string& fileName);

// The watched pixels of `mask` scaled (nearest pixel) to a frame of width x height.
void maskBits(const Bitmap& mask, int width, int height, BitPlane& bits);

} // namespace analysis
