#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Listen.h"
#include "Logins.h"

struct MHD_Daemon;

namespace web {

class CameraSlot;
class Request;

// What the web server is started with.
struct ServerConfig {
    ListenAddress listen;
    std::string passwordHash;   // empty: no password (allowed on loopback only)
    std::string certificatePem; // with keyPem: HTTPS
    std::string keyPem;
};

// The web page and its JSON API over libmicrohttpd: the cameras with their live pictures
// and the events with their thumbnails and clips. Answers on the server's own threads,
// one per connection (so a live stream, which waits for frames inside its connection's
// thread, never holds up another request); the sessions' threads only hand state over
// through the cameras' slots. Files are served only from the paths the event log keeps,
// and only from inside the camera's save folder.
class WebServer {
public:
    static constexpr std::size_t mostBodyBytes = 16 * 1024;
    static constexpr unsigned mostConnections = 256;
    static constexpr unsigned idleSeconds = 30;
    // Connections from one other machine (an IPv6 /64) at once: a client that sends its
    // requests slowly cannot take every connection. This machine's own are not counted.
    static constexpr int mostPerAddress = 32;

    // Listens and serves; null, with `error` in words, when it cannot (the address is in
    // use or not this machine's, a non-loopback address without a password, a bad
    // certificate or key).
    static std::unique_ptr<WebServer> start(const ServerConfig& config, std::string& error);
    // Ends every connection (live streams too) and joins the server's threads.
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    int port() const { return port_; }
    bool secure() const { return !config_.certificatePem.empty(); }

    // A camera to serve from now on; its session's feed writes into the slot.
    std::shared_ptr<CameraSlot> addCamera();

private:
    friend class Request;
    explicit WebServer(ServerConfig config);

    std::vector<std::shared_ptr<CameraSlot>> cameras() const;
    // Whether a connection from `address` may begin; connections are counted as they
    // start (+1) and end (-1).
    bool admits(const sockaddr* address);
    void count(const sockaddr* address, int change);
    std::shared_ptr<CameraSlot> camera(const std::string& id) const;

    ServerConfig config_;
    int port_ = 0;
    std::string runToken_; // the CSRF token while no password is set
    Logins logins_;
    LoginThrottle throttle_;
    std::map<std::string, std::string> pages_; // file name -> bytes, read once at the start
    std::atomic<bool> stopping_{false};
    std::mutex connectionsMutex_;
    std::map<std::string, int> connections_; // per other machine
    mutable std::mutex camerasMutex_;
    std::vector<std::shared_ptr<CameraSlot>> cameras_;
    struct Stopper {
        void operator()(MHD_Daemon* daemon) const;
    };
    std::unique_ptr<MHD_Daemon, Stopper> daemon_; // last: stopped first
};

} // namespace web
