#pragma once

#include <QString>

namespace platform {
class LiveSource;
}

namespace app {

// What the control panel's status label says: what the session really does now, from
// its video (none, connecting, live, reconnecting, failed) and whether Auto runs.
struct SessionStatus {
    bool videoStarted = false; // Start Video made a capture window, and Stop Video has not ended it
    bool autoOn = false;
    int periodMs = 0;
};

QString sessionStatusText(const SessionStatus& status, const platform::LiveSource& source);

} // namespace app
