#include "Headless.h"

#include <csignal>
#include <cstdio>
#include <exception>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "CameraSetup.h"
#include "CaptureDrivers.h"
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

} // namespace

Headless::Headless(const Settings& settings, const Options& options)
    : settings_(settings), logCycles_(options.logCycles)
{
    session_.addListener(this);
    timer_.setInterval(std::max(1, settings_.capturingPeriod));
    connect(&timer_, &QTimer::timeout, this, &Headless::evaluate);
    platform::LiveSource& source = session_.source();
    connect(&source, &platform::LiveSource::statusChanged, this, [](int, const QString& text) { progress(text); });
    connect(&session_.events(), &events::EventWatcher::eventStarted, this, &Headless::eventStarted);
    connect(&session_.events(), &events::EventWatcher::eventEnded, this, &Headless::eventEnded);
    connect(&session_, &watch::Session::statusText, this, [](const QString& text) { progress(text); });
}

Headless::~Headless()
{
    stop();
    session_.evaluation().removeListener(this);
}

bool Headless::start(QString& error, int& status)
{
    status = 1;
    std::vector<platform::Driver> drivers = platform::findDrivers();
    if (drivers.empty()) {
        error = QStringLiteral("Video: no camera to watch (see --list-cameras, --camera and --source).");
        return false;
    }
    const QString name = QString::fromStdString(drivers.front().name);
    // A source that can never work (a typing error, an element that does not exist, a
    // sink) is told now rather than tried again for ever.
    std::string problem;
    bool unusable = false;
    if (!platform::makeSourceElement(drivers.front(), problem, &unusable) && unusable) {
        error = QStringLiteral("Video: ") + QString::fromStdString(problem);
        status = badArgumentsExit;
        return false;
    }

    QString warning;
    if (!session_.useDetection(detectionFromNames(settings_.detection), settings_.maskFile, warning))
        progress(warning);
    // The limits of the save folder, the rolls and the commands hold without windows too.
    session_.events().setSettings(settings_.events);
    // No broker checks here: the command line and the settings file refused malformed ones.
    session_.setDiscoveryPrefix(settings_.mqttDiscoveryPrefix);
    session_.restore(settings_.saveDir, settings_.mqtt);
    QString eventError;
    if (!session_.openRecords(eventError))
        progress(QStringLiteral("events are not kept: %1").arg(eventError));
    platform::LiveSource& source = session_.source();
    // The evaluation takes one frame a period: no more are decoded. A little less than
    // the period, so that each cycle still finds a new frame.
    source.setFrameInterval(std::chrono::milliseconds(timer_.interval() * 3 / 4));
    // A camera that is not there yet (a service started at boot) is waited for.
    source.setRetryFirstConnect(true);
    source.open(drivers.front());
    if (name == settings_.camera)
        new CameraSetup(source, settings_.cameraFormat, settings_.cameraControls, this);

    if (const watch::MqttBridge* mqtt = session_.mqtt())
        progress(QStringLiteral("publishing events to %1 on %2")
                     .arg(settings_.mqtt, QString::fromStdString(mqtt->publisher()->eventTopic())));
    progress(QStringLiteral("watching \"%1\" every %2 ms, detection %3; events in %4")
                 .arg(name)
                 .arg(timer_.interval())
                 .arg(session_.evaluation().detection().settings().anyOn() ? "on" : "off")
                 .arg(session_.saveFolderPath()));
    timer_.start();
    watchOutput();
    running_ = true;
    return true;
}

void Headless::stop()
{
    if (!running_)
        return;
    running_ = false;
    timer_.stop();
    session_.finish(); // the open event ends; its clip is completed before the program ends
    session_.source().close();
    progress(QStringLiteral("stopped after %1 evaluations and %2 events").arg(evaluations_).arg(events_));
}

void Headless::evaluate()
{
    const analysis::Frame frame = session_.source().newest();
    if (frame.number == 0 || frame.number == lastFrame_)
        return; // nothing new to compare
    lastFrame_ = frame.number;
    watch::CycleSettings cycleSettings;
    cycleSettings.threshold = static_cast<std::uint8_t>(settings_.pixelVariations);
    cycleSettings.minimalMovement = settings_.minimalMovement;
    // Nobody sits at a machine watched without windows: the events and their lines stand for the beep.
    cycleSettings.beepOnMove = false;
    cycleSettings.saveOnMove = settings_.saveOnMove;
    session_.evaluation().evaluate(frame, cycleSettings);
}

void Headless::cycleEvaluated(const watch::Cycle& cycle)
{
    ++evaluations_;
    if (logCycles_)
        writeLine(watch::cycleJson(cycle));
    const std::string saveError = cycle.saveError.empty() ? "" : cycle.saveError + ": " + cycle.saveErrorReason;
    if (!saveError.empty() && saveError != lastSaveError_)
        progress(QString::fromStdString(saveError));
    lastSaveError_ = saveError;
}

void Headless::eventStarted(const events::Event& event)
{
    ++events_;
    writeLine(watch::eventStartJson(event, session_.savedFrames()));
    progress(QStringLiteral("movement: event %1 started, %2 pixels changed").arg(event.id).arg(event.peakCount));
}

void Headless::eventEnded(const events::Event& event)
{
    writeLine(watch::eventEndJson(event, session_.savedFrames()));
    progress(QStringLiteral("event %1 ended after %2 moving evaluations, at most %3 pixels")
                 .arg(event.id)
                 .arg(event.movingCycles)
                 .arg(event.peakCount));
}

void Headless::writeLine(const QByteArray& line)
{
    if (!outputGone_ && !output(line))
        outputClosed();
}

void Headless::watchOutput()
{
    // A pipe's write end says POLLERR as soon as its reader goes, which the notifier takes
    // as readable: the reader leaving is seen at once, not at the next line, which may be
    // an event hours away. Other outputs (a terminal may be readable) are left alone.
    struct stat status = {};
    if (fstat(STDOUT_FILENO, &status) != 0 || !S_ISFIFO(status.st_mode))
        return;
    outputWatch_ = new QSocketNotifier(STDOUT_FILENO, QSocketNotifier::Read, this);
    connect(outputWatch_, &QSocketNotifier::activated, this, [this] {
        pollfd out = {STDOUT_FILENO, 0, 0};
        if (poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)))
            outputClosed();
    });
}

void Headless::outputClosed()
{
    // A reader that stopped reading (`| head -1`, a closed pipe) ends the watching as
    // SIGTERM does, with the open event and its clip finished, rather than the process
    // dying of SIGPIPE in the middle of them.
    if (outputWatch_)
        outputWatch_->setEnabled(false);
    if (outputGone_)
        return;
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
    int status = 0;
    if (!headless.start(error, status)) {
        std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
        return status;
    }
    QuitSignals quit([&headless] {
        headless.stop();
        QCoreApplication::quit();
    });
    return application.exec();
}

} // namespace app
