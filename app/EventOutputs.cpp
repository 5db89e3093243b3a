#include "EventOutputs.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include "CommandLine.h"
#include "Evaluation.h"
#include "MainVideo.h"
#include "MqttBridge.h"

namespace app {

namespace {

const QString defaultFolder = QStringLiteral("images");

} // namespace

QString saveFolderProblem(const QString& folder)
{
    if (folder.trimmed().isEmpty())
        return QStringLiteral("no folder is given");
    const QFileInfo info(folder);
    if (info.exists() && !info.isDir())
        return QStringLiteral("%1 is a file, not a folder").arg(folder);
    if (!info.exists() && !QDir().mkpath(folder))
        return QStringLiteral("%1 does not exist and cannot be made").arg(folder);
    // Permissions tell only part of it (a read-only file system, a full disk, a user who
    // may write anywhere): a file of our own is the real test.
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".write-test-XXXXXX")));
    if (!probe.open())
        return QStringLiteral("%1 cannot be written to (%2)").arg(folder, probe.errorString());
    return {};
}

QString brokerProblem(const QString& broker)
{
    QString why;
    if (broker.trimmed().isEmpty() || parseBrokerAddress(broker.trimmed(), why))
        return {};
    return QStringLiteral("The MQTT broker %1; write HOST or HOST:PORT, or nothing for none.").arg(why);
}

EventOutputs::EventOutputs(TVideo& video) : QObject(&video), video_(video) {}

EventOutputs::~EventOutputs() = default;

void EventOutputs::restore(const QString& saveFolder, const QString& broker)
{
    if (!saveFolder.isEmpty())
        useSaveFolder(saveFolder);
    saveFolder_ = saveFolder;
    broker_ = broker;
    connectBroker();
}

QString EventOutputs::saveFolderPath() const
{
    return QDir(saveFolder_.isEmpty() ? defaultFolder : saveFolder_).absolutePath();
}

bool EventOutputs::setSaveFolder(const QString& folder, QString& error)
{
    const QString problem = saveFolderProblem(folder);
    if (!problem.isEmpty()) {
        error = QStringLiteral("The save folder cannot be used: %1. It stays %2.").arg(problem, saveFolderPath());
        return false;
    }
    saveFolder_ = QDir(folder).absolutePath();
    useSaveFolder(saveFolder_);
    return true;
}

void EventOutputs::useSaveFolder(const QString& folder)
{
    if (video_.evaluation())
        video_.evaluation()->setSaveFolder(folder.toStdString());
    video_.setEventFolder(folder);
}

bool EventOutputs::setBroker(const QString& text, QString& error)
{
    const QString problem = brokerProblem(text);
    if (!problem.isEmpty()) {
        error = problem;
        return false;
    }
    const QString broker = text.trimmed();
    if (broker == broker_)
        return true;
    broker_ = broker;
    connectBroker();
    if (broker_.isEmpty())
        emit statusText(QStringLiteral("Events are no longer published to an MQTT broker"));
    return true;
}

void EventOutputs::setCamera(const QString& name)
{
    camera_ = name;
    if (mqtt_)
        mqtt_->setCamera(name);
}

void EventOutputs::connectBroker()
{
    delete mqtt_; // says offline to the old broker
    mqtt_ = nullptr;
    QString error;
    const std::optional<BrokerAddress> address =
        broker_.isEmpty() ? std::nullopt : parseBrokerAddress(broker_, error);
    if (!address || !video_.eventWatcher())
        return;
    mqtt_ = new MqttBridge(*address, *video_.eventWatcher(), {}, this);
    connect(mqtt_, &MqttBridge::statusText, this, &EventOutputs::statusText);
    // Topics are named after the camera: without a session yet, the bridge waits for one.
    if (!camera_.isEmpty())
        mqtt_->setCamera(camera_);
}

} // namespace app
