#pragma once

#include <vector>

#include "CaptureDrivers.h"
#include "CaptureService.h"

namespace capture {

// The capture service on GStreamer: drivers are the configured sources or the cameras
// the device monitor finds; a connected driver runs a CapturePipeline shown in its
// CaptureWindow through its LiveSource.
class GstCaptureService : public CaptureService {
public:
    GstCaptureService();

    CaptureWindow* createCaptureWindow(const char* caption, std::uint32_t style, int x, int y, int width, int height,
                                       QWidget* parent, int id) override;
    bool driverDescription(std::uint16_t index, char* name, int nameSize, char* version, int versionSize) override;
    void destroyWindow(CaptureWindow* window) override;

    std::int32_t setCallbackOnStatus(CaptureWindow* window, StatusCallback callback) override;
    std::int32_t driverConnect(CaptureWindow* window, std::uint16_t index) override;
    std::int32_t driverDisconnect(CaptureWindow* window) override;
    std::int32_t fileSetCaptureFile(CaptureWindow* window, const char* fileName) override;
    std::int32_t editCopy(CaptureWindow* window) override;
    std::int32_t dlgVideoFormat(CaptureWindow* window) override;
    std::int32_t dlgVideoSource(CaptureWindow* window) override;
    std::int32_t dlgVideoDisplay(CaptureWindow* window) override;
    std::int32_t setPreview(CaptureWindow* window, std::uint16_t on) override;
    std::int32_t setOverlay(CaptureWindow* window, std::uint16_t on) override;
    std::int32_t setPreviewRate(CaptureWindow* window, std::uint16_t milliseconds) override;
    std::int32_t setScale(CaptureWindow* window, std::uint16_t on) override;
    std::int32_t grabFrame(CaptureWindow* window) override;
    std::int32_t setSequenceSetup(CaptureWindow* window, std::uint16_t size, const CaptureParms* parms) override;
    std::int32_t getSequenceSetup(CaptureWindow* window, std::uint16_t size, CaptureParms* parms) override;
    std::int32_t abort(CaptureWindow* window) override;

private:
    std::vector<platform::Driver> drivers_;
    bool scanned_ = false;
};

} // namespace capture
