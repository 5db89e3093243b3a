#pragma once

#include <memory>

#include <QImage>
#include <QString>

#include "Bitmap.h"

namespace platform {

// An image that shows a 24-bit picture without copying it (Format_BGR888), for the
// screen: the image and its copies hold the picture for as long as they live, and
// drawing on one makes a copy of its own. Any other picture gives imageFromBitmap's
// image; none, a null image.
QImage sharedImage(std::shared_ptr<const analysis::Bitmap> picture);

// The picture that an image of sharedImage or of FramePictures shows; null for any other
// image, and for one that has pixels of its own since (it was drawn on).
std::shared_ptr<const analysis::Bitmap> sharedPicture(const QImage& image);

// The memory of a source's frames: each frame is copied once, into a 24-bit picture that
// the frame's image shows where it lies, so that the evaluation cycle takes a grabbed frame
// as it is instead of copying it again. A picture nobody holds any more serves a later
// frame of its size. Safe to use from any thread; its images may outlive it.
class FramePictures {
public:
    FramePictures();
    ~FramePictures();
    FramePictures(const FramePictures&) = delete;
    FramePictures& operator=(const FramePictures&) = delete;

    // An image of a copy of `height` rows of `width` blue-green-red pixels, `bytesPerLine`
    // apart, with the text "stream" = `stream`. Frames are never drawn on: whoever holds
    // the only handle of one must not write into it, as that would write into the picture.
    QImage frame(const uchar* rows, int width, int height, qsizetype bytesPerLine, const QString& stream);

    class Pool;

private:
    std::shared_ptr<Pool> pool_;
};

} // namespace platform
