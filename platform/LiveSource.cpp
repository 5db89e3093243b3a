#include "LiveSource.h"

#include <algorithm>
#include <atomic>

#include <QEventLoop>

#include "BackgroundThreads.h"
#include "CaptureStatus.h"
#include "Credentials.h"

namespace platform {

namespace {

using namespace std::chrono_literals;

// A connection that has run this long counts as sound: the next loss starts the pauses
// anew.
constexpr std::chrono::seconds soundConnection{30};
// Beyond the connect timeout, the connecting thread's own wait for the first frame ends
// a little before the source is given up, so that its reason is the one reported.
constexpr std::chrono::milliseconds giveUpMargin{500};

std::atomic<std::uint64_t> lastStream{0};
int waits = 0;

std::string seconds(std::chrono::milliseconds delay)
{
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(delay).count()) + " s";
}

// Ends a pipeline on a thread of its own: a source stuck in a read (a stale network
// mount) blocks its way to the null state, and nobody must wait for that.
void dispose(std::unique_ptr<CapturePipeline> pipeline)
{
    if (pipeline)
        BackgroundThreads::shared().run([p = std::shared_ptr<CapturePipeline>(std::move(pipeline))]() mutable {
            p.reset();
        });
}

} // namespace

std::chrono::milliseconds reconnectDelay(int failures)
{
    const int doublings = std::clamp(failures - 1, 0, 5);
    return std::min<std::chrono::milliseconds>(1000ms * (1 << doublings), 30s);
}

// One connecting thread's result. The thread hands it over only while the source still
// wants it; a source that gives up sets `abandoned`, and the thread ends the pipeline
// itself whenever it comes.
struct LiveSource::Attempt {
    std::mutex mutex;
    bool abandoned = false;
    std::atomic<bool> cancel{false};
    std::unique_ptr<CapturePipeline> pipeline;
    std::string error;
    bool unusable = false; // the description can never make a source
    std::uint64_t stream = 0;
};

LiveSource::LiveSource(QObject* parent) : QObject(parent)
{
    gst_init(nullptr, nullptr); // a program without capture windows has not yet
    giveUpTimer_.setSingleShot(true);
    reconnectTimer_.setSingleShot(true);
    connect(&giveUpTimer_, &QTimer::timeout, this, &LiveSource::giveUp);
    connect(&reconnectTimer_, &QTimer::timeout, this, [this] { startAttempt(Purpose::Reconnect); });
    stallTimer_.setSingleShot(true);
    connect(&stallTimer_, &QTimer::timeout, this, [this] {
        if (pipeline_)
            lost("No frames arrive from the video source");
    });
}

LiveSource::~LiveSource()
{
    close();
}

void LiveSource::setConnectTimeout(std::chrono::milliseconds timeout)
{
    connectTimeout_ = std::max(timeout, 100ms);
}

void LiveSource::open(const Driver& driver)
{
    close();
    driver_ = copyOf(driver);
    requested_.reset();
    failures_ = 0;
    failure_.clear();
    startAttempt(Purpose::First);
}

void LiveSource::close()
{
    abandonAttempt();
    reconnectTimer_.stop();
    dropPipeline();
    setState(State::Closed);
}

bool LiveSource::flowing() const
{
    if (state_ != State::Running)
        return false;
    const Frame frame = newest();
    return std::chrono::steady_clock::now().time_since_epoch() - std::chrono::nanoseconds(frame.arrivedNs) <
           connectTimeout_;
}

void LiveSource::startAttempt(Purpose purpose)
{
    abandonAttempt();
    purpose_ = purpose;
    setState(purpose == Purpose::Reconnect ? State::Reconnecting : State::Connecting);
    auto attempt = std::make_shared<Attempt>();
    attempt->stream = ++lastStream;
    attempt_ = attempt;
    LiveSource* self = this;
    auto shared = std::make_shared<gst::Caps>(requested_ ? gst_caps_ref(requested_.get()) : nullptr);
    const CaptureDemand demand{clipsWanted_, frameInterval_};
    BackgroundThreads::shared().run([attempt, self, driver = std::make_shared<Driver>(copyOf(driver_)), shared,
                                     timeout = connectTimeout_, demand] {
        const gst::Caps& caps = *shared;
        std::string error;
        bool unusable = false;
        gst::Element source = makeSourceElement(*driver, error, &unusable);
        std::unique_ptr<CapturePipeline> pipeline =
            source ? CapturePipeline::start(std::move(source), caps.get(), attempt->stream, timeout, attempt->cancel,
                                            error, demand)
                   : nullptr;
        {
            std::lock_guard lock(attempt->mutex);
            if (!attempt->abandoned) {
                attempt->pipeline = std::move(pipeline);
                attempt->error = error;
                attempt->unusable = unusable;
                // Abandoning takes the same lock first, so the source is still there and
                // removes this call with its other posted events if it goes.
                QMetaObject::invokeMethod(
                    self, [self, attempt] { self->attemptFinished(attempt); }, Qt::QueuedConnection);
                return;
            }
        }
        pipeline.reset(); // nobody wants it any more
    });
    giveUpTimer_.start(connectTimeout_ + giveUpMargin);
    if (purpose == Purpose::First)
        report(statusConnecting, "Connecting to " + driver_.name);
    else if (purpose == Purpose::Format)
        report(statusChangingFormat,
               "Changing the format of " + driver_.name + ": the picture stops for a moment, the watching goes on");
}

void LiveSource::abandonAttempt()
{
    giveUpTimer_.stop();
    if (!attempt_)
        return;
    std::unique_ptr<CapturePipeline> late;
    {
        std::lock_guard lock(attempt_->mutex);
        attempt_->abandoned = true;
        attempt_->cancel = true;
        late = std::move(attempt_->pipeline);
    }
    dispose(std::move(late));
    attempt_.reset();
}

void LiveSource::giveUp()
{
    abandonAttempt();
    const std::string reason = "the source does not answer; given up after " + seconds(connectTimeout_);
    if (purpose_ == Purpose::Reconnect)
        lost(reason);
    else
        failed(reason);
}

void LiveSource::attemptFinished(const std::shared_ptr<Attempt>& attempt)
{
    if (attempt != attempt_)
        return; // a late answer to an attempt given up
    giveUpTimer_.stop();
    std::unique_ptr<CapturePipeline> pipeline;
    std::string error;
    bool unusable = false;
    {
        std::lock_guard lock(attempt->mutex);
        pipeline = std::move(attempt->pipeline);
        error = attempt->error;
        unusable = attempt->unusable;
    }
    attempt_.reset();
    if (unusable) {
        // A description that does not parse or holds a sink stays so: no reconnecting.
        failure_ = withoutPasswords(error);
        setState(State::Stopped);
        report(statusError, driver_.name + ": " + error);
        return;
    }
    if (!pipeline) {
        if (purpose_ == Purpose::Reconnect)
            lost(error);
        else
            failed(error);
        return;
    }
    adopt(std::move(pipeline), attempt->stream);
}

void LiveSource::adopt(std::unique_ptr<CapturePipeline> pipeline, std::uint64_t stream)
{
    pipeline_ = std::move(pipeline);
    stream_ = stream;
    runningSince_ = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(frameMutex_);
        handedOver_ = 0;
    }
    onFrame(pipeline_->newest(), false);
    pipeline_->setFrameListener([this](const Frame& frame) { onFrame(frame, true); });
    pipeline_->setPacketListener([this](const Packet& packet) { onPacket(packet); });
    pipeline_->setClipsWanted(clipsWanted_);
    pipeline_->setFrameInterval(frameInterval_);
    // Errors and the end of a running source come as the bus's descriptor wakes the GUI
    // thread, without waiting for a request.
    GPollFD poll{};
    gst_bus_get_pollfd(pipeline_->bus(), &poll);
    busNotifier_ = std::make_unique<QSocketNotifier>(poll.fd, QSocketNotifier::Read);
    connect(busNotifier_.get(), &QSocketNotifier::activated, this, &LiveSource::checkPipeline);
    armStallTimer();
    const Purpose purpose = purpose_;
    setState(State::Running);
    switch (purpose) {
    case Purpose::First: report(statusConnected, "Connected to " + driver_.name); break;
    case Purpose::Reconnect: report(statusConnected, "Reconnected to " + driver_.name); break;
    case Purpose::Format:
        previous_.reset();
        report(statusConnected, "Connected to " + driver_.name + " in the new format");
        break;
    case Purpose::Restore:
        report(statusError, driver_.name + ": " + changeError_ + "; the previous format is back");
        break;
    }
}

void LiveSource::dropPipeline()
{
    stallTimer_.stop();
    if (busNotifier_) {
        // It may be the one calling now.
        busNotifier_->setEnabled(false);
        busNotifier_.release()->deleteLater();
    }
    if (!pipeline_)
        return;
    pipeline_->setFrameListener(nullptr);
    pipeline_->setPacketListener(nullptr);
    dispose(std::move(pipeline_));
}

void LiveSource::onFrame(const Frame& frame, bool tapped)
{
    std::vector<FrameTap> taps;
    bool notify = false;
    {
        std::lock_guard lock(frameMutex_);
        // The pipeline's newest frame, taken when it is adopted, may come once more
        // through the listener.
        if (frame.number <= handedOver_)
            return;
        handedOver_ = frame.number;
        const std::uint64_t number = newest_.number + 1; // counted across connections
        newest_ = frame;
        newest_.number = number;
        if (tapped)
            taps = taps_;
        notify = !std::exchange(notifyPending_, true);
    }
    frameArrived_.notify_all();
    for (const FrameTap& t : taps)
        t(frame);
    if (notify)
        QMetaObject::invokeMethod(
            this,
            [this] {
                {
                    std::lock_guard lock(frameMutex_);
                    notifyPending_ = false;
                }
                armStallTimer();
                emit frameArrived();
            },
            Qt::QueuedConnection);
}

void LiveSource::onPacket(const Packet& packet)
{
    std::vector<PacketTap> taps;
    {
        std::lock_guard lock(frameMutex_);
        taps = packetTaps_;
    }
    for (const PacketTap& tap : taps)
        tap(packet);
}

void LiveSource::armStallTimer()
{
    // Thinned frames come further apart.
    if (pipeline_)
        stallTimer_.start(connectTimeout_ + frameInterval_);
}

void LiveSource::checkPipeline()
{
    if (!pipeline_)
        return;
    const std::vector<std::string> errors = pipeline_->pollBus();
    if (!errors.empty())
        lost(errors.front());
    else if (pipeline_->stopped())
        lost("The video source has stopped");
}

void LiveSource::setClipsWanted(bool wanted)
{
    clipsWanted_ = wanted;
    if (pipeline_)
        pipeline_->setClipsWanted(wanted);
}

void LiveSource::setFrameInterval(std::chrono::milliseconds interval)
{
    frameInterval_ = std::max(interval, 0ms);
    if (pipeline_)
        pipeline_->setFrameInterval(frameInterval_);
}

void LiveSource::lost(const std::string& reason)
{
    dropPipeline();
    failure_ = withoutPasswords(reason);
    if (state_ == State::Running && std::chrono::steady_clock::now() - runningSince_ >= soundConnection)
        failures_ = 0;
    const std::chrono::milliseconds delay = reconnectDelay(++failures_);
    setState(State::Reconnecting);
    reconnectTimer_.start(delay);
    report(statusReconnecting, driver_.name + ": " + reason + "; reconnecting in " + seconds(delay));
}

void LiveSource::failed(const std::string& reason)
{
    switch (purpose_) {
    case Purpose::Format:
        // Back to the format that ran, in a new connection.
        changeError_ = reason;
        requested_ = std::move(previous_);
        startAttempt(Purpose::Restore);
        return;
    case Purpose::Restore:
        failure_ = changeError_ + "; the previous format failed too: " + reason;
        setState(State::Stopped);
        report(statusError, driver_.name + ": " + failure_ + "; the video source is stopped");
        return;
    case Purpose::First:
        if (retryFirst_) {
            lost(reason);
            return;
        }
        failure_ = withoutPasswords(reason);
        setState(State::Stopped);
        report(statusError, driver_.name + ": " + reason);
        return;
    case Purpose::Reconnect: lost(reason); return;
    }
}

void LiveSource::changeFormat(gst::Caps caps)
{
    if (state_ != State::Running)
        return;
    previous_ = std::move(requested_);
    requested_ = std::move(caps);
    dropPipeline(); // a camera opens once at a time
    startAttempt(Purpose::Format);
}

void LiveSource::setState(State state)
{
    if (state == state_)
        return;
    state_ = state;
    emit stateChanged();
}

void LiveSource::report(std::int32_t id, const std::string& text)
{
    statusId_ = id;
    // Whatever a source or GStreamer put into the text, no password leaves through it.
    statusText_ = QString::fromStdString(withoutPasswords(text));
    emit statusChanged(id, statusText_);
}

LiveSource::Frame LiveSource::newest() const
{
    std::lock_guard lock(frameMutex_);
    return newest_;
}

LiveSource::Frame LiveSource::waitNewer(std::uint64_t after, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(frameMutex_);
    if (!frameArrived_.wait_for(lock, timeout, [&] { return newest_.number > after; }))
        return {};
    return newest_;
}

void LiveSource::addFrameTap(FrameTap tap)
{
    std::lock_guard lock(frameMutex_);
    taps_.push_back(std::move(tap));
}

void LiveSource::addPacketTap(PacketTap tap)
{
    std::lock_guard lock(frameMutex_);
    packetTaps_.push_back(std::move(tap));
}

bool waitHandlingEvents(const LiveSource* source, const std::function<bool()>& done,
                        std::chrono::milliseconds timeout)
{
    struct Counted {
        Counted() { ++waits; }
        ~Counted() { --waits; }
    } counted;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    QEventLoop loop;
    if (source) {
        QObject::connect(source, &LiveSource::frameArrived, &loop, &QEventLoop::quit);
        QObject::connect(source, &LiveSource::stateChanged, &loop, &QEventLoop::quit);
        QObject::connect(source, &QObject::destroyed, &loop, &QEventLoop::quit);
    }
    QTimer slice;
    slice.setSingleShot(true);
    QObject::connect(&slice, &QTimer::timeout, &loop, &QEventLoop::quit);
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= 0ms)
            return false;
        slice.start(std::min(left, 20ms));
        loop.exec();
    }
    return true;
}

bool waitingOnSource()
{
    return waits > 0;
}

} // namespace platform
