#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QObject>
#include <QString>

#include "Broker.h"
#include "EventReport.h"

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
    // `savedFrames` tells of the frames saved during the open event (none when not given).
    MqttBridge(BrokerAddress broker, events::EventWatcher& watcher,
               std::function<SavedFrames()> savedFrames = {}, QObject* parent = nullptr);
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
    std::function<SavedFrames()> savedFrames_;
    QString camera_;
    std::unique_ptr<events::MqttPublisher> publisher_;
};

} // namespace watch
