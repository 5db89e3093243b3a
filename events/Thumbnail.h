#pragma once

#include <string>

#include "Bitmap.h"

namespace events {

constexpr int thumbnailWidth = 160;

// Writes a JPEG of `frame` scaled to the thumbnail width, through a temporary file that
// is renamed over `path` once whole. False with `error` set when it cannot.
bool writeThumbnail(const analysis::Bitmap& frame, const std::string& path, std::string& error);

} // namespace events
