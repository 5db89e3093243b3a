#pragma once

#include <mutex>

#include <QImage>
#include <gst/video/video.h>

#include "GstHandles.h"

namespace events {

// The picture format clips are encoded from: planar 4:2:0 (I420), with the colour
// description GStreamer gives that size by default.
GstVideoInfo planarInfo(int width, int height);

// Turns the source's frames into planar 4:2:0 pictures as the encoder takes them, with
// the same arithmetic as GStreamer's own converter. Such a picture holds half the bytes
// of a packed BGR frame, which is what makes a few seconds of video before an event
// cheap to keep. Thread-safe.
class PlanarFrames {
public:
    PlanarFrames() = default;
    ~PlanarFrames();
    PlanarFrames(const PlanarFrames&) = delete;
    PlanarFrames& operator=(const PlanarFrames&) = delete;

    // A new buffer with the picture of `image` (any format but Invalid); null for a null image.
    platform::gst::Buffer convert(const QImage& image);

private:
    std::mutex mutex_;
    GstVideoConverter* converter_ = nullptr; // for the input below
    GstVideoInfo input_{};
};

} // namespace events
