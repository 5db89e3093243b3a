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

#include "Packet.h"

namespace events {

// How a clip's file ended up, as its recorder reports it.
struct ClipResult {
    std::string path;   // the final name
    bool complete = false;
    std::string error;  // why not, when not
    std::int64_t bytes = 0;
    std::int64_t frames = 0;
    // Packets of the source the clip lacks because its writing fell behind.
    std::int64_t droppedFrames = 0;
    // The file that goes on where this one ended, the source having changed its size;
    // empty for a clip's last file.
    std::string continuedIn;
};

// Records a clip per event from the packets of a live source's clip stream, without
// encoding: keeps the last seconds of packets, from a key frame on, so a clip starts
// before its event, and goes on for some seconds after its last movement. Each clip is
// muxed into Matroska (WebM for VP8, which every browser plays) by a small pipeline of its
// own, into a hidden temporary file renamed to its final name once complete; a source
// that changes its size during the event goes on in a further file ("<name>_2.mkv"),
// reported with the one before it. Packets come in
// on any thread; the other calls come from one thread and never wait for a clip: clips
// are completed on the recorder's own thread, which reports each through Finished.
class ClipRecorder {
public:
    using Result = ClipResult;
    // Called on the recorder's own thread once a clip is complete or given up.
    using Finished = std::function<void(const Result&)>;

    ClipRecorder(std::chrono::milliseconds preRoll, std::chrono::milliseconds postRoll, Finished finished);
    // Closes every clip (without waiting for their after-roll) and waits for them: the
    // program's end.
    ~ClipRecorder();
    ClipRecorder(const ClipRecorder&) = delete;
    ClipRecorder& operator=(const ClipRecorder&) = delete;

    void setRolls(std::chrono::milliseconds preRoll, std::chrono::milliseconds postRoll);
    // Off: packets are neither kept nor recorded (clips are not wanted).
    void setEnabled(bool enabled);

    // Takes the next packet of the source.
    void pushPacket(const platform::Packet& packet);
    // A tap for LiveSource::addPacketTap; it does nothing once the recorder is gone.
    static std::function<void(const platform::Packet&)> packetTap(std::weak_ptr<ClipRecorder> recorder);

    // Starts a clip with the packets kept from before: `stem` + ".mkv" (".webm" for a
    // VP8 stream), or with "-2", "-3" ... when that name is taken. Returns the clip's
    // number (0 when it cannot start, with `error` set) and its final name in `path`.
    int begin(const std::string& stem, std::string& path, std::string& error);
    // The clip's event saw movement now: the clip runs at least to the after-roll from
    // here. Once told so, what comes after that is held back until the next movement
    // takes it in or the end drops it, so the clip ends its after-roll past the last
    // movement, not past the event's quiet gap.
    void moved(int clip);
    // The clip's event ended: record the after-roll, then close it.
    void end(int clip);
    // Closes every clip now; they are completed later and reported through Finished.
    void closeAll();
    // Waits up to `timeout` until every closed clip is completed; true when they are.
    // For the end of the program only: the GUI thread must not wait for files.
    bool waitClosed(std::chrono::milliseconds timeout);

    // The packets kept from before, and their bytes.
    std::size_t bufferedFrames() const;
    std::size_t bufferedBytes() const;

    // The hidden name a clip is written under until it is complete, and back: the final
    // name of a temporary one, empty for any other file.
    static std::string temporaryNameOf(const std::string& path);
    static std::string finalNameOf(const std::string& temporary);

private:
    struct Clip;

    void trimRing(std::int64_t newestNs);
    bool holdBack(Clip& clip, const platform::Packet& packet);
    // Takes a free name `stem` + extension (or with "-2", "-3" ...) for `clip`'s file.
    static bool claimName(const std::string& stem, const std::string& extension, Clip& clip, std::string& error);
    void split(std::unique_ptr<Clip>& clip, const platform::Packet& packet);
    void feed(Clip& clip, const platform::Packet& packet);
    bool startWriting(Clip& clip, const platform::Packet& first);
    void close(std::unique_ptr<Clip>& clip);
    void work();
    Result complete(Clip& clip);

    Finished finished_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::chrono::nanoseconds preRoll_;
    std::chrono::nanoseconds postRoll_;
    std::deque<platform::Packet> ring_; // from a key frame on
    std::shared_ptr<GstCaps> latestCaps_;
    std::uint64_t latestStream_ = 0;
    std::int64_t latestNs_ = 0;
    std::vector<std::unique_ptr<Clip>> recording_;
    std::deque<std::unique_ptr<Clip>> closing_;
    int nextId_ = 1;
    bool enabled_ = true;
    bool busy_ = false; // the worker is completing a clip
    bool stop_ = false;
    std::thread worker_;
};

} // namespace events
