#pragma once

#include <cstdint>

namespace platform {

// Ids of the status reports of the capture service and its live sources.
enum StatusId : std::int32_t {
    statusConnected = 1,     // a driver is connected; the text names it
    statusLiveWindow = 2,    // "Live window": preview switched on
    statusOverlayWindow = 3, // "Overlay window": overlay switched on
    statusNoFrame = 4,       // a grab got no frame
    statusReconnecting = 5,  // a running source was lost; the text says why and when it is tried again
    statusNoDriver = 6,      // "No camera": the window has no driver
    statusConnecting = 7,    // connecting to a driver has begun; the text names it
    statusChangingFormat = 8, // the source stops for a moment to take a new format
    statusError = 1000,      // the source reported an error; the text says which
};

} // namespace platform
