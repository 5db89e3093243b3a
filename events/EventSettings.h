#pragma once

#include <chrono>
#include <cstdint>

#include <QStringList>

namespace events {

// What the user chooses about events; all of it can change while the program runs.
struct EventSettings {
    std::chrono::milliseconds gap{10'000};     // quiet time that ends an event
    std::chrono::milliseconds preRoll{3'000};  // video kept from before an event
    std::chrono::milliseconds postRoll{3'000}; // video kept after an event ends
    bool recordClips = true;
    std::int64_t retentionBytes = std::int64_t(2) << 30;  // clips and saved frames, at most
    std::chrono::hours retentionAge{24 * 30};
    bool notify = false;
    std::chrono::milliseconds notifyCooldown{60'000};
    QStringList commandOnStart; // program and arguments; empty: none
    QStringList commandOnEnd;

    friend bool operator==(const EventSettings&, const EventSettings&) = default;
};

} // namespace events
