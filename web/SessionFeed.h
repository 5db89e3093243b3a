#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QObject>
#include <QTimer>

namespace watch {
class Session;
}

namespace web {

class CameraSlot;

// Hands one session's camera state, newest frame and event deletions to the web server's
// slot of that camera, on the session's thread. The session must outlive it; when it goes,
// the slot says the camera is stopped.
class SessionFeed : public QObject {
    Q_OBJECT
public:
    // `automatic` tells whether the driver evaluates on its own (headless: always; the
    // windows: while Auto is down); `name` overrides the source's name when not empty.
    SessionFeed(watch::Session& session, std::shared_ptr<CameraSlot> slot, std::function<bool()> automatic,
                std::string name = {}, QObject* parent = nullptr);
    ~SessionFeed() override;
    SessionFeed(const SessionFeed&) = delete;
    SessionFeed& operator=(const SessionFeed&) = delete;

    // Tells the slot the session's state now.
    void publish();

private:
    watch::Session& session_;
    std::shared_ptr<CameraSlot> slot_;
    std::function<bool()> automatic_;
    std::string name_;
    std::string status_;
    QTimer refresh_;
    int width_ = 0;
    int height_ = 0;
};

} // namespace web
