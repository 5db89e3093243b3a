#pragma once

#include <cstdint>

namespace platform {

// Which sound a beep made.
enum class BeepSound { event, windowing };

// Sounds the desktop's "bell" event, or the windowing system's beep where no event
// sound can be played (found out once, so a machine without sound stays quiet).
BeepSound beep();

// How many times beep() ran in this process.
std::uint64_t beepsSoFar();

} // namespace platform
