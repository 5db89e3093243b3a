#include "CaptureWindow.h"

#include <chrono>

#include <QPainter>

#include "CapturePipeline.h"
#include "FrameClipboard.h"

namespace platform {

namespace {
// A grab waits this long for a frame newer than the last one grabbed.
constexpr std::chrono::milliseconds grabTimeout{2000};
} // namespace

CaptureWindow::CaptureWindow(QWidget* parent, const QString& caption) : QWidget(parent)
{
    setWindowTitle(caption);
    setAttribute(Qt::WA_OpaquePaintEvent);
    QObject::connect(&previewTimer_, &QTimer::timeout, this, &CaptureWindow::showNewest);
    // Errors of a running source (a camera unplugged) are reported without waiting for
    // the next message to the window.
    QObject::connect(&busTimer_, &QTimer::timeout, this, &CaptureWindow::reportBus);
    busTimer_.setInterval(200);
}

CaptureWindow::~CaptureWindow()
{
    disconnectDriver(); // the pipeline's threads stop before the widget goes
}

void CaptureWindow::report(std::int32_t id, const std::string& text)
{
    if (callback_)
        callback_(this, id, text.c_str());
}

void CaptureWindow::reportBus()
{
    if (!pipeline_)
        return;
    for (const std::string& error : pipeline_->pollBus())
        report(statusError, error);
}

void CaptureWindow::connectDriver(std::unique_ptr<CapturePipeline> pipeline, const std::string& driverName)
{
    disconnectDriver();
    pipeline_ = std::move(pipeline);
    pipeline_->setFrameListener([this] {
        QMetaObject::invokeMethod(
            this, [this] { if (mode_ == Mode::Overlay) showNewest(); }, Qt::QueuedConnection);
    });
    busTimer_.start();
    report(statusConnected, "Connected to " + driverName);
}

void CaptureWindow::disconnectDriver()
{
    busTimer_.stop();
    previewTimer_.stop();
    pipeline_.reset();
    mode_ = Mode::None;
    grab_ = Grab::Never;
    lastGrabbed_ = 0;
}

void CaptureWindow::showNewest()
{
    if (!pipeline_)
        return;
    current_ = pipeline_->newest().image;
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
    report(statusLiveWindow, "Live window");
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
    report(statusOverlayWindow, "Overlay window");
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
    if (!pipeline_)
        return false;
    reportBus();
    previewTimer_.stop();
    mode_ = Mode::None;
    // Wait in slices: between them the bus is handled, which starts a file again at its
    // end and notices a source that failed.
    const auto deadline = std::chrono::steady_clock::now() + grabTimeout;
    CapturePipeline::Frame frame;
    while (frame.number == 0 && !pipeline_->stopped() && std::chrono::steady_clock::now() < deadline) {
        frame = pipeline_->waitNewer(lastGrabbed_, std::chrono::milliseconds(20));
        if (frame.number == 0)
            reportBus();
    }
    if (frame.number == 0) {
        grab_ = Grab::Failed;
        still_ = {};
        showingStill_ = true;
        update();
        report(statusNoFrame, "No frame from the video source");
        return false;
    }
    grab_ = Grab::Got;
    lastGrabbed_ = frame.number;
    still_ = frame.image;
    showingStill_ = true;
    update();
    return true;
}

bool CaptureWindow::copyToClipboard() const
{
    switch (grab_) {
    case Grab::Got:
        frameClipboard().setImage(still_);
        return true;
    case Grab::Failed:
        frameClipboard().clear();
        return false;
    case Grab::Never: break;
    }
    return false;
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

} // namespace platform
