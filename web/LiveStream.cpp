#include "LiveStream.h"

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "CameraSlot.h"

namespace web {

namespace {

using namespace std::chrono_literals;

constexpr auto framePause = 100ms; // at most ten pictures a second to a viewer
constexpr auto keepAlive = 10s;    // a still camera's picture is sent again, so a gone viewer is noticed

// A live stream's state between the calls of its reader.
struct LiveStream {
    std::shared_ptr<CameraSlot> camera;
    const std::atomic<bool>* stopping = nullptr;
    std::string pending;
    std::size_t sent = 0;
    std::string last; // the last picture sent, for the keep-alive
    std::uint64_t number = 0;
    std::chrono::steady_clock::time_point lastSent{};

    static std::string part(const std::string& jpeg)
    {
        return "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) + "\r\n\r\n" +
               jpeg + "\r\n";
    }

    ssize_t read(char* buffer, std::size_t most)
    {
        while (sent == pending.size()) {
            if (stopping->load())
                return MHD_CONTENT_READER_END_OF_STREAM;
            const auto due = lastSent + framePause;
            if (std::chrono::steady_clock::now() < due)
                std::this_thread::sleep_until(due);
            std::uint64_t newer = 0;
            std::string jpeg = camera->jpegAfter(number, 1s, newer);
            if (jpeg.empty()) {
                if (camera->state().state == "stopped")
                    return MHD_CONTENT_READER_END_OF_STREAM;
                if (last.empty() || std::chrono::steady_clock::now() - lastSent < keepAlive)
                    continue;
                jpeg = last;
            } else {
                number = newer;
            }
            pending = part(jpeg);
            sent = 0;
            last = std::move(jpeg);
            lastSent = std::chrono::steady_clock::now();
        }
        const std::size_t n = std::min(most, pending.size() - sent);
        std::memcpy(buffer, pending.data() + sent, n);
        sent += n;
        return ssize_t(n);
    }
};

} // namespace

MHD_Response* liveResponse(std::shared_ptr<CameraSlot> camera, const std::atomic<bool>& stopping)
{
    auto* stream = new LiveStream;
    stream->camera = std::move(camera);
    stream->stopping = &stopping;
    MHD_Response* response = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, 64 * 1024,
        [](void* cls, std::uint64_t, char* buffer, std::size_t most) {
            return static_cast<LiveStream*>(cls)->read(buffer, most);
        },
        stream, [](void* cls) { delete static_cast<LiveStream*>(cls); });
    if (!response) {
        delete stream;
        return nullptr;
    }
    MHD_add_response_header(response, "Content-Type", "multipart/x-mixed-replace; boundary=frame");
    return response;
}

} // namespace web
