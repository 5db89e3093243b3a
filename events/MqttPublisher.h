#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "MqttDiscovery.h"

struct mosquitto;

namespace events {

// Tells an MQTT broker about events, for home-automation systems and for many machines
// reporting to one place: each event's start and end as JSON on video/<camera>/event,
// the current state as a retained ON or OFF on video/<camera>/motion, and whether the
// program is there as a retained online or offline on video/<camera>/status (offline
// also as the broker's last will), the changed pixels in percent on video/<camera>/changed
// and the latest event's JPEG thumbnail, retained, on video/<camera>/thumbnail. With a
// discovery prefix, the camera announces itself to a home-automation hub with retained
// configuration messages (see MqttDiscovery.h). A run's first motion state is OFF, before
// anything it publishes of its events. The connection runs on a network thread of its own
// and reconnects with a growing pause while the broker is away; event messages wait
// meanwhile (the newest thousand) and go out once it is back, together with the current
// motion state, so the broker going away never holds up the caller. Messages go out
// at least once (QoS 1).
class MqttPublisher {
public:
    // A user name and password for brokers that ask for them; an empty user logs in without.
    struct Login {
        std::string user;
        std::string password;
    };

    // Starts connecting to the broker at `host`:`port`, for the camera named `camera`.
    MqttPublisher(const std::string& host, int port, std::string_view camera, const Discovery& discovery = {},
                  const Login& login = {});
    // Says offline and waits a moment for the messages under way to be acknowledged.
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    void eventStarted(const std::string& json);
    // `moving`: another event started while this one's clip was completed.
    void eventEnded(const std::string& json, bool moving = false);
    // The movement is over: OFF at once, before the event's message that waits for its clip.
    void motionEnded();
    // The changed pixels of the latest cycle in percent; every call is sent (the caller
    // chooses the rate), not retained.
    void changedPercent(double percent);
    // The JPEG bytes of the latest event's thumbnail, retained.
    void thumbnail(std::string jpeg);
    // The camera is gone for good: empty retained messages on its configuration, motion,
    // thumbnail and status topics take it off the broker and off the hub, and closing
    // then says nothing more. False when the broker did not acknowledge them in time.
    bool retire();

    bool connected() const;
    // Told on the network thread whenever the connection comes or goes, in words; what
    // happened before there was a listener (a broker host that does not resolve) is told
    // to it at once, on the caller's thread.
    void setStatusListener(std::function<void(bool connected, const std::string& text)> listener);

    const std::string& eventTopic() const { return eventTopic_; }
    const std::string& motionTopic() const { return motionTopic_; }
    const std::string& statusTopic() const { return statusTopic_; }

    // A camera's name as one level of a topic: lower case letters, digits, "-" and "_"
    // ("Hall Camera #2" gives "hall_camera_2").
    static std::string topicLevel(std::string_view name);

private:
    static void onConnect(mosquitto*, void* self, int result);
    static void onDisconnect(mosquitto*, void* self, int result);
    static void onPublish(mosquitto*, void* self, int messageId);

    void publishEvent(const std::string& json, bool motion);
    // The connection is there: says so and sends what waited for it.
    void flush();
    bool send(const std::string& topic, const std::string& payload, bool retain);
    bool publish(const std::string& topic, const std::string& payload, bool retain); // locked
    bool waitAcknowledged();
    void tell(bool isConnected, const std::string& text);

    std::string host_;
    int port_;
    std::string eventTopic_;
    std::string motionTopic_;
    std::string statusTopic_;
    std::string changedTopic_;
    std::string thumbnailTopic_;
    std::vector<MqttMessage> discovery_; // none without a discovery prefix
    mosquitto* client_ = nullptr;

    mutable std::mutex mutex_;
    std::condition_variable acknowledged_;
    bool connected_ = false;
    bool everConnected_ = false; // a broker that was never reached is not "lost"
    bool motion_ = false;
    bool retired_ = false;
    std::string changed_;   // the latest percentage; empty: none yet
    std::string thumbnail_; // a thumbnail not sent yet
    std::deque<std::string> waiting_; // event messages not sent yet
    std::set<int> unacknowledged_;
    std::function<void(bool, const std::string&)> listener_;
    std::string untold_; // for the first listener
};

} // namespace events
