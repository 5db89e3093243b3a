#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <string>

#include "Frame.h"

namespace web {

// What the web page may know of a camera, as the camera's session last said.
struct CameraState {
    std::string id; // topic-like: [a-z0-9_-], unique among the cameras served
    std::string name;
    std::string state = "stopped"; // live | connecting | failed | stopped
    std::string status;            // in words
    bool autoEvaluation = false;
    bool detection = false;
    int width = 0;
    int height = 0;
    std::string saveFolder; // a full path; empty: no records are kept
    std::string logPath;    // the event log inside it; empty: none open
};

// The outcome of deleting an event, as the session's thread tells it.
struct Deletion {
    enum class Result { Deleted, Unknown, Failed };
    Result result = Result::Failed;
    std::string message;
};

// The meeting point of one camera's session (its thread writes) and the web server's
// threads (they read): the camera's state, its newest frame as a shared value, and that
// frame as a JPEG, encoded at most once per frame and only when a viewer asks.
class CameraSlot {
public:
    // Takes the event's id; runs on the session's thread and answers there.
    using Deleter = std::function<void(std::int64_t id, std::promise<Deletion> answer)>;

    // Session side.
    void setState(CameraState state);
    void setFrame(analysis::Frame frame);
    void setDeleter(Deleter deleter);
    // The session is gone: the camera stays listed as stopped, without frames or deletes.
    void detach();

    // Web side.
    CameraState state() const;
    // The newest frame's JPEG and number once it is newer than `after`; waits up to
    // `timeout` for one (empty then). `after` 0 takes any frame there is.
    std::string jpegAfter(std::uint64_t after, std::chrono::milliseconds timeout, std::uint64_t& number);
    // Asks the session to delete the event and waits up to `timeout` for its answer.
    Deletion deleteEvent(std::int64_t id, std::chrono::milliseconds timeout);
    // Wakes every waiting viewer, for good: the server stops.
    void wake();

private:
    mutable std::mutex mutex_; // held only for copies: the session's thread never waits on an encoding
    std::condition_variable newFrame_;
    CameraState state_;
    analysis::Frame frame_;
    std::mutex encoding_; // viewers of one camera share one encoding per frame
    std::uint64_t jpegNumber_ = 0;
    std::string jpeg_;
    Deleter deleter_;
    bool woken_ = false;
};

// A JPEG of `frame` at quality 80; empty when it has no pixels.
std::string encodeJpeg(const analysis::Frame& frame);

} // namespace web
