#pragma once

#include <map>
#include <string>
#include <vector>

#include "CaptureService.h"
#include "CaptureWindow.h"

// A capture service that records every message it is sent and answers as configured.
class RecordingService : public capture::CaptureService {
public:
    std::vector<std::string> log;
    std::map<int, std::int32_t> connectResult; // by driver index; missing: 0
    std::map<int, std::string> driverNames;    // descriptions by index; missing: fails
    std::int32_t getSetupResult = 1;
    std::int32_t setSetupResult = 1;
    std::int32_t fileResult = 1;
    std::int32_t callbackResult = 1;
    bool windowFails = false;
    capture::CaptureParms setupRead;    // what a setup request reads
    capture::CaptureParms setupWritten; // what the last setup write carried
    capture::StatusCallback callback = nullptr;

    std::vector<std::string> take()
    {
        std::vector<std::string> taken;
        taken.swap(log);
        return taken;
    }

    capture::CaptureWindow* createCaptureWindow(const char* caption, std::uint32_t style, int x, int y, int width,
                                                 int height, QWidget* parent, int id) override
    {
        log.push_back("create " + std::string(caption) + " " + std::to_string(style) + " " + std::to_string(x) + "," +
                      std::to_string(y) + " " + std::to_string(width) + "x" + std::to_string(height) + " id " +
                      std::to_string(id));
        if (windowFails)
            return nullptr;
        auto* window = new capture::CaptureWindow(parent, caption);
        window->setGeometry(x, y, width, height);
        return window;
    }
    bool driverDescription(std::uint16_t index, char* name, int nameSize, char* version, int versionSize) override
    {
        log.push_back("describe " + std::to_string(index) + " " + std::to_string(nameSize) + " " +
                      std::to_string(versionSize));
        const auto found = driverNames.find(index);
        if (found == driverNames.end())
            return false;
        std::snprintf(name, nameSize, "%s", found->second.c_str());
        std::snprintf(version, versionSize, "1.0");
        return true;
    }
    void destroyWindow(capture::CaptureWindow* window) override
    {
        log.push_back(window ? "destroy" : "destroy none");
        delete window;
    }
    std::int32_t setCallbackOnStatus(capture::CaptureWindow* window, capture::StatusCallback cb) override
    {
        log.push_back(cb ? "callback on" : "callback off");
        if (window)
            callback = cb;
        return window ? callbackResult : 0;
    }
    std::int32_t driverConnect(capture::CaptureWindow* window, std::uint16_t index) override
    {
        log.push_back("connect " + std::to_string(index));
        return window && connectResult.count(index) ? connectResult[index] : 0;
    }
    std::int32_t driverDisconnect(capture::CaptureWindow* window) override { return note("disconnect", window); }
    std::int32_t fileSetCaptureFile(capture::CaptureWindow* window, const char* name) override
    {
        log.push_back("file " + std::string(name));
        return window ? fileResult : 0;
    }
    std::int32_t editCopy(capture::CaptureWindow* window) override { return note("copy", window); }
    std::int32_t dlgVideoFormat(capture::CaptureWindow* window) override { return note("format dialog", window); }
    std::int32_t dlgVideoSource(capture::CaptureWindow* window) override { return note("source dialog", window); }
    std::int32_t dlgVideoDisplay(capture::CaptureWindow* window) override { return note("display dialog", window); }
    std::int32_t setPreview(capture::CaptureWindow* window, std::uint16_t on) override
    {
        return note("preview " + std::to_string(on), window);
    }
    std::int32_t setOverlay(capture::CaptureWindow* window, std::uint16_t on) override
    {
        return note("overlay " + std::to_string(on), window);
    }
    std::int32_t setPreviewRate(capture::CaptureWindow* window, std::uint16_t ms) override
    {
        return note("rate " + std::to_string(ms), window);
    }
    std::int32_t setScale(capture::CaptureWindow* window, std::uint16_t on) override
    {
        return note("scale " + std::to_string(on), window);
    }
    std::int32_t grabFrame(capture::CaptureWindow* window) override { return note("grab", window); }
    std::int32_t setSequenceSetup(capture::CaptureWindow* window, std::uint16_t size,
                                  const capture::CaptureParms* parms) override
    {
        log.push_back("set setup " + std::to_string(size));
        setupWritten = *parms;
        return window ? setSetupResult : 0;
    }
    std::int32_t getSequenceSetup(capture::CaptureWindow* window, std::uint16_t size,
                                  capture::CaptureParms* parms) override
    {
        log.push_back("get setup " + std::to_string(size));
        if (getSetupResult)
            *parms = setupRead;
        return window ? getSetupResult : 0;
    }
    std::int32_t abort(capture::CaptureWindow* window) override { return note("abort", window); }

private:
    std::int32_t note(const std::string& message, capture::CaptureWindow* window)
    {
        log.push_back(window ? message : message + " to none");
        return window ? 1 : 0;
    }
};
