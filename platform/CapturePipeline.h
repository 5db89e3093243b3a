#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gst/gst.h>

#include "FramePool.h"
#include "Frame.h"
#include "GstHandles.h"

namespace platform {

// A running pipeline from a capture source to packed blue-green-red frames, keeping
// only the newest. GStreamer's threads hand frames over. Starting may block for as long
// as the source takes to open (a FIFO nobody writes to: for ever), so it runs on a
// thread of its own; after that one thread at a time uses the pipeline. A pipeline
// whose source is a file starts it again at its end, and scales and converts the file's
// frames to whatever format is requested.
class CapturePipeline {
public:
    // Numbered from 1 by this pipeline; each carries the pipeline's stream.
    using Frame = analysis::Frame;

    // Builds and starts a pipeline on `source`, held to `requested` caps (null: free), and
    // waits until frames flow. Each frame carries `stream`.
    // Null with `error` set when it cannot be built, fails, no frame arrives within
    // `timeout`, or `cancel` becomes true.
    static std::unique_ptr<CapturePipeline> start(gst::Element source, const GstCaps* requested, std::uint64_t stream,
                                                  std::chrono::milliseconds timeout, const std::atomic<bool>& cancel,
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

    // Called on a GStreamer thread with each new frame. Once this returns, the previous
    // listener is neither running nor called again.
    void setFrameListener(std::function<void(const Frame&)> listener);

    // Handles what the pipeline's bus holds (a file's end restarts it) and returns the
    // texts of the errors and of the end of a source that does not restart.
    std::vector<std::string> pollBus();

    // The caps the source offers (for a scaled file: its formats at any size and rate),
    // and those it runs with now (null before it runs).
    gst::Caps offeredCaps() const;
    gst::Caps currentCaps() const;

    // The element whose colour-balance channels stand for the picture controls: the
    // source's own where it has them, otherwise the pipeline's software balance.
    GstElement* colourBalance() const;

private:
    CapturePipeline() = default;
    static GstFlowReturn onSample(GstElement* sink, gpointer self);
    bool play(std::chrono::milliseconds timeout, const std::atomic<bool>& cancel, std::string& error);

    gst::Element pipeline_;
    GstElement* source_ = nullptr;     // owned by the pipeline
    GstElement* format_ = nullptr;     // capsfilter holding the source's format
    GstElement* formatInput_ = nullptr; // what feeds it: the source, or the scaler of a file
    GstElement* balance_ = nullptr;    // software picture controls
    GstElement* deviceBalance_ = nullptr;
    gst::Bus bus_;
    bool loops_ = false;
    std::uint64_t stream_ = 0;
    // The memory of the frames, used again once nobody holds a frame any more.
    FramePool pictures_;

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    Frame newest_;
    bool stopped_ = false;
    std::mutex listenerMutex_; // held while the listener runs, so that it can be replaced safely
    std::function<void(const Frame&)> listener_;
};

} // namespace platform
