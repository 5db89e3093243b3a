#include "GstCaptureService.h"

#include <chrono>
#include <cstring>

#include <QPointer>

#include "CaptureWindow.h"
#include "DriverDialogs.h"
#include "LiveSource.h"

namespace capture {

namespace {

// The longest wait for a connection: the source gives up on its own before.
constexpr std::chrono::seconds connectWait{12};
constexpr std::size_t maxCaptureFileName = 255;

CaptureService* installed = nullptr;

void copyText(const std::string& text, char* buffer, int size)
{
    if (!buffer || size <= 0)
        return;
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

} // namespace

CaptureService& captureService()
{
    if (installed)
        return *installed;
    static GstCaptureService service;
    return service;
}

void installCaptureService(CaptureService* service)
{
    installed = service;
}

GstCaptureService::GstCaptureService()
{
    gst_init(nullptr, nullptr);
}

CaptureWindow* GstCaptureService::createCaptureWindow(const char* caption, std::uint32_t style, int x, int y,
                                                      int width, int height, QWidget* parent, int /*id*/)
{
    if (!(style & windowChild) || !parent)
        return nullptr;
    auto* window = new CaptureWindow(parent, QString::fromUtf8(caption ? caption : ""));
    window->setGeometry(x, y, width, height);
    window->setVisible(style & windowVisible);
    return window;
}

bool GstCaptureService::driverDescription(std::uint16_t index, char* name, int nameSize, char* version,
                                          int versionSize)
{
    if (index > 9)
        return false;
    if (!scanned_) {
        drivers_ = platform::findDrivers();
        scanned_ = true;
    }
    if (index >= drivers_.size())
        return false;
    copyText(drivers_[index].name, name, nameSize);
    copyText("GStreamer " + std::to_string(GST_VERSION_MAJOR) + "." + std::to_string(GST_VERSION_MINOR), version,
             versionSize);
    return true;
}

void GstCaptureService::destroyWindow(CaptureWindow* window)
{
    delete window;
}

std::int32_t GstCaptureService::setCallbackOnStatus(CaptureWindow* window, StatusCallback callback)
{
    if (!window)
        return 0;
    window->setStatusCallback(callback);
    return 1;
}

std::int32_t GstCaptureService::driverConnect(CaptureWindow* window, std::uint16_t index)
{
    if (!window || index > 9)
        return 0;
    // Index 0 starts a new scan, which sees the cameras plugged in now; the indices after
    // it use that scan's list.
    if (index == 0 || !scanned_) {
        drivers_ = platform::findDrivers();
        scanned_ = true;
    }
    if (index >= drivers_.size())
        return 0;
    window->connectDriver(drivers_[index]);
    // The source connects on a thread of its own and gives up after its timeout; the GUI
    // keeps running meanwhile, so the window may be closed before the answer comes.
    const QPointer<CaptureWindow> guard(window);
    LiveSource& source = window->source();
    waitHandlingEvents(&source, [&] { return !guard || source.state() != LiveSource::State::Connecting; },
                       connectWait);
    return guard && source.state() == LiveSource::State::Running ? 1 : 0;
}

std::int32_t GstCaptureService::driverDisconnect(CaptureWindow* window)
{
    if (!window)
        return 0;
    window->disconnectDriver();
    return 1;
}

std::int32_t GstCaptureService::fileSetCaptureFile(CaptureWindow* window, const char* fileName)
{
    if (!window || !fileName || !*fileName || std::strlen(fileName) > maxCaptureFileName)
        return 0;
    window->captureFile() = fileName;
    return 1;
}

std::int32_t GstCaptureService::editCopy(CaptureWindow* window)
{
    if (!window)
        return 0;
    return window->copyToClipboard() ? 1 : 0;
}

std::int32_t GstCaptureService::dlgVideoFormat(CaptureWindow* window)
{
    if (!window)
        return 0;
    if (!window->pipeline()) {
        window->reportNotLive("Video Format cannot open: ");
        return 0;
    }
    showVideoFormatDialog(*window);
    return 1;
}

std::int32_t GstCaptureService::dlgVideoSource(CaptureWindow* window)
{
    if (!window)
        return 0;
    if (!window->pipeline()) {
        window->reportNotLive("Video Source cannot open: ");
        return 0;
    }
    showVideoSourceDialog(*window);
    return 1;
}

std::int32_t GstCaptureService::dlgVideoDisplay(CaptureWindow* window)
{
    if (!window)
        return 0;
    if (!window->pipeline()) {
        window->reportNotLive("Video Display cannot open: ");
        return 0;
    }
    showVideoDisplayDialog(*window);
    return 1;
}

std::int32_t GstCaptureService::setPreview(CaptureWindow* window, std::uint16_t on)
{
    if (!window)
        return 0;
    window->setPreview(on != 0);
    return 1;
}

std::int32_t GstCaptureService::setOverlay(CaptureWindow* window, std::uint16_t on)
{
    if (!window)
        return 0;
    window->setOverlay(on != 0);
    return 1;
}

std::int32_t GstCaptureService::setPreviewRate(CaptureWindow* window, std::uint16_t milliseconds)
{
    if (!window)
        return 0;
    window->setPreviewRate(milliseconds);
    return 1;
}

std::int32_t GstCaptureService::setScale(CaptureWindow* window, std::uint16_t on)
{
    if (!window)
        return 0;
    window->setScale(on != 0);
    return 1;
}

std::int32_t GstCaptureService::grabFrame(CaptureWindow* window)
{
    if (!window)
        return 0;
    return window->grab() ? 1 : 0;
}

std::int32_t GstCaptureService::setSequenceSetup(CaptureWindow* window, std::uint16_t size, const CaptureParms* parms)
{
    if (!window || !parms || size != sizeof(CaptureParms))
        return 0;
    window->sequenceSetup() = *parms;
    return 1;
}

std::int32_t GstCaptureService::getSequenceSetup(CaptureWindow* window, std::uint16_t size, CaptureParms* parms)
{
    if (!window || !parms || size != sizeof(CaptureParms))
        return 0;
    *parms = window->sequenceSetup();
    return 1;
}

std::int32_t GstCaptureService::abort(CaptureWindow* window)
{
    // No streaming capture runs in this service, so there is nothing to stop.
    return window ? 1 : 0;
}

} // namespace capture
