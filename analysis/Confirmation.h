#pragma once

#include <cstdint>

namespace analysis {

// Movement is confirmed in a cycle that moved when at least `needed` of the last
// `window` cycles (this one included) moved, so that one odd frame raises no alarm.
class Confirmation {
public:
    static constexpr int longestWindow = 32;

    // Keeps the history; `needed` is taken within 1 .. window, window within 1 .. 32.
    void setRule(int needed, int window);
    // Records a cycle; true when it confirms movement.
    bool record(bool moving);
    void forget() { history_ = 0; }

private:
    std::uint32_t history_ = 0; // bit 0: the latest cycle
    int needed_ = 2;
    int window_ = 3;
};

} // namespace analysis
