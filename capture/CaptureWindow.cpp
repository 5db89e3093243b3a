#include "CaptureWindow.h"

#include <chrono>

#include <QPainter>
#include <QPointer>

#include "ClipboardFrame.h"
#include "FrameClipboard.h"

namespace capture {

namespace {
// A grab waits this long for a frame newer than the last one grabbed; while the source
// connects, as long as connecting may take.
constexpr std::chrono::milliseconds grabTimeout{2000};
constexpr std::chrono::milliseconds connectWait{12000};

LiveSource* givenSource = nullptr;

} // namespace

void CaptureWindow::showSource(LiveSource* source)
{
    givenSource = source;
}

CaptureWindow::CaptureWindow(QWidget* parent, const QString& caption)
    : QWidget(parent), own_(givenSource ? nullptr : std::make_unique<LiveSource>()),
      source_(givenSource ? *givenSource : *own_)
{
    setWindowTitle(caption);
    setAttribute(Qt::WA_OpaquePaintEvent);
    QObject::connect(&previewTimer_, &QTimer::timeout, this, &CaptureWindow::showNewest);
    QObject::connect(&source_, &LiveSource::frameArrived, this, [this] {
        if (mode_ == Mode::Overlay)
            showNewest();
    });
    QObject::connect(&source_, &LiveSource::statusChanged, this,
                     [this](int id, const QString& text) { report(id, text.toStdString()); });
}

CaptureWindow::~CaptureWindow()
{
    disconnectDriver(); // the source stops handing frames over before the widget goes
}

void CaptureWindow::report(std::int32_t id, const std::string& text)
{
    if (callback_)
        callback_(this, id, text.c_str());
}

void CaptureWindow::reportNotLive(const std::string& what)
{
    switch (source_.state()) {
    case LiveSource::State::Closed:
        if (source_.failure().empty())
            report(statusNoDriver, what + "No camera");
        else
            report(statusError, what + source_.statusText().toStdString());
        break;
    case LiveSource::State::Connecting: report(statusError, what + "Connecting to " + source_.name()); break;
    case LiveSource::State::Running: report(statusNoFrame, what + "No frames arrive from the video source"); break;
    case LiveSource::State::Reconnecting:
    case LiveSource::State::Stopped: report(source_.statusId(), what + source_.statusText().toStdString()); break;
    }
}

void CaptureWindow::connectDriver(const Driver& driver)
{
    disconnectDriver();
    source_.open(driver);
}

void CaptureWindow::disconnectDriver()
{
    previewTimer_.stop();
    source_.close();
    mode_ = Mode::None;
    grab_ = Grab::Never;
    lastGrabbed_ = 0;
}

void CaptureWindow::showNewest()
{
    if (source_.state() == LiveSource::State::Closed)
        return;
    current_ = source_.newest();
    showingStill_ = false;
    update();
}

void CaptureWindow::setPreview(bool on)
{
    if (!on) {
        if (mode_ == Mode::Preview)
            mode_ = Mode::None;
        previewTimer_.stop();
        return;
    }
    mode_ = Mode::Preview;
    previewTimer_.start(previewRate_);
    showNewest();
    if (source_.flowing())
        report(statusLiveWindow, "Live window");
    else
        reportNotLive();
}

void CaptureWindow::setOverlay(bool on)
{
    if (!on) {
        if (mode_ == Mode::Overlay)
            mode_ = Mode::None;
        return;
    }
    previewTimer_.stop();
    mode_ = Mode::Overlay;
    showNewest();
    if (source_.flowing())
        report(statusOverlayWindow, "Overlay window");
    else
        reportNotLive();
}

void CaptureWindow::setPreviewRate(int milliseconds)
{
    previewRate_ = milliseconds;
    if (previewTimer_.isActive())
        previewTimer_.start(previewRate_);
}

void CaptureWindow::setScale(bool on)
{
    scale_ = on;
    update();
}

bool CaptureWindow::grab()
{
    if (source_.state() == LiveSource::State::Closed)
        return false;
    previewTimer_.stop();
    mode_ = Mode::None;
    // A source that is connecting (a format change) gets its connect time; a running one
    // the grab's. The wait handles events, so this window may go while it runs.
    const bool connecting = source_.state() == LiveSource::State::Connecting;
    const QPointer<CaptureWindow> self(this);
    LiveSource::Frame frame;
    platform::waitHandlingEvents(
        &source_,
        [&] {
            if (!self)
                return true;
            const LiveSource::State state = source_.state();
            frame = state == LiveSource::State::Running ? source_.newest() : LiveSource::Frame{};
            return frame.number > lastGrabbed_ ||
                   (state != LiveSource::State::Running && state != LiveSource::State::Connecting);
        },
        connecting ? connectWait : grabTimeout);
    if (!self)
        return false;
    // Frames that came before the source was lost are not handed over as new.
    if (frame.number <= lastGrabbed_) {
        grab_ = Grab::Failed;
        still_ = {};
        showingStill_ = true;
        update();
        if (source_.state() == LiveSource::State::Running)
            report(statusNoFrame, "No frame from the video source");
        else
            reportNotLive();
        return false;
    }
    grab_ = Grab::Got;
    lastGrabbed_ = frame.number;
    still_ = frame;
    showingStill_ = true;
    update();
    return true;
}

bool CaptureWindow::copyToClipboard() const
{
    switch (grab_) {
    case Grab::Got:
        platform::frameClipboard().setFrame(still_);
        return true;
    case Grab::Failed:
        platform::frameClipboard().clear();
        return false;
    case Grab::Never: break;
    }
    return false;
}

QImage CaptureWindow::shownImage() const
{
    return platform::sharedImage(showingStill_ ? still_.pixels : current_.pixels);
}

void CaptureWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    const QImage image = shownImage();
    if (image.isNull())
        return;
    if (scale_)
        painter.drawImage(rect(), image);
    else
        painter.drawImage(QPoint(0, 0), image);
}

} // namespace capture
