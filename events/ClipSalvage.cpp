#include "ClipSalvage.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gst/gst.h>

#include "ClipRecorder.h"
#include "GstHandles.h"

namespace events {

namespace fs = std::filesystem;
namespace gst = platform::gst;

namespace {

// A reader that stalls on a damaged file is given up after this long.
constexpr auto readingLimit = std::chrono::seconds(60);

// An open file with the exclusive lock its writer would hold, released when it goes.
class Lock {
public:
    explicit Lock(const fs::path& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
        if (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Lock()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_;
};

void counted(GstElement*, GstBuffer*, GstPad*, gpointer frames)
{
    ++*static_cast<std::atomic<std::int64_t>*>(frames);
}

} // namespace

ClipSalvage::ClipSalvage(std::string folder, Done done)
{
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    thread_ = std::thread([this, folder = std::move(folder), done = std::move(done)] { run(folder, done); });
}

ClipSalvage::~ClipSalvage()
{
    stop_ = true;
    thread_.join();
}

std::int64_t ClipSalvage::framesIn(const std::string& path, const std::atomic<bool>& stop)
{
    // Demuxed, not decoded: a clip of the camera's own H.264 is kept on a machine without
    // its decoder too. Every clip is Matroska (WebM is Matroska).
    GError* raw = nullptr;
    const gst::Element pipeline = gst::adoptFloating(
        gst_parse_launch("filesrc name=source ! matroskademux ! fakesink name=sink sync=false signal-handoffs=true", &raw));
    const gst::Error error(raw);
    if (!pipeline || error)
        return 0;
    const gst::Element source(gst_bin_get_by_name(GST_BIN(pipeline.get()), "source"));
    const gst::Element sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    g_object_set(source.get(), "location", path.c_str(), nullptr);
    std::atomic<std::int64_t> frames = 0;
    g_signal_connect(sink.get(), "handoff", G_CALLBACK(counted), &frames);
    const gst::Bus bus(gst_element_get_bus(pipeline.get()));
    const auto until = std::chrono::steady_clock::now() + readingLimit;
    if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE) {
        while (!stop && std::chrono::steady_clock::now() < until) {
            const gst::Message message(gst_bus_timed_pop_filtered(
                bus.get(), GST_SECOND / 5, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
            if (message)
                break; // a cut clip ends in an error after its last whole frame
        }
    }
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return frames;
}

void ClipSalvage::run(const std::string& folder, const Done& done)
{
    std::vector<Kept> kept;
    std::vector<std::string> lost;
    std::error_code ec;
    std::vector<fs::path> leftovers;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (const std::string final = ClipRecorder::finalNameOf(entry.path().string()); !final.empty())
            leftovers.push_back(entry.path());
    for (const fs::path& part : leftovers) {
        if (stop_)
            return;
        const Lock lock(part);
        if (!lock.held())
            continue; // still being written
        const std::string final = ClipRecorder::finalNameOf(part.string());
        const std::int64_t frames = framesIn(part.string(), stop_);
        if (stop_)
            return;
        if (frames > 0 && !fs::exists(final, ec)) {
            fs::rename(part, final, ec);
            if (!ec) {
                kept.push_back({final, static_cast<std::int64_t>(fs::file_size(final, ec)), frames});
                continue;
            }
        }
        fs::remove(part, ec);
        lost.push_back(final);
    }
    done(kept, lost);
}

} // namespace events
