#pragma once

#include <QImage>

#include "Bitmap.h"

namespace platform {

// A 24-bit picture of any image: indexed, gray, 16-bit, 30-bit, with or without alpha
// (alpha is dropped). A null image gives an empty picture.
analysis::Bitmap bitmapFromImage(const QImage& image);

// An image of a 24-bit picture, or of an 8-bit one through its colour table (gray
// without one). An empty picture gives a null image.
QImage imageFromBitmap(const analysis::Bitmap& bitmap);

// The image on the clipboard; a null image when the clipboard holds none. Throws
// std::runtime_error "Unsupported clipboard format" when the clipboard announces an
// image but hands none over.
QImage imageFromClipboard();

// The frame on the clipboard as a 24-bit picture; empty when the clipboard holds no
// image. Throws std::runtime_error "Unsupported clipboard format" when the clipboard
// announces an image but hands none over.
analysis::Bitmap bitmapFromClipboard();

} // namespace platform
