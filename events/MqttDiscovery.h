#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace events {

// How a camera announces itself to a home-automation hub that reads MQTT discovery
// configuration. An empty prefix announces nothing.
struct Discovery {
    std::string prefix;  // the hub's discovery prefix, "homeassistant" by its default
    std::string machine; // the host name: identifiers are unique per machine and camera
    std::string version; // the program's
};

// The topics of one camera that its announced entities read.
struct CameraTopics {
    std::string motion;    // ON or OFF
    std::string status;    // online or offline, the last will included
    std::string changed;   // the changed pixels in percent of the frame
    std::string thumbnail; // the JPEG picture of the latest event
};

struct MqttMessage {
    std::string topic;
    std::string payload;
};

// The retained configuration messages that announce `camera` as a device with a motion
// sensor, a changed-pixel sensor and a picture of its latest event; none without a prefix.
std::vector<MqttMessage> discoveryMessages(const Discovery& discovery, std::string_view camera,
                                           const CameraTopics& topics);

} // namespace events
