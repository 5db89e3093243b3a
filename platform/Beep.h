#pragma once

#include <cstdint>

namespace platform {

// Sounds the desktop's "bell" event, or the windowing system's beep where no event
// sound can be played (found out once, so a machine without sound stays quiet).
void beep();

// How many times beep() ran in this process.
std::uint64_t beepsSoFar();

} // namespace platform
