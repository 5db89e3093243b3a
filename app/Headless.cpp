#include "Headless.h"

#include <csignal>
#include <cstdio>
#include <exception>

#include <QCoreApplication>
#include <QDir>

#include "CameraSetup.h"
#include "CaptureDrivers.h"
#include "EventFeed.h"
#include "EventReport.h"
#include "MqttBridge.h"
#include "MqttPublisher.h"
#include "QuitSignals.h"

namespace app {

namespace {

void progress(const QString& text)
{
    std::fprintf(stderr, "Video: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

// False when the line could not be written: the reader went away.
bool output(const QByteArray& line)
{
    const bool written = std::fwrite(line.constData(), 1, std::size_t(line.size()), stdout) ==
                             std::size_t(line.size()) &&
                         std::fputc('\n', stdout) != EOF;
    return std::fflush(stdout) == 0 && written; // a reader (a pipe, the journal) sees each line as it happens
}

QString saveFolder(const Settings& settings)
{
    return settings.saveDir.isEmpty() ? QStringLiteral("images") : settings.saveDir;
}

} // namespace

Headless::Headless(const Settings& settings, const Options& options)
    : settings_(settings), logCycles_(options.logCycles), feed_(watcher_)
{
    // This listener notes a cycle's saved frame before the events hear of the cycle.
    evaluation_.addListener(this);
    evaluation_.addListener(&feed_);
    if (!settings_.saveDir.isEmpty())
        evaluation_.setSaveFolder(settings_.saveDir.toStdString());
    evaluation_.detection().setSettings(detectionFromNames(settings_.detection));
    watcher_.setSettings(settings_.events);
    timer_.setInterval(std::max(1, settings_.capturingPeriod));
    connect(&timer_, &QTimer::timeout, this, &Headless::evaluate);
    connect(&source_, &platform::LiveSource::statusChanged, this,
            [](int, const QString& text) { progress(text); });
    connect(&watcher_, &events::EventWatcher::eventStarted, this, &Headless::eventStarted);
    connect(&watcher_, &events::EventWatcher::eventEnded, this, &Headless::eventEnded);
    connect(&watcher_, &events::EventWatcher::statusText, this, [](const QString& text) { progress(text); });
}

Headless::~Headless()
{
    stop();
    evaluation_.removeListener(&feed_);
    evaluation_.removeListener(this);
}

bool Headless::start(QString& error)
{
    std::vector<platform::Driver> drivers = platform::findDrivers();
    if (drivers.empty()) {
        error = QStringLiteral("Video: no camera to watch (see --list-cameras, --camera and --source).");
        return false;
    }
    const QString name = QString::fromStdString(drivers.front().name);

    if (!settings_.maskFile.isEmpty()) {
        try {
            evaluation_.detection().loadMask(settings_.maskFile.toStdString());
        } catch (const std::exception& e) {
            progress(QStringLiteral("watching without a mask: %1").arg(QString::fromStdString(e.what())));
        }
    }
    QString eventError;
    if (!watcher_.open(QDir(saveFolder(settings_)).absolutePath(), eventError))
        progress(QStringLiteral("events are not kept: %1").arg(eventError));
    source_.addPacketTap(watcher_.packetTap());
    source_.setClipsWanted(settings_.events.recordClips);
    // The evaluation takes one frame a period: no more are decoded. A little less than
    // the period, so that each cycle still finds a new frame.
    source_.setFrameInterval(std::chrono::milliseconds(timer_.interval() * 3 / 4));
    // A camera that is not there yet (a service started at boot) is waited for.
    source_.setRetryFirstConnect(true);
    source_.open(drivers.front());
    if (name == settings_.camera)
        new CameraSetup(source_, settings_.cameraFormat, settings_.cameraControls, this);

    if (!settings_.mqtt.isEmpty()) {
        QString brokerError;
        if (const std::optional<BrokerAddress> broker = parseBrokerAddress(settings_.mqtt, brokerError)) {
            mqtt_ = new MqttBridge(*broker, watcher_, [this] { return savedFrames_; }, this);
            connect(mqtt_, &MqttBridge::statusText, this, [](const QString& text) { progress(text); });
            mqtt_->setCamera(name);
            progress(QStringLiteral("publishing events to %1 on %2")
                         .arg(settings_.mqtt, QString::fromStdString(mqtt_->publisher()->eventTopic())));
        }
    }
    progress(QStringLiteral("watching \"%1\" every %2 ms, detection %3; events in %4")
                 .arg(name)
                 .arg(timer_.interval())
                 .arg(evaluation_.detection().settings().anyOn() ? "on" : "off")
                 .arg(QDir(saveFolder(settings_)).absolutePath()));
    timer_.start();
    return true;
}

void Headless::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    timer_.stop();
    watcher_.finish(); // the open event ends and its clip is written
    source_.close();
    delete mqtt_; // says offline to the broker
    mqtt_ = nullptr;
    progress(QStringLiteral("stopped after %1 evaluations and %2 events").arg(evaluations_).arg(events_));
}

void Headless::evaluate()
{
    const platform::LiveSource::Frame frame = source_.newest();
    if (frame.number == 0 || frame.number == lastFrame_)
        return; // nothing new to compare
    lastFrame_ = frame.number;
    watch::Frame taken = watch::frameFromImage(frame.image);
    if (taken.stream.empty())
        taken.stream = std::to_string(source_.stream());
    watch::CycleSettings cycleSettings;
    cycleSettings.threshold = static_cast<std::uint8_t>(settings_.pixelVariations);
    cycleSettings.minimalMovement = settings_.minimalMovement;
    // Nobody sits at a machine watched without windows: the events and their lines stand for the beep.
    cycleSettings.beepOnMove = false;
    cycleSettings.saveOnMove = settings_.saveOnMove;
    evaluation_.evaluate(std::move(taken), cycleSettings);
}

void Headless::cycleEvaluated(const watch::Cycle& cycle)
{
    ++evaluations_;
    if (logCycles_)
        writeLine(cycleJson(cycle));
    // The frames of the open event, or of the cycle that may start the next one.
    if (!watcher_.eventOpen())
        savedFrames_.clear();
    if (!cycle.savedFile.empty())
        savedFrames_.push_back(cycle.savedFile);
    const std::string saveError = cycle.saveError.empty() ? "" : cycle.saveError + ": " + cycle.saveErrorReason;
    if (!saveError.empty() && saveError != lastSaveError_)
        progress(QString::fromStdString(saveError));
    lastSaveError_ = saveError;
}

void Headless::eventStarted(const events::Event& event)
{
    ++events_;
    writeLine(eventStartJson(event, savedFrames_));
    progress(QStringLiteral("movement: event %1 started, %2 pixels changed").arg(event.id).arg(event.peakCount));
}

void Headless::eventEnded(const events::Event& event)
{
    writeLine(eventEndJson(event, savedFrames_));
    progress(QStringLiteral("event %1 ended after %2 moving evaluations, at most %3 pixels")
                 .arg(event.id)
                 .arg(event.movingCycles)
                 .arg(event.peakCount));
}

void Headless::writeLine(const QByteArray& line)
{
    if (outputGone_ || output(line))
        return;
    // A reader that stopped reading (`| head -1`, a closed pipe) ends the watching as
    // SIGTERM does, with the open event and its clip finished, rather than the process
    // dying of SIGPIPE in the middle of them.
    outputGone_ = true;
    progress(QStringLiteral("standard output was closed; ending"));
    QMetaObject::invokeMethod(
        this,
        [this] {
            stop();
            QCoreApplication::quit();
        },
        Qt::QueuedConnection);
}

int runHeadless(int argc, char** argv, const Settings& settings, const Options& options)
{
    // A closed standard output is told by the writes failing (see writeLine).
    std::signal(SIGPIPE, SIG_IGN);
    // From here on a signal waits for the event loop, which ends the watching cleanly.
    QuitSignals::catchSignals();
    QCoreApplication application(argc, argv);
    Headless headless(settings, options);
    QString error;
    if (!headless.start(error)) {
        std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
        return 1;
    }
    QuitSignals quit([&headless] {
        headless.stop();
        QCoreApplication::quit();
    });
    return application.exec();
}

} // namespace app
