#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QImage>

#include "GstHandles.h"
#include "PlanarFrames.h"

namespace events {

// Records a clip per event from the frames of a live source: keeps the last seconds of
// frames so a clip starts before its event, and goes on for some seconds after it ends.
// The frames are kept as the encoder takes them (planar 4:2:0, half the bytes of the
// source's BGR), converted once as they come in and shared by every clip. Each clip is encoded as VP8 in
// WebM by a pipeline of its own, on GStreamer's threads, into a hidden temporary file
// renamed to its final name once complete. Frames come in on any thread; the other
// calls come from one thread.
class ClipRecorder {
public:
    struct Result {
        std::string path;   // the final name
        bool complete = false;
        std::string error;  // why not, when not
        std::int64_t bytes = 0;
        std::int64_t frames = 0;
    };
    // Called on the recorder's own thread once a clip is complete or given up.
    using Finished = std::function<void(const Result&)>;

    ClipRecorder(std::chrono::milliseconds preRoll, std::chrono::milliseconds postRoll, Finished finished);
    // Finishes every clip (without waiting for their after-roll) and waits for them.
    ~ClipRecorder();
    ClipRecorder(const ClipRecorder&) = delete;
    ClipRecorder& operator=(const ClipRecorder&) = delete;

    void setRolls(std::chrono::milliseconds preRoll, std::chrono::milliseconds postRoll);
    // Off: frames are neither kept nor recorded (clips are not wanted).
    void setEnabled(bool enabled);

    // Takes the next frame of the source; `ptsNs` counts up in nanoseconds.
    void pushFrame(const QImage& frame, std::int64_t ptsNs);

    // Starts a clip with the frames kept from before: `stem` + ".webm", or with "-2",
    // "-3" ... when that name is taken. Returns the clip's number (0 when it cannot
    // start, with `error` set) and its final name in `path`.
    int begin(const std::string& stem, std::string& path, std::string& error);
    // The clip's event ended: record the after-roll, then close it.
    void end(int clip);
    // Closes every clip now and waits up to `timeout` for them to be written.
    void finishAll(std::chrono::milliseconds timeout);

    // The frames kept from before, and the bytes of picture they hold.
    std::size_t bufferedFrames() const;
    std::size_t bufferedBytes() const;

    // Removes temporary clip files that a killed program left in `folder`.
    static void removeLeftovers(const std::string& folder);

private:
    struct Buffered {
        platform::gst::Buffer picture; // planar 4:2:0
        int width = 0;
        int height = 0;
        std::int64_t pts = 0;
    };
    struct Clip;

    void feed(Clip& clip, const Buffered& frame);
    void close(std::unique_ptr<Clip>& clip);
    void work();
    Result complete(Clip& clip);

    Finished finished_;
    PlanarFrames planar_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::chrono::nanoseconds preRoll_;
    std::chrono::nanoseconds postRoll_;
    std::deque<Buffered> ring_;
    std::vector<std::unique_ptr<Clip>> recording_;
    std::deque<std::unique_ptr<Clip>> closing_;
    int nextId_ = 1;
    bool enabled_ = true;
    bool busy_ = false; // the worker is completing a clip
    bool stop_ = false;
    std::thread worker_;
};

} // namespace events
