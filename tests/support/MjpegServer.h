#pragma once

// An HTTP MJPEG camera on 127.0.0.1 inside the test, on a thread of its own: it answers
// one client at a time with multipart/x-mixed-replace JPEG pictures, 10 a second, to a
// user with a password when given. Silent, it accepts connections and never says a word,
// as a camera that hangs.

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

class MjpegServer {
public:
    MjpegServer(bool silent = false, const std::string& user = {}, const std::string& password = {})
        : picture_(silent ? std::string() : jpegPicture())
    {
        if (!user.empty()) {
            gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>((user + ':' + password).data()),
                                             user.size() + 1 + password.size());
            authorization_ = std::string("Authorization: Basic ") + encoded;
            g_free(encoded);
        }
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~MjpegServer()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        ::close(listener_);
    }
    MjpegServer(const MjpegServer&) = delete;
    MjpegServer& operator=(const MjpegServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& scheme = "http", const std::string& userInfo = {}) const
    {
        return scheme + "://" + (userInfo.empty() ? std::string() : userInfo + "@") + "127.0.0.1:" +
               std::to_string(port_) + "/video.mjpg";
    }
    // Clients refused for want of the right password.
    int refused() const { return refused_; }

private:
    static std::string jpegPicture()
    {
        gst_init(nullptr, nullptr);
        GstElement* pipeline = gst_parse_launch("videotestsrc num-buffers=1 pattern=smpte ! "
                                                "video/x-raw,width=320,height=240 ! jpegenc ! appsink name=out",
                                                nullptr);
        GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "out");
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        std::string bytes;
        if (GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
            GstMapInfo map;
            if (gst_buffer_map(gst_sample_get_buffer(sample), &map, GST_MAP_READ)) {
                bytes.assign(reinterpret_cast<const char*>(map.data), map.size);
                gst_buffer_unmap(gst_sample_get_buffer(sample), &map);
            }
            gst_sample_unref(sample);
        }
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(sink);
        gst_object_unref(pipeline);
        return bytes;
    }

    bool waitReadable(int fd, int ms) const
    {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0;
    }

    void serve()
    {
        std::vector<int> held; // a silent server's clients, kept open and unanswered
        while (!stop_) {
            if (!waitReadable(listener_, 50))
                continue;
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            if (picture_.empty()) {
                held.push_back(client);
                continue;
            }
            answer(client);
            ::close(client);
        }
        for (int fd : held)
            ::close(fd);
    }

    void answer(int client)
    {
        std::string request;
        char chunk[1024];
        while (request.find("\r\n\r\n") == std::string::npos && !stop_) {
            if (!waitReadable(client, 50))
                continue;
            const ssize_t n = ::read(client, chunk, sizeof chunk);
            if (n <= 0)
                return;
            request.append(chunk, std::size_t(n));
        }
        if (!authorization_.empty() && request.find(authorization_) == std::string::npos) {
            ++refused_;
            send(client, "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"camera\"\r\n"
                         "Content-Length: 0\r\n\r\n");
            return;
        }
        if (!send(client, "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=picture\r\n\r\n"))
            return;
        while (!stop_ && send(client, "--picture\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                          std::to_string(picture_.size()) + "\r\n\r\n" + picture_ + "\r\n"))
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    static bool send(int fd, const std::string& text)
    {
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += std::size_t(n);
        }
        return true;
    }

    const std::string picture_;
    std::string authorization_;
    int listener_ = -1;
    int port_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> refused_{0};
    std::thread thread_;
};
