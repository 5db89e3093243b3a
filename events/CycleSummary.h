#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Bitmap.h"
#include "CompareFrames.h"
#include "Event.h"

namespace events {

// What the event tracking needs to know of one evaluation cycle. The evaluation adapts
// its own result to this, so the events know nothing of how a cycle is run.
struct CycleSummary {
    TimePoint time{};
    bool moving = false;    // the cycle counted movement
    bool confirmed = false; // movement confirmed; equal to `moving` when nothing confirms
    std::int64_t changed = 0;
    double percent = 0;
    std::optional<analysis::Point> centre;
    std::shared_ptr<const analysis::Bitmap> frame; // the colour frame
    std::string savedFile;                   // the frame saved in this cycle, if one was
};

} // namespace events
