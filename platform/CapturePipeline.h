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
#include "Packet.h"

namespace platform {

// What a capture pipeline makes from its first picture on; see
// CapturePipeline::setClipsWanted and setFrameInterval.
struct CaptureDemand {
    bool clips = false;
    std::chrono::milliseconds frameInterval{0};
};

// A running pipeline from a capture source to packed blue-green-red frames, keeping
// only the newest, and to the packets clips are made of. GStreamer's threads hand frames
// and packets over. A source that sends compressed video (MJPEG, H.264) is decoded for
// the frames while its own packets go to the clips untouched; a raw source is encoded
// once for the clips, on a thread of its own, and only while clips are wanted. Starting
// may block for as long as the source takes to open (a FIFO nobody writes to: for
// ever), so it runs on a thread of its own; after that one thread at a time uses the
// pipeline. A pipeline whose source is a file starts it again at its end, and scales
// and converts the file's frames to whatever format is requested.
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
                                                  std::string& error, CaptureDemand demand = {});
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

    // Called on a GStreamer thread with each packet of the clip stream; as the frame
    // listener, the previous one is done once this returns. Packets are never dropped:
    // those that came before the first listener (while the connection was handed over)
    // are kept from their latest key frame on and given to it first.
    void setPacketListener(std::function<void(const Packet&)> listener);
    // Whether a raw source's frames are encoded into packets (off unless set); a
    // compressed source's packets come regardless, as they cost nothing.
    void setClipsWanted(bool wanted);
    // Pictures closer than `interval` to the last one decoded are not decoded for the
    // frames (0: every one), where the stream allows: MJPEG and raw pictures are dropped
    // before their decoder and conversion, H.264 ones only after the decoder.
    void setFrameInterval(std::chrono::milliseconds interval);

    // The bus, for a watch on its poll descriptor; pollBus reads it.
    GstBus* bus() const { return bus_.get(); }

    // Handles what the pipeline's bus holds (a file's end restarts it) and returns the
    // texts of the errors and of the end of a source that does not restart.
    std::vector<std::string> pollBus();

    // The caps the source offers (for a scaled file: its formats at any size and rate),
    // and those it runs with now (null before it runs).
    gst::Caps offeredCaps() const;
    gst::Caps currentCaps() const;
    // A file's pictures as decoded, before the pipeline scales and paces them: its own
    // size and frame rate (null for a camera, whose own formats are the offered ones).
    gst::Caps ownCaps() const;

    // The element whose colour-balance channels stand for the picture controls: the
    // source's own where it has them, otherwise the pipeline's software balance.
    GstElement* colourBalance() const;

private:
    CapturePipeline() = default;
    static GstFlowReturn onSample(GstElement* sink, gpointer self);
    static GstFlowReturn onPacket(GstElement* sink, gpointer self);
    static GstPadProbeReturn onFirstBuffer(GstPad* pad, GstPadProbeInfo* info, gpointer self);
    static GstPadProbeReturn onDetectionBuffer(GstPad* pad, GstPadProbeInfo* info, gpointer self);
    static GstPadProbeReturn onClipPicture(GstPad* pad, GstPadProbeInfo* info, gpointer self);
    // Joins `pad` (the source's output) to the frames' chain and to the clip branch, by
    // what its caps say it carries.
    bool buildBranches(GstPad* pad, std::string& error);
    bool play(std::chrono::milliseconds timeout, const std::atomic<bool>& cancel, std::string& error);

    gst::Element pipeline_;
    GstElement* source_ = nullptr;     // owned by the pipeline
    GstElement* format_ = nullptr;     // capsfilter holding the source's format
    GstElement* formatInput_ = nullptr; // what feeds it: the source, or the scaler of a file
    GstElement* decoded_ = nullptr;    // where the decoded pictures go on
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

    std::atomic<bool> clipsWanted_{false};
    std::atomic<std::int64_t> frameIntervalNs_{0};
    std::int64_t lastDecodedNs_ = -1; // the detection branch's streaming thread only
    // The clip sink's streaming thread only: the packets' caps, and the shift that keeps
    // a looping file's times counting up.
    std::shared_ptr<GstCaps> packetCaps_;
    std::int64_t lastPacketNs_ = -1;
    std::int64_t lastPacketDurationNs_ = 0;
    std::int64_t packetShiftNs_ = 0;
    std::mutex packetListenerMutex_;
    std::function<void(const Packet&)> packetListener_;
    std::vector<Packet> unheard_; // before the first listener, from a key frame on
    bool heard_ = false;
    GstElement* clipEncoder_ = nullptr; // a raw source's, owned by the pipeline
};

} // namespace platform
