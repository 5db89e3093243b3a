#include "MqttPublisher.h"

#include <charconv>
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

MqttPublisher::MqttPublisher(const std::string& host, int port, std::string_view camera,
                             const Discovery& discovery, const Login& login)
    : host_(host), port_(port)
{
    const std::string base = "video/" + topicLevel(camera);
    eventTopic_ = base + "/event";
    motionTopic_ = base + "/motion";
    statusTopic_ = base + "/status";
    changedTopic_ = base + "/changed";
    thumbnailTopic_ = base + "/thumbnail";
    discovery_ = discoveryMessages(discovery, camera, {motionTopic_, statusTopic_, changedTopic_, thumbnailTopic_});

    initialiseLibrary();
    client_ = mosquitto_new(nullptr, true, this);
    if (!client_)
        throw std::runtime_error("Cannot create an MQTT client");
    mosquitto_connect_callback_set(client_, &MqttPublisher::onConnect);
    mosquitto_disconnect_callback_set(client_, &MqttPublisher::onDisconnect);
    mosquitto_publish_callback_set(client_, &MqttPublisher::onPublish);
    const std::string offline = "offline";
    mosquitto_will_set(client_, statusTopic_.c_str(), int(offline.size()), offline.data(), qos, true);
    if (!login.user.empty())
        mosquitto_username_pw_set(client_, login.user.c_str(), login.password.c_str());
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
    bool retired = false;
    {
        std::lock_guard lock(mutex_);
        retired = retired_;
    }
    if (!retired && send(statusTopic_, "offline", true))
        waitAcknowledged();
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

void MqttPublisher::changedPercent(double percent)
{
    // Not printf: the program's locale may write a decimal comma, which the hub cannot read.
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, percent, std::chars_format::fixed, 1);
    if (error != std::errc())
        return;
    const std::string payload(text, end);
    {
        std::lock_guard lock(mutex_);
        changed_ = payload;
    }
    send(changedTopic_, payload, false);
}

void MqttPublisher::thumbnail(std::string jpeg)
{
    if (send(thumbnailTopic_, jpeg, true))
        return;
    std::lock_guard lock(mutex_);
    thumbnail_ = std::move(jpeg);
}

bool MqttPublisher::retire()
{
    bool sent = true;
    for (const MqttMessage& config : discovery_)
        sent = send(config.topic, {}, true) && sent;
    for (const std::string* topic : {&thumbnailTopic_, &motionTopic_, &statusTopic_})
        sent = send(*topic, {}, true) && sent;
    {
        std::lock_guard lock(mutex_);
        retired_ = true;
        thumbnail_.clear();
    }
    return waitAcknowledged() && sent;
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
    return connected_ && publish(topic, payload, retain);
}

bool MqttPublisher::publish(const std::string& topic, const std::string& payload, bool retain)
{
    int id = 0;
    if (mosquitto_publish(client_, &id, topic.c_str(), int(payload.size()), payload.data(), qos, retain) !=
        MOSQ_ERR_SUCCESS)
        return false;
    unacknowledged_.insert(id);
    return true;
}

bool MqttPublisher::waitAcknowledged()
{
    std::unique_lock lock(mutex_);
    acknowledged_.wait_for(lock, farewell, [this] { return unacknowledged_.empty() || !connected_; });
    return connected_ && unacknowledged_.empty();
}

void MqttPublisher::flush()
{
    std::deque<std::string> waiting;
    bool motion = false;
    bool firstConnection = false;
    std::string changed, thumbnail;
    {
        // Under the lock that a caller's own publishing takes, so that nothing of this
        // connection goes out before the camera is online, announced and, the first time,
        // OFF: a run that ended while its camera moved left ON on the broker.
        std::lock_guard lock(mutex_);
        firstConnection = !everConnected_;
        connected_ = true;
        everConnected_ = true;
        publish(statusTopic_, "online", true);
        for (const MqttMessage& config : discovery_)
            publish(config.topic, config.payload, true);
        if (firstConnection)
            publish(motionTopic_, "OFF", true);
        waiting.swap(waiting_);
        motion = motion_;
        changed = changed_;
        thumbnail.swap(thumbnail_);
    }
    while (!waiting.empty() && send(eventTopic_, waiting.front(), false))
        waiting.pop_front();
    if (!waiting.empty()) {
        std::lock_guard lock(mutex_);
        waiting_.insert(waiting_.begin(), waiting.begin(), waiting.end());
    }
    if (motion || !firstConnection)
        send(motionTopic_, motion ? "ON" : "OFF", true);
    if (!changed.empty())
        send(changedTopic_, changed, false);
    if (!thumbnail.empty() && !send(thumbnailTopic_, thumbnail, true)) {
        std::lock_guard lock(mutex_);
        if (thumbnail_.empty())
            thumbnail_.swap(thumbnail);
    }
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
