#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include "CaptureDrivers.h"
#include "CapturePipeline.h"
#include "Packet.h"

namespace platform {

// The pause before reconnecting after `failures` lost or failed connections in a row
// (1 or more): 1, 2, 4 ... seconds, at most 30.
std::chrono::milliseconds reconnectDelay(int failures);

// The live picture of one capture driver, without any widget: the capture windows show
// it, the headless mode and the clip recorder read it. Connecting runs on a thread of
// its own (a source may take long to open, or never answer), so the GUI thread never
// waits on a source; a source that does not answer within the connect timeout is given
// up. A source that fails, ends or stops sending while it runs is reconnected after a
// growing pause. Every change is told through statusChanged in words for the status
// line. Lives on the GUI thread; newest, waitNewer and the frame taps are thread-safe.
class LiveSource : public QObject {
    Q_OBJECT
public:
    enum class State {
        Closed,       // nothing opened
        Connecting,   // the first connection or a format change is under way
        Running,      // frames arrive
        Reconnecting, // lost: waiting to reconnect, or reconnecting
        Stopped,      // the first connection or restoring a format failed, or the source
                      // can never work (its description is wrong); no more tries
    };
    using Frame = CapturePipeline::Frame;
    // Called on a GStreamer thread with every frame.
    using FrameTap = std::function<void(const Frame& frame)>;
    // Called on a GStreamer thread with every packet of the clip stream.
    using PacketTap = std::function<void(const Packet& packet)>;

    explicit LiveSource(QObject* parent = nullptr);
    ~LiveSource() override;
    LiveSource(const LiveSource&) = delete;
    LiveSource& operator=(const LiveSource&) = delete;

    // How long a connection may take until its first frame (5 s unless set).
    void setConnectTimeout(std::chrono::milliseconds timeout);
    // Whether a failed first connection is retried like a lost one (off unless set); a
    // description that can never make a source is not.
    void setRetryFirstConnect(bool on) { retryFirst_ = on; }

    // Starts connecting to `driver`, ending what was open.
    void open(const Driver& driver);
    // Ends the connection and any attempt; the state becomes Closed.
    void close();

    State state() const { return state_; }
    // Running, and a frame came within the last connect timeout.
    bool flowing() const;
    const std::string& name() const { return driver_.name; }
    // The last status report, and why the source last failed (empty when it never did).
    std::int32_t statusId() const { return statusId_; }
    const QString& statusText() const { return statusText_; }
    const std::string& failure() const { return failure_; }

    // The newest frame (number 0: none yet). Numbers count up across reconnects.
    Frame newest() const;
    // Blocks until a frame newer than `after` arrives, or `timeout` passes (number 0).
    // For threads other than the GUI thread.
    Frame waitNewer(std::uint64_t after, std::chrono::milliseconds timeout) const;
    // The "stream" text of the frames of the current connection; new at each (re)connect.
    std::uint64_t stream() const { return stream_; }

    // Adds a tap for every frame, or every packet of the clip stream, from now on; taps
    // stay as long as the source (a tap that may outlive what it feeds holds it weakly).
    void addFrameTap(FrameTap tap);
    void addPacketTap(PacketTap tap);
    // Whether clips are recorded: a raw source is encoded only while they are (off
    // unless set). A compressed source's packets come in any case.
    void setClipsWanted(bool wanted);
    // Decode only pictures at least `interval` apart for the frames (0: every one, the
    // default), where the stream allows it; the packets are never thinned.
    void setFrameInterval(std::chrono::milliseconds interval);

    // The running pipeline, for the format and picture-control dialogs (GUI thread);
    // null unless Running.
    CapturePipeline* pipeline() const { return state_ == State::Running ? pipeline_.get() : nullptr; }
    // Reconnects with the source held to `caps`; when that fails, with the format it had;
    // when that fails too, the source is Stopped. Only while Running.
    void changeFormat(gst::Caps caps);

signals:
    void statusChanged(int id, const QString& text);
    void stateChanged();
    void frameArrived(); // on the GUI thread, at most one pending at a time

private:
    struct Attempt;
    enum class Purpose { First, Reconnect, Format, Restore };

    void startAttempt(Purpose purpose);
    void attemptFinished(const std::shared_ptr<Attempt>& attempt);
    void abandonAttempt();
    void giveUp();
    void adopt(std::unique_ptr<CapturePipeline> pipeline, std::uint64_t stream);
    void dropPipeline();
    void lost(const std::string& reason);
    void failed(const std::string& reason);
    void checkPipeline();
    void setState(State state);
    void report(std::int32_t id, const std::string& text);
    // Takes a frame of the pipeline; `tap`: on a GStreamer thread, for the taps too.
    void onFrame(const Frame& frame, bool tap);
    void onPacket(const Packet& packet);
    void armStallTimer();

    Driver driver_;
    gst::Caps requested_;  // the format asked for; null: free
    gst::Caps previous_;   // the format to go back to while a change is tried
    std::chrono::milliseconds connectTimeout_{5000};
    bool retryFirst_ = false;
    State state_ = State::Closed;
    Purpose purpose_ = Purpose::First;
    std::string failure_;
    std::string changeError_;
    std::int32_t statusId_ = 0;
    QString statusText_;
    int failures_ = 0;
    std::chrono::steady_clock::time_point runningSince_;

    std::shared_ptr<Attempt> attempt_;
    std::unique_ptr<CapturePipeline> pipeline_;
    std::uint64_t stream_ = 0;
    QTimer giveUpTimer_;
    QTimer reconnectTimer_;
    QTimer stallTimer_; // runs out when no frame came for a while
    std::unique_ptr<QSocketNotifier> busNotifier_;
    bool clipsWanted_ = false;
    std::chrono::milliseconds frameInterval_{0};

    mutable std::mutex frameMutex_;
    mutable std::condition_variable frameArrived_;
    Frame newest_;
    std::uint64_t handedOver_ = 0; // the pipeline's number of the newest frame taken
    std::vector<FrameTap> taps_;
    std::vector<PacketTap> packetTaps_;
    bool notifyPending_ = false;
};

// Waits on the GUI thread until `done` returns true or `timeout` passes, handling the
// GUI's events meanwhile in short slices, so the windows keep painting and answering;
// a change of `source` (may be null) wakes it at once. Returns done().
bool waitHandlingEvents(const LiveSource* source, const std::function<bool()>& done,
                        std::chrono::milliseconds timeout);
// True while such a wait runs (the capture session takes no second command then).
bool waitingOnSource();

} // namespace platform
