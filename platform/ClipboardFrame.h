#pragma once

#include <memory>

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

// An image that shows a 24-bit picture where it lies (Format_BGR888), for Qt to draw: the
// image and its copies hold the picture for as long as they live, and drawing on one
// makes a copy of its own. Any other picture gives imageFromBitmap's image; none, a null
// image.
QImage sharedImage(std::shared_ptr<const analysis::Bitmap> picture);

} // namespace platform
