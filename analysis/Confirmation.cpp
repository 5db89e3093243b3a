#include "Confirmation.h"

#include <algorithm>
#include <bit>

namespace analysis {

void Confirmation::setRule(int needed, int window)
{
    window_ = std::clamp(window, 1, longestWindow);
    needed_ = std::clamp(needed, 1, window_);
}

bool Confirmation::record(bool moving)
{
    history_ = history_ << 1 | (moving ? 1u : 0u);
    const std::uint32_t recent = window_ == 32 ? history_ : history_ & ((1u << window_) - 1);
    return moving && std::popcount(recent) >= needed_;
}

} // namespace analysis
