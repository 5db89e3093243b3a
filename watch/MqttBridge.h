#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QObject>
#include <QString>

#include "Broker.h"

namespace events {
class EventWatcher;
class MqttPublisher;
struct Event;
} // namespace events

namespace watch {

// Publishes the events an event watcher tells of to an MQTT broker, as the same JSON the
// headless mode prints, under the name of the camera being watched.
class MqttBridge : public QObject {
    Q_OBJECT
public:
    // `savedFrames` gives the frames saved during the open event (none when not given).
    MqttBridge(BrokerAddress broker, events::EventWatcher& watcher,
               std::function<std::vector<std::string>()> savedFrames = {}, QObject* parent = nullptr);
    ~MqttBridge() override;

    // Publishes under this camera's topics from now on (a new connection when it changes).
    void setCamera(const QString& name);
    events::MqttPublisher* publisher() const { return publisher_.get(); }

signals:
    // The connection came or went, in words; may come from the network thread (queued).
    void statusText(const QString& text);

private:
    void started(const events::Event& event);
    void ended(const events::Event& event, bool moving);

    BrokerAddress broker_;
    std::function<std::vector<std::string>()> savedFrames_;
    QString camera_;
    std::unique_ptr<events::MqttPublisher> publisher_;
};

} // namespace watch
