#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "Bitmap.h"
#include "CompareFrames.h"

namespace watch {

// One finished evaluation: what was compared, what counted, what was decided and done.
// Listeners receive it once per cycle; the pictures it points to stay valid for as long
// as a listener keeps the pointers.
struct Cycle {
    std::chrono::system_clock::time_point time;

    // CompareFrames' result code: 0 compared, 2 refused (no reference yet, a frame that
    // is not 8-bit, frames of different sizes). A frame of a new connection is not
    // compared at all: `newStream` is set and `compared` stays 2.
    int compared = 2;
    bool newStream = false;
    // The comparison's counts, sums and centre; all zero when nothing was compared.
    analysis::MovementResult result;
    // The counts that remain once the detection stage discounted what it does not count
    // as movement; without detection the comparison's own counts.
    std::int32_t brightCounted = 0;
    std::int32_t darkCounted = 0;
    // brightCounted + darkCounted, and that in percent of the frame's pixels.
    std::int64_t changed = 0;
    std::int64_t percent = 0;

    // More pixels changed than the minimal movement.
    bool moving = false;
    // Movement that the detection confirmed: only these cycles beep and save.
    bool confirmed = false;
    // Why a cycle did not count, for the status line and the logs; empty when it did or
    // when nothing changed.
    std::string reason;

    // The centre of the movement, valid when pixels both brightened and darkened.
    bool centred = false;
    analysis::Point centre;

    // The grabbed 24-bit colour frame and the 24-bit difference picture (empty when
    // nothing was compared).
    std::shared_ptr<const analysis::Bitmap> frame;
    std::shared_ptr<const analysis::Bitmap> difference;

    bool beeped = false;
    // The file the frame was saved to; when the save failed, the error and the system's
    // reason for it instead.
    std::string savedFile;
    std::string saveError;
    std::string saveErrorReason;
    // A save skipped for want of room (the folder's limit, the disk's floor, a full
    // disk), and why: watching goes on, and no box stops it.
    std::string saveSkipped;
};

// Receives every finished cycle of an evaluation. Called on the thread that runs the
// evaluation; must not throw.
class CycleListener {
public:
    virtual ~CycleListener() = default;
    virtual void cycleEvaluated(const Cycle& cycle) = 0;
};

} // namespace watch
