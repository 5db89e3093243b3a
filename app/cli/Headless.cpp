#include "Headless.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <functional>
#include <optional>
#include <utility>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <QTimer>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "CameraRoster.h"
#include "CameraSetup.h"
#include "CaptureDrivers.h"
#include "Cycle.h"
#include "Event.h"
#include "EventReport.h"
#include "MqttBridge.h"
#include "MqttPublisher.h"
#include "QuitSignals.h"
#include "Session.h"
#include "WebPage.h"

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

// A source that can never work (a typing error, an element that does not exist, a sink)
// is told at the start rather than tried again for ever; empty when it may work.
QString unusableSource(const platform::Driver& driver)
{
    std::string problem;
    bool unusable = false;
    if (!platform::makeSourceElement(driver, problem, &unusable) && unusable)
        return QString::fromStdString(problem);
    return {};
}

} // namespace

// One camera of a headless run: its session, its evaluation period and its lines. A camera
// of a list that is not there yet is looked for again after the same growing pauses a lost
// source waits before it reconnects.
class HeadlessCamera : public QObject, public watch::CycleListener {
public:
    using Lines = std::function<void(const QByteArray& line)>;

    // `label` names the camera in every line and message; empty when it is the only one.
    HeadlessCamera(QString label, const Settings& settings, bool logCycles, Lines lines)
        : label_(std::move(label)), settings_(settings), logCycles_(logCycles), lines_(std::move(lines))
    {
        session_.addListener(this);
        timer_.setInterval(std::max(1, settings_.capturingPeriod));
        connect(&timer_, &QTimer::timeout, this, &HeadlessCamera::evaluate);
        connect(&session_.source(), &platform::LiveSource::statusChanged, this,
                [this](int, const QString& text) { say(text); });
        connect(&session_.events(), &events::EventWatcher::eventStarted, this, &HeadlessCamera::eventStarted);
        connect(&session_.events(), &events::EventWatcher::eventEnded, this, &HeadlessCamera::eventEnded);
        connect(&session_, &watch::Session::statusText, this, [this](const QString& text) { say(text); });
        lookAgain_.setSingleShot(true);
        connect(&lookAgain_, &QTimer::timeout, this, &HeadlessCamera::lookForCamera);
    }
    ~HeadlessCamera() override
    {
        stop();
        session_.evaluation().removeListener(this);
    }

    watch::Session& session() { return session_; }
    const QString& label() const { return label_; }

    // Sets up the detection, the folder and the broker; a folder that cannot keep events
    // is told, and the camera is watched all the same.
    void prepare(const QString& folder)
    {
        QString warning;
        if (!session_.useDetection(detectionFromNames(settings_.detection), settings_.maskFile, warning))
            say(warning);
        // The limits of the save folder, the rolls and the commands hold without windows too.
        session_.events().setSettings(settings_.events);
        // No broker checks here: the command line and the settings file refused malformed ones.
        session_.setDiscoveryPrefix(settings_.mqttDiscoveryPrefix);
        session_.restore(folder, settings_.mqtt);
        QString eventError;
        if (label_.isEmpty() || watch::saveFolderProblem(folder).isEmpty()) {
            if (!session_.openRecords(eventError))
                say(QStringLiteral("events are not kept: %1").arg(eventError));
        } else {
            say(QStringLiteral("events are not kept: %1").arg(watch::saveFolderProblem(folder)));
        }
        platform::LiveSource& source = session_.source();
        // The evaluation takes one frame a period: no more are decoded. A little less than
        // the period, so that each cycle still finds a new frame.
        source.setFrameInterval(std::chrono::milliseconds(timer_.interval() * 3 / 4));
        // A camera that is not there yet (a service started at boot) is waited for.
        source.setRetryFirstConnect(true);
    }

    // Watches `driver` from now on.
    void watch(const platform::Driver& driver)
    {
        session_.source().open(driver);
        if (const watch::MqttBridge* mqtt = session_.mqtt())
            say(QStringLiteral("publishing events to %1 on %2")
                    .arg(settings_.mqtt, QString::fromStdString(mqtt->publisher()->eventTopic())));
        say(QStringLiteral("watching \"%1\" every %2 ms, detection %3; events in %4")
                .arg(QString::fromStdString(driver.name))
                .arg(timer_.interval())
                .arg(session_.evaluation().detection().settings().anyOn() ? "on" : "off")
                .arg(session_.saveFolderPath()));
        timer_.start();
        running_ = true;
    }

    // Watches the camera of a list as soon as it is there; `firstTried` is called once its
    // first connection succeeded or failed, or it was not there.
    void watchWhenThere(const CameraSettings& camera, std::function<void()> firstTried)
    {
        camera_ = camera;
        firstTried_ = std::move(firstTried);
        connect(&session_.source(), &platform::LiveSource::stateChanged, this, [this] {
            if (session_.source().state() != platform::LiveSource::State::Connecting)
                tried();
        });
        lookForCamera();
    }

    void stop()
    {
        lookAgain_.stop();
        if (!running_)
            return;
        running_ = false;
        timer_.stop();
        session_.finish(); // the open event ends; its clip is completed before the program ends
        session_.source().close();
        say(QStringLiteral("stopped after %1 evaluations and %2 events").arg(evaluations_).arg(events_));
    }

private:
    void lookForCamera()
    {
        if (const std::optional<platform::Driver> driver = findCamera(camera_)) {
            watch(*driver);
            return;
        }
        tried();
        const std::chrono::milliseconds pause = platform::reconnectDelay(++missing_);
        say(QStringLiteral("the camera \"%1\" is not there; looking again in %2 s")
                .arg(camera_.camera.isEmpty() ? camera_.name : camera_.camera)
                .arg(pause.count() / 1000));
        lookAgain_.start(pause);
    }

    void tried()
    {
        if (firstTried_)
            std::exchange(firstTried_, {})();
    }

    void evaluate()
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

    void cycleEvaluated(const watch::Cycle& cycle) override
    {
        ++evaluations_;
        if (logCycles_)
            line(watch::cycleJson(cycle));
        const std::string saveError =
            cycle.saveError.empty() ? "" : cycle.saveError + ": " + cycle.saveErrorReason;
        if (!saveError.empty() && saveError != lastSaveError_)
            say(QString::fromStdString(saveError));
        lastSaveError_ = saveError;
    }

    void eventStarted(const events::Event& event)
    {
        ++events_;
        line(watch::eventStartJson(event, session_.savedFrames()));
        say(QStringLiteral("movement: event %1 started, %2 pixels changed").arg(event.id).arg(event.peakCount));
    }

    void eventEnded(const events::Event& event)
    {
        line(watch::eventEndJson(event, session_.savedFrames()));
        say(QStringLiteral("event %1 ended after %2 moving evaluations, at most %3 pixels")
                .arg(event.id)
                .arg(event.movingCycles)
                .arg(event.peakCount));
    }

    // A line of one camera among several opens with its name, so one stream tells them apart.
    void line(const QByteArray& json)
    {
        if (label_.isEmpty() || !json.startsWith('{')) {
            lines_(json);
            return;
        }
        const QByteArray name = QJsonDocument(QJsonArray{label_}).toJson(QJsonDocument::Compact).chopped(1).mid(1);
        lines_("{\"camera\":" + name + (json.size() > 2 ? "," : "") + json.mid(1));
    }

    // The source's own reports may name the camera already.
    void say(const QString& text)
    {
        progress(label_.isEmpty() || text.startsWith(label_ + ": ") ? text : label_ + ": " + text);
    }

    QString label_;
    Settings settings_;
    bool logCycles_;
    Lines lines_;
    watch::Session session_;
    QTimer timer_;
    CameraSettings camera_;
    QTimer lookAgain_;
    std::function<void()> firstTried_;
    int missing_ = 0;
    std::uint64_t lastFrame_ = 0;
    std::int64_t evaluations_ = 0;
    int events_ = 0;
    std::string lastSaveError_;
    bool running_ = false;
};

Headless::Headless(const Settings& settings, const Options& options) : settings_(settings), options_(options) {}

Headless::~Headless()
{
    stop();
}

bool Headless::start(QString& error, int& status)
{
    status = 1;
    if (!(watchesList(settings_, options_) ? startList(error, status) : startOne(error, status)))
        return false;
    watchOutput();
    running_ = true;
    return true;
}

bool Headless::startOne(QString& error, int& status)
{
    std::vector<platform::Driver> drivers = platform::findDrivers();
    if (drivers.empty()) {
        error = QStringLiteral("Video: no camera to watch (see --list-cameras, --camera and --source).");
        return false;
    }
    const platform::Driver& driver = drivers.front();
    if (const QString problem = unusableSource(driver); !problem.isEmpty()) {
        error = QStringLiteral("Video: ") + problem;
        status = badArgumentsExit;
        return false;
    }
    auto camera = std::make_unique<HeadlessCamera>(QString(), settings_, options_.logCycles,
                                                   [this](const QByteArray& line) { writeLine(line); });
    camera->prepare(settings_.saveDir);
    camera->watch(driver);
    if (QString::fromStdString(driver.name) == settings_.camera)
        new CameraSetup(camera->session().source(), settings_.cameraFormat, settings_.cameraControls, camera.get());
    cameras_.push_back(std::move(camera));
    return true;
}

bool Headless::startList(QString& error, int& status)
{
    const std::vector<RosterCamera> roster = rosterOf(settings_, options_, error);
    if (roster.empty()) {
        error = QStringLiteral("Video: ") + error;
        status = badArgumentsExit;
        return false;
    }
    // Every description is checked before any camera starts: a list with a typing error
    // in it is told at once, as a single source would be.
    for (const RosterCamera& r : roster) {
        if (r.camera.source.isEmpty())
            continue;
        if (const QString problem = unusableSource(*findCamera(r.camera)); !problem.isEmpty()) {
            error = QStringLiteral("Video: %1: %2").arg(r.camera.name, problem);
            status = badArgumentsExit;
            return false;
        }
    }
    const bool several = roster.size() > 1;
    for (const RosterCamera& r : roster) {
        auto camera = std::make_unique<HeadlessCamera>(several ? r.camera.name : QString(), r.settings,
                                                       options_.logCycles,
                                                       [this](const QByteArray& line) { writeLine(line); });
        camera->prepare(r.folder);
        cameras_.push_back(std::move(camera));
    }
    roster_ = roster;
    QMetaObject::invokeMethod(this, [this] { startCamera(0); }, Qt::QueuedConnection); // once running

    return true;
}

void Headless::startCamera(std::size_t index)
{
    // One camera after the other: the first connections load GStreamer's plugins, and
    // several at once were seen never to connect under the sanitizers' full stack traces.
    // A camera that is not there or does not answer holds the next one up by its connect
    // timeout at most.
    if (index < cameras_.size() && running_)
        cameras_[index]->watchWhenThere(roster_[index].camera, [this, index] {
            QMetaObject::invokeMethod(this, [this, index] { startCamera(index + 1); }, Qt::QueuedConnection);
        });
}

void Headless::stop()
{
    if (!running_)
        return;
    running_ = false;
    for (const auto& camera : cameras_)
        camera->stop();
}

void Headless::showOn(WebPage& page)
{
    for (const auto& camera : cameras_)
        page.serve(camera->session(), [] { return true; }, camera->label());
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
    // Before any camera starts: a port in use is told at once.
    WebPage page;
    if (!page.use(settings.http, error)) {
        std::fprintf(stderr, "Video: %s\n", error.toLocal8Bit().constData());
        return badArgumentsExit;
    }
    int status = 0;
    if (!headless.start(error, status)) {
        std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
        return status;
    }
    headless.showOn(page);
    if (page.server())
        progress(QStringLiteral("the web page is on %1").arg(page.address()));
    QuitSignals quit([&headless] {
        headless.stop();
        QCoreApplication::quit();
    });
    return application.exec();
}

} // namespace app
