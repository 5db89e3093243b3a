#include "MqttBridge.h"

#include "Event.h"
#include "EventReport.h"
#include "EventWatcher.h"
#include "MqttPublisher.h"

namespace watch {

MqttBridge::MqttBridge(BrokerAddress broker, events::EventWatcher& watcher,
                       std::function<std::vector<std::string>()> savedFrames, QObject* parent)
    : QObject(parent), broker_(std::move(broker)), savedFrames_(std::move(savedFrames))
{
    connect(&watcher, &events::EventWatcher::eventStarted, this, &MqttBridge::started);
    connect(&watcher, &events::EventWatcher::movementEnded, this, [this] {
        if (publisher_)
            publisher_->motionEnded();
    });
    connect(&watcher, &events::EventWatcher::eventEnded, this,
            [this, &watcher](const events::Event& event) { ended(event, watcher.eventOpen()); });
}

MqttBridge::~MqttBridge() = default;

void MqttBridge::setCamera(const QString& name)
{
    if (publisher_ && name == camera_)
        return;
    camera_ = name;
    publisher_.reset();
    publisher_ = std::make_unique<events::MqttPublisher>(broker_.host.toStdString(), broker_.port, name.toStdString());
    // The publisher tells on its network thread; the signal crosses to this object's thread.
    publisher_->setStatusListener([this](bool, const std::string& text) {
        QMetaObject::invokeMethod(this, [this, text = QString::fromStdString(text)] { emit statusText(text); },
                                  Qt::QueuedConnection);
    });
}

void MqttBridge::started(const events::Event& event)
{
    if (publisher_)
        publisher_->eventStarted(eventStartJson(event, savedFrames_ ? savedFrames_() : std::vector<std::string>{})
                                     .toStdString());
}

void MqttBridge::ended(const events::Event& event, bool moving)
{
    if (publisher_)
        publisher_->eventEnded(eventEndJson(event, savedFrames_ ? savedFrames_() : std::vector<std::string>{})
                                   .toStdString(),
                               moving);
}

} // namespace watch
