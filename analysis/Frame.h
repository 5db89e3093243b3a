#pragma once

#include <cstdint>
#include <memory>

#include "Bitmap.h"

namespace analysis {

// A frame of a source as a value: copies share the pixels, which nobody writes once the
// frame is made, so a frame goes from the capture pipeline to the evaluation, the events
// and the screen without being copied again.
struct Frame {
    std::shared_ptr<const Bitmap> pixels; // 24-bit; null when there is no frame
    // The connection of the source the frame came from: frames of one connection share
    // it, a reconnect starts a new one. 0 when the source does not say.
    std::uint64_t stream = 0;
    // Counts up from 1 with each frame of a source; 0 for no frame.
    std::uint64_t number = 0;
    // When the frame arrived, on the steady clock, in nanoseconds.
    std::int64_t arrivedNs = 0;

    bool empty() const { return !pixels || pixels->empty(); }
};

} // namespace analysis
