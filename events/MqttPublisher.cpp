#include "MqttPublisher.h"

#include <chrono>
#include <stdexcept>
#include <utility>

#include <mosquitto.h>

namespace events {

namespace {

constexpr int qos = 1;
constexpr int keepAliveSeconds = 30;
constexpr std::size_t mostWaiting = 1000;
// How long closing waits for the broker to acknowledge what was sent.
constexpr std::chrono::seconds farewell{2};

void initialiseLibrary()
{
    struct Library {
        Library() { mosquitto_lib_init(); }
        ~Library() { mosquitto_lib_cleanup(); }
    };
    static Library library;
}

} // namespace

std::string MqttPublisher::topicLevel(std::string_view name)
{
    std::string level;
    for (const char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')
            level += c;
        else if (c >= 'A' && c <= 'Z')
            level += static_cast<char>(c - 'A' + 'a');
        else if (!level.empty() && level.back() != '_')
            level += '_';
    }
    while (!level.empty() && level.back() == '_')
        level.pop_back();
    return level.empty() ? "camera" : level;
}

MqttPublisher::MqttPublisher(const std::string& host, int port, std::string_view camera)
    : host_(host), port_(port)
{
    const std::string base = "video/" + topicLevel(camera);
    eventTopic_ = base + "/event";
    motionTopic_ = base + "/motion";
    statusTopic_ = base + "/status";

    initialiseLibrary();
    client_ = mosquitto_new(nullptr, true, this);
    if (!client_)
        throw std::runtime_error("Cannot create an MQTT client");
    mosquitto_connect_callback_set(client_, &MqttPublisher::onConnect);
    mosquitto_disconnect_callback_set(client_, &MqttPublisher::onDisconnect);
    mosquitto_publish_callback_set(client_, &MqttPublisher::onPublish);
    const std::string offline = "offline";
    mosquitto_will_set(client_, statusTopic_.c_str(), int(offline.size()), offline.data(), qos, true);
    mosquitto_reconnect_delay_set(client_, 1, 30, true);
    // The network thread runs before the first connect, so that it makes that connect and
    // keeps trying when the broker is not there yet; connecting first would fail at once
    // and not be tried again.
    const int started = mosquitto_loop_start(client_);
    const int connecting = started == MOSQ_ERR_SUCCESS
                               ? mosquitto_connect_async(client_, host.c_str(), port, keepAliveSeconds)
                               : started;
    if (started != MOSQ_ERR_SUCCESS || connecting == MOSQ_ERR_INVAL) {
        mosquitto_loop_stop(client_, true);
        mosquitto_destroy(client_);
        throw std::runtime_error("Cannot connect to the MQTT broker " + host + ":" + std::to_string(port));
    }
    // A name that does not resolve fails in silence on every later try: it is told once, now.
    if (connecting == MOSQ_ERR_EAI)
        untold_ = "Cannot find the MQTT broker host " + host + "; trying again";
}

MqttPublisher::~MqttPublisher()
{
    if (send(statusTopic_, "offline", true)) {
        std::unique_lock lock(mutex_);
        acknowledged_.wait_for(lock, farewell, [this] { return unacknowledged_.empty() || !connected_; });
    }
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

void MqttPublisher::eventStarted(const std::string& json)
{
    publishEvent(json, true);
}

void MqttPublisher::eventEnded(const std::string& json, bool moving)
{
    publishEvent(json, moving);
}

void MqttPublisher::motionEnded()
{
    {
        std::lock_guard lock(mutex_);
        motion_ = false;
    }
    send(motionTopic_, "OFF", true);
}

bool MqttPublisher::connected() const
{
    std::lock_guard lock(mutex_);
    return connected_;
}

void MqttPublisher::setStatusListener(std::function<void(bool, const std::string&)> listener)
{
    std::string untold;
    {
        std::lock_guard lock(mutex_);
        listener_ = std::move(listener);
        if (listener_)
            untold.swap(untold_);
    }
    if (!untold.empty())
        tell(false, untold);
}

void MqttPublisher::publishEvent(const std::string& json, bool motion)
{
    {
        std::lock_guard lock(mutex_);
        motion_ = motion;
    }
    if (!send(eventTopic_, json, false)) {
        std::lock_guard lock(mutex_);
        waiting_.push_back(json);
        if (waiting_.size() > mostWaiting)
            waiting_.pop_front();
    }
    // Missed while the broker is away; the state is sent again once it is back.
    send(motionTopic_, motion ? "ON" : "OFF", true);
}

bool MqttPublisher::send(const std::string& topic, const std::string& payload, bool retain)
{
    // Held while publishing, so that the acknowledgement (on the network thread) finds
    // the message id already noted.
    std::lock_guard lock(mutex_);
    if (!connected_)
        return false;
    int id = 0;
    if (mosquitto_publish(client_, &id, topic.c_str(), int(payload.size()), payload.data(), qos, retain) !=
        MOSQ_ERR_SUCCESS)
        return false;
    unacknowledged_.insert(id);
    return true;
}

void MqttPublisher::flush()
{
    send(statusTopic_, "online", true);
    std::deque<std::string> waiting;
    bool motion = false;
    {
        std::lock_guard lock(mutex_);
        waiting.swap(waiting_);
        motion = motion_;
    }
    while (!waiting.empty() && send(eventTopic_, waiting.front(), false))
        waiting.pop_front();
    if (!waiting.empty()) {
        std::lock_guard lock(mutex_);
        waiting_.insert(waiting_.begin(), waiting.begin(), waiting.end());
    }
    send(motionTopic_, motion ? "ON" : "OFF", true);
}

void MqttPublisher::tell(bool isConnected, const std::string& text)
{
    std::function<void(bool, const std::string&)> listener;
    {
        std::lock_guard lock(mutex_);
        listener = listener_;
    }
    if (listener)
        listener(isConnected, text);
}

void MqttPublisher::onConnect(mosquitto*, void* self, int result)
{
    auto* publisher = static_cast<MqttPublisher*>(self);
    const std::string broker = publisher->host_ + ":" + std::to_string(publisher->port_);
    if (result != 0) {
        publisher->tell(false, "The MQTT broker " + broker + " refused the connection: " +
                                   mosquitto_connack_string(result));
        return;
    }
    {
        std::lock_guard lock(publisher->mutex_);
        publisher->connected_ = true;
        publisher->everConnected_ = true;
    }
    publisher->flush();
    publisher->tell(true, "Connected to the MQTT broker " + broker);
}

void MqttPublisher::onDisconnect(mosquitto*, void* self, int result)
{
    auto* publisher = static_cast<MqttPublisher*>(self);
    bool wasReached = false;
    {
        std::lock_guard lock(publisher->mutex_);
        publisher->connected_ = false;
        wasReached = publisher->everConnected_;
        publisher->unacknowledged_.clear(); // sent again by the client library on reconnecting
    }
    publisher->acknowledged_.notify_all();
    if (result != 0)
        publisher->tell(false, std::string(wasReached ? "Lost the MQTT broker " : "Cannot reach the MQTT broker ") +
                                   publisher->host_ + ":" + std::to_string(publisher->port_) + "; trying again");
}

void MqttPublisher::onPublish(mosquitto*, void* self, int messageId)
{
    auto* publisher = static_cast<MqttPublisher*>(self);
    {
        std::lock_guard lock(publisher->mutex_);
        publisher->unacknowledged_.erase(messageId);
    }
    publisher->acknowledged_.notify_all();
}

} // namespace events
