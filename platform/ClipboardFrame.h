#pragma once

#include <QImage>

#include "Bitmap.h"

namespace platform {

// A 24-bit picture of any image: indexed, gray, 16-bit, 30-bit, with or without alpha
// (alpha is dropped). A null image gives an empty picture.
analysis::Bitmap bitmapFromImage(const QImage& image);
// The same into a picture given, whose memory is used again when it has the image's size.
void bitmapFromImage(const QImage& image, analysis::Bitmap& into);

// An image of a 24-bit picture, or of an 8-bit one through its colour table (gray
// without one). An empty picture gives a null image.
QImage imageFromBitmap(const analysis::Bitmap& bitmap);

// The frame on the frame clipboard as a 24-bit picture; empty when it holds no image.
// Throws std::runtime_error (for example "Unsupported clipboard format") when it
// announces an image but hands none over.
analysis::Bitmap bitmapFromClipboard();

} // namespace platform
