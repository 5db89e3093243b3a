#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Bitmap.h"

typedef struct _GstSample GstSample;

namespace platform {

// The memory of a source's frames: each frame is copied once out of the pipeline's
// buffer into a 24-bit picture, and a picture nobody holds any more serves a later frame
// of its size instead of being allocated again. Safe to use from any thread; the
// pictures it hands out may outlive it.
class FramePool {
public:
    FramePool();
    ~FramePool();
    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;

    // A copy of `height` rows of `width` blue-green-red pixels, `bytesPerLine` apart;
    // null when the rows are missing or overlap.
    std::shared_ptr<const analysis::Bitmap> copy(const std::uint8_t* rows, int width, int height,
                                                 std::ptrdiff_t bytesPerLine);
    // A copy of the picture of a GStreamer sample of blue-green-red video; null when it
    // holds none.
    std::shared_ptr<const analysis::Bitmap> copy(GstSample* sample);

    class Pool;

private:
    std::shared_ptr<Pool> pool_;
};

} // namespace platform
