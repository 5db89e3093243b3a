#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QImage>
#include <gst/gst.h>

#include "GstHandles.h"

namespace platform {

// A running pipeline from a capture source to packed blue-green-red frames, keeping
// only the newest. GStreamer's threads hand frames over; everything else runs on the
// GUI thread. A pipeline whose source is a file starts it again at its end.
class CapturePipeline {
public:
    struct Frame {
        QImage image;              // Format_BGR888, a deep copy
        std::uint64_t number = 0;  // 1 for the first frame, counting up; 0: none yet
    };

    // Builds and starts a pipeline on `source` and waits until frames flow. Null with
    // `error` set when it cannot be built, fails, or no frame arrives within `timeout`.
    static std::unique_ptr<CapturePipeline> start(gst::Element source, std::chrono::milliseconds timeout,
                                                  std::string& error);
    ~CapturePipeline();
    CapturePipeline(const CapturePipeline&) = delete;
    CapturePipeline& operator=(const CapturePipeline&) = delete;

    Frame newest() const;
    // The first frame newer than frame number `after`, waiting up to `timeout`; a frame
    // with number 0 when none came (the source stopped, failed or ended).
    Frame waitNewer(std::uint64_t after, std::chrono::milliseconds timeout);

    // True once the source failed or ended without starting again.
    bool stopped() const;

    // Called on a GStreamer thread after each new frame.
    void setFrameListener(std::function<void()> listener);

    // Handles what the pipeline's bus holds (a file's end restarts it) and returns the
    // texts of the errors and of the end of a source that does not restart.
    std::vector<std::string> pollBus();

    // The caps the source offers, and those it runs with now (null before it runs).
    gst::Caps offeredCaps() const;
    gst::Caps currentCaps() const;
    // Restarts the pipeline with the source held to `caps`; on failure the previous caps
    // are restored and `error` says why.
    bool setRequestedCaps(const GstCaps* caps, std::chrono::milliseconds timeout, std::string& error);

    // The element whose colour-balance channels stand for the picture controls: the
    // source's own where it has them, otherwise the pipeline's software balance.
    GstElement* colourBalance() const;

private:
    CapturePipeline() = default;
    static GstFlowReturn onSample(GstElement* sink, gpointer self);
    bool play(std::chrono::milliseconds timeout, std::string& error);
    gst::Caps requestedCaps() const; // the caps the source is held to: ANY when free

    gst::Element pipeline_;
    GstElement* source_ = nullptr;     // owned by the pipeline
    GstElement* format_ = nullptr;     // capsfilter holding the source's format
    GstElement* balance_ = nullptr;    // software picture controls
    GstElement* deviceBalance_ = nullptr;
    gst::Bus bus_;
    bool loops_ = false;

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    Frame newest_;
    bool stopped_ = false;
    std::function<void()> listener_;
};

} // namespace platform
