#include "Session.h"

#include <exception>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include "Broker.h"
#include "CaptureStatus.h"
#include "MqttBridge.h"
#include "Notifier.h"

namespace watch {

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

Session::Session(QObject* parent)
    : QObject(parent), events_(new events::EventWatcher(this)), feed_(*events_)
{
    // The saved frame of a cycle is noted before the events hear of the cycle.
    evaluation_.addListener(this);
    evaluation_.addListener(&feed_);
    evaluation_.setSaveFolder(defaultFolder.toStdString());
    // A frame goes into the save folder only once the folder's limits leave room for it.
    evaluation_.setRoomForSave([this](std::int64_t bytes) { return events_->makeRoom(bytes); });
    // Every packet of the source's clip stream goes to the pre-event buffer; a raw
    // source encodes that stream only while clips are recorded.
    source_.addPacketTap(events_->packetTap());
    source_.setClipsWanted(events_->clipsWanted());
    connect(events_, &events::EventWatcher::clipsWantedChanged, &source_, &platform::LiveSource::setClipsWanted);
    connect(&source_, &platform::LiveSource::stateChanged, this, &Session::sourceChanged);
    // A new format stops the source for a moment: that is no end of the movement.
    connect(&source_, &platform::LiveSource::statusChanged, this, [this](int id) {
        if (id == platform::statusChangingFormat)
            events_->setSourcePaused(true);
    });
    connect(events_, &events::EventWatcher::statusText, this, &Session::statusText);
}

Session::~Session()
{
    source_.close();
    evaluation_.removeListener(&feed_);
    evaluation_.removeListener(this);
    // While the rest of the session is still there, the watcher waits for the clips being
    // written (the program ends) and tells the ends of their events, which the broker hears.
    events_->close();
    delete mqtt_;
    delete events_;
}

void Session::addListener(CycleListener* listener)
{
    evaluation_.removeListener(&feed_);
    evaluation_.addListener(listener);
    evaluation_.addListener(&feed_);
}

bool Session::useDetection(const analysis::DetectionSettings& settings, const QString& maskFile, QString& warning)
{
    evaluation_.detection().setSettings(settings);
    if (maskFile.isEmpty())
        return true;
    try {
        evaluation_.detection().loadMask(maskFile.toStdString());
    } catch (const std::exception& e) {
        warning = QStringLiteral("watching without a mask: %1").arg(QString::fromLocal8Bit(e.what()));
        return false;
    }
    return true;
}

void Session::restore(const QString& saveFolder, const QString& broker)
{
    saveFolder_ = saveFolder;
    useFolder();
    broker_ = broker;
    connectBroker();
}

QString Session::saveFolderPath() const
{
    return QDir(saveFolder_.isEmpty() ? defaultFolder : saveFolder_).absolutePath();
}

bool Session::setSaveFolder(const QString& folder, QString& error)
{
    const QString problem = saveFolderProblem(folder);
    if (!problem.isEmpty()) {
        error = QStringLiteral("The save folder cannot be used: %1. It stays %2.").arg(problem, saveFolderPath());
        return false;
    }
    saveFolder_ = QDir(folder).absolutePath();
    useFolder();
    return true;
}

void Session::setRecording(bool on)
{
    recording_ = on;
    useFolder();
}

bool Session::openRecords(QString& error)
{
    recording_ = true;
    useFolder();
    return events_->open(saveFolderPath(), error);
}

void Session::useFolder()
{
    // Saved frames go where the user said even while events keep no records: the
    // evaluation uses the folder as given, relative ones below the working directory.
    evaluation_.setSaveFolder((saveFolder_.isEmpty() ? defaultFolder : saveFolder_).toStdString());
    events_->setFolder(recording_ ? saveFolderPath() : QString());
    emit saveFolderChanged(saveFolderPath());
}

bool Session::setBroker(const QString& text, QString& error)
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

void Session::connectBroker()
{
    delete mqtt_; // says offline to the old broker
    mqtt_ = nullptr;
    QString error;
    const std::optional<BrokerAddress> address =
        broker_.isEmpty() ? std::nullopt : parseBrokerAddress(broker_, error);
    if (!address)
        return;
    mqtt_ = new MqttBridge(*address, discoveryPrefix_, *events_, [this] { return savedFrames(); }, this);
    connect(mqtt_, &MqttBridge::statusText, this, &Session::statusText);
    nameTopics();
}

void Session::sourceChanged()
{
    if (source_.state() != platform::LiveSource::State::Connecting)
        events_->setSourcePaused(false);
    nameTopics();
    events_->notifier().setCamera(QString::fromStdString(source_.name()));
}

void Session::nameTopics()
{
    // Topics are named after the camera: before a source was opened, the bridge waits.
    if (mqtt_ && !source_.name().empty())
        mqtt_->setCamera(QString::fromStdString(source_.name()));
}

void Session::cycleEvaluated(const Cycle& cycle)
{
    if (mqtt_)
        mqtt_->cycleEvaluated(cycle);
    if (!events_->eventOpen())
        savedFrameCount_ = 0;
    if (!cycle.savedFile.empty())
        ++savedFrameCount_;
    if (!cycle.saveSkipped.empty())
        events_->writeSkipped(QString::fromStdString(cycle.saveSkipped));
}

SavedFrames Session::savedFrames() const
{
    return {savedFrameCount_, QDir(QString::fromStdString(evaluation_.saveFolder())).absolutePath().toStdString()};
}

void Session::finish()
{
    events_->finish();
}

} // namespace watch
