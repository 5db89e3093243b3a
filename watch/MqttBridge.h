#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QObject>
#include <QString>
#include <QTimer>

#include "Broker.h"
#include "Cycle.h"
#include "EventReport.h"

namespace events {
class EventWatcher;
class MqttPublisher;
struct Event;
} // namespace events

namespace watch {

// Publishes the events an event watcher tells of to an MQTT broker, as the same JSON the
// headless mode prints, under the name of the camera being watched; with a discovery
// prefix also announces the camera to a home-automation hub, with its changed pixels (at
// most once a second, when they change) and its latest event's thumbnail. A broker that
// asks for a login gets the user in VIDEO_MQTT_USER and the password in the first line of
// the file VIDEO_MQTT_PASSWORD_FILE (a service's credential, never the password itself in
// the environment or the settings).
class MqttBridge : public QObject, public CycleListener {
    Q_OBJECT
public:
    // `savedFrames` tells of the frames saved during the open event (none when not given).
    // An empty `discoveryPrefix` announces nothing.
    MqttBridge(BrokerAddress broker, QString discoveryPrefix, events::EventWatcher& watcher,
               std::function<SavedFrames()> savedFrames = {}, QObject* parent = nullptr);
    ~MqttBridge() override;

    // Publishes under this camera's topics from now on (a new connection when it changes);
    // a camera replaced by another is taken off the broker and the hub.
    void setCamera(const QString& name);
    events::MqttPublisher* publisher() const { return publisher_.get(); }

    // Takes the changed pixels of each compared frame.
    void cycleEvaluated(const Cycle& cycle) override;

signals:
    // The connection came or went, in words; may come from the network thread (queued).
    void statusText(const QString& text);

private:
    void started(const events::Event& event);
    void ended(const events::Event& event, bool moving);
    void sendThumbnail(const events::Event& event);
    void sendChanged();
    // Ends the publisher away from this thread, first taking the camera off the broker
    // when `retireCamera`.
    void letGo(bool retireCamera);

    BrokerAddress broker_;
    QString discoveryPrefix_;
    std::function<SavedFrames()> savedFrames_;
    QString camera_;
    std::unique_ptr<events::MqttPublisher> publisher_;
    // The changed pixels go out at once and then at most once a pause, the latest of the pause.
    QTimer changedPause_;
    double changed_ = -1; // the latest; -1: none yet
    double changedSent_ = -1;
};

} // namespace watch
