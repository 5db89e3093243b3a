#include "MqttBridge.h"

#include <chrono>
#include <cmath>

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QSysInfo>

#include "Event.h"
#include "EventReport.h"
#include "EventWatcher.h"
#include "BackgroundThreads.h"
#include "MqttPublisher.h"

namespace watch {

namespace {

// A hub records every value it is sent: once a second is plenty for a picture of the movement.
constexpr std::chrono::seconds changedInterval{1};

events::MqttPublisher::Login brokerLogin(QString& warning)
{
    const QString user = qEnvironmentVariable("VIDEO_MQTT_USER");
    const QString passwordFile = qEnvironmentVariable("VIDEO_MQTT_PASSWORD_FILE");
    if (user.isEmpty())
        return {};
    QString password;
    if (!passwordFile.isEmpty()) {
        QFile file(passwordFile);
        if (file.open(QIODevice::ReadOnly))
            password = QString::fromUtf8(file.readLine()).trimmed();
        else
            warning = (QStringLiteral("Cannot read the MQTT password from %1: %2; logging in as %3 without one")
                           .arg(passwordFile, file.errorString(), user));
    }
    return {user.toStdString(), password.toStdString()};
}

// Tells `text` to the bridge on its own thread, from any thread, if it is still there then.
void tell(QPointer<MqttBridge> bridge, QString text)
{
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [bridge, text] { if (bridge) emit bridge->statusText(text); }, Qt::QueuedConnection);
}

} // namespace

MqttBridge::MqttBridge(BrokerAddress broker, QString discoveryPrefix, events::EventWatcher& watcher,
                       std::function<SavedFrames()> savedFrames, QObject* parent)
    : QObject(parent), broker_(std::move(broker)), discoveryPrefix_(std::move(discoveryPrefix)),
      savedFrames_(std::move(savedFrames))
{
    connect(&watcher, &events::EventWatcher::eventStarted, this, &MqttBridge::started);
    connect(&watcher, &events::EventWatcher::movementEnded, this, [this] {
        if (publisher_)
            publisher_->motionEnded();
    });
    connect(&watcher, &events::EventWatcher::eventEnded, this,
            [this, &watcher](const events::Event& event) { ended(event, watcher.eventOpen()); });
    changedPause_.setSingleShot(true);
    changedPause_.setInterval(changedInterval);
    connect(&changedPause_, &QTimer::timeout, this, &MqttBridge::sendChanged);
}

MqttBridge::~MqttBridge()
{
    letGo(false);
}

void MqttBridge::letGo(bool retireCamera)
{
    if (!publisher_)
        return;
    // The broker's acknowledgement of the camera's removal, or of its going offline, may
    // take seconds: the publisher ends on a thread of its own, and what the broker did not
    // confirm is told here later.
    publisher_->setStatusListener({});
    std::shared_ptr<events::MqttPublisher> old(std::move(publisher_));
    const QString unconfirmed =
        QStringLiteral("The MQTT broker %1 may still announce the camera %2: it did not confirm its removal")
            .arg(broker_.host, camera_);
    platform::BackgroundThreads::shared().run([old, retireCamera, bridge = QPointer<MqttBridge>(this), unconfirmed] {
        if (retireCamera && !old->retire())
            tell(bridge, unconfirmed);
    });
}

void MqttBridge::setCamera(const QString& name)
{
    if (publisher_ && name == camera_)
        return;
    letGo(true);
    camera_ = name;
    changed_ = changedSent_ = -1;
    QString warning;
    const events::MqttPublisher::Login login = brokerLogin(warning);
    if (!warning.isEmpty())
        emit statusText(warning);
    const events::Discovery discovery{discoveryPrefix_.toStdString(), QSysInfo::machineHostName().toStdString(),
                                      VIDEO_VERSION};
    publisher_ = std::make_unique<events::MqttPublisher>(broker_.host.toStdString(), broker_.port, name.toStdString(),
                                                         discovery, login);
    // The publisher tells on its network thread; the signal crosses to this object's thread.
    publisher_->setStatusListener([bridge = QPointer<MqttBridge>(this)](bool, const std::string& text) {
        tell(bridge, QString::fromStdString(text));
    });
}


void MqttBridge::cycleEvaluated(const Cycle& cycle)
{
    if (cycle.compared != 0 || cycle.newStream || !cycle.frame || cycle.frame->empty())
        return;
    const double pixels = double(cycle.frame->width()) * cycle.frame->height();
    // Tenths of a percent: finer would only send the noise.
    changed_ = std::round(double(cycle.changed) * 1000 / pixels) / 10;
    if (!changedPause_.isActive())
        sendChanged();
}

void MqttBridge::sendChanged()
{
    if (!publisher_ || changed_ < 0 || changed_ == changedSent_)
        return;
    publisher_->changedPercent(changed_);
    changedSent_ = changed_;
    changedPause_.start();
}

void MqttBridge::started(const events::Event& event)
{
    if (!publisher_)
        return;
    publisher_->eventStarted(eventStartJson(event, savedFrames_ ? savedFrames_() : SavedFrames{}).toStdString());
    sendThumbnail(event);
}

void MqttBridge::ended(const events::Event& event, bool moving)
{
    if (!publisher_)
        return;
    publisher_->eventEnded(eventEndJson(event, savedFrames_ ? savedFrames_() : SavedFrames{}).toStdString(), moving);
    // By now the thumbnail shows the event's busiest moment.
    sendThumbnail(event);
}

void MqttBridge::sendThumbnail(const events::Event& event)
{
    if (event.thumbnail.empty())
        return;
    QFile file(QString::fromStdString(event.thumbnail));
    // A thumbnail is a few kilobytes on the local disk; one that cannot be read was
    // reported by the watcher as it was written.
    if (file.open(QIODevice::ReadOnly))
        publisher_->thumbnail(file.readAll().toStdString());
}

} // namespace watch
