#pragma once

#include <cstdint>

#include "CaptureStatus.h"

class QWidget;

namespace capture {

using platform::StatusId;
using platform::statusConnected;
using platform::statusConnecting;
using platform::statusError;
using platform::statusLiveWindow;
using platform::statusNoDriver;
using platform::statusNoFrame;
using platform::statusOverlayWindow;
using platform::statusReconnecting;

class CaptureWindow;

// A capture window's sequence-setup record, exchanged whole with its size in bytes.
struct CaptureParms {
    std::uint32_t dwRequestMicroSecPerFrame = 66667; // requested frame period
    std::int32_t fMakeUserHitOKToCapture = 0;
    std::uint32_t wPercentDropForError = 10;
    std::int32_t fYield = 0;                          // capture in the background
    std::uint32_t dwIndexSize = 0;
    std::uint32_t wChunkGranularity = 0;
    std::uint32_t wNumVideoRequested = 2;
    std::int32_t fCaptureAudio = 0;
    std::uint32_t vKeyAbort = 27;                     // key that aborts a capture
    std::int32_t fAbortLeftMouse = 1;
    std::int32_t fAbortRightMouse = 1;
    std::int32_t fLimitEnabled = 0;                   // time limit on or off
    std::uint32_t wTimeLimit = 0;
    std::int32_t fMCIControl = 0;                     // control of an external device
    std::int32_t fStepMCIDevice = 0;
    std::uint32_t dwMCIStartTime = 0;
    std::uint32_t dwMCIStopTime = 0;
};

// Receives the service's status reports: the capture window, an id and a text.
using StatusCallback = std::int32_t (*)(CaptureWindow* window, std::int32_t id, const char* text);

// Window style bits for createCaptureWindow.
constexpr std::uint32_t windowChild = 0x40000000;
constexpr std::uint32_t windowVisible = 0x10000000;

// The video-capture service: capture windows that show a driver's live picture, and
// one operation per message such a window understands. Results are nonzero for
// success. Messages sent to no window (a null handle) do nothing and return 0. All
// operations run on the GUI thread; status reports reach the installed callback there,
// while the service handles a message for the window.
class CaptureService {
public:
    virtual ~CaptureService() = default;

    virtual CaptureWindow* createCaptureWindow(const char* caption, std::uint32_t style, int x, int y, int width,
                                               int height, QWidget* parent, int id) = 0;
    // The driver's name and version, null-terminated and cut to the buffers' sizes;
    // false for an index outside 0 to 9 or without a driver.
    virtual bool driverDescription(std::uint16_t index, char* name, int nameSize, char* version,
                                   int versionSize) = 0;
    virtual void destroyWindow(CaptureWindow* window) = 0;

    virtual std::int32_t setCallbackOnStatus(CaptureWindow* window, StatusCallback callback) = 0;
    virtual std::int32_t driverConnect(CaptureWindow* window, std::uint16_t index) = 0;
    virtual std::int32_t driverDisconnect(CaptureWindow* window) = 0;
    virtual std::int32_t fileSetCaptureFile(CaptureWindow* window, const char* fileName) = 0;
    virtual std::int32_t editCopy(CaptureWindow* window) = 0;
    virtual std::int32_t dlgVideoFormat(CaptureWindow* window) = 0;
    virtual std::int32_t dlgVideoSource(CaptureWindow* window) = 0;
    virtual std::int32_t dlgVideoDisplay(CaptureWindow* window) = 0;
    virtual std::int32_t setPreview(CaptureWindow* window, std::uint16_t on) = 0;
    virtual std::int32_t setOverlay(CaptureWindow* window, std::uint16_t on) = 0;
    virtual std::int32_t setPreviewRate(CaptureWindow* window, std::uint16_t milliseconds) = 0;
    virtual std::int32_t setScale(CaptureWindow* window, std::uint16_t on) = 0;
    virtual std::int32_t grabFrame(CaptureWindow* window) = 0;
    virtual std::int32_t setSequenceSetup(CaptureWindow* window, std::uint16_t size, const CaptureParms* parms) = 0;
    virtual std::int32_t getSequenceSetup(CaptureWindow* window, std::uint16_t size, CaptureParms* parms) = 0;
    virtual std::int32_t abort(CaptureWindow* window) = 0;
};

// The service the program uses: the GStreamer one unless another was installed.
CaptureService& captureService();
// Makes `service` the program's service (null: back to the GStreamer one). The caller
// keeps ownership.
void installCaptureService(CaptureService* service);

} // namespace capture
