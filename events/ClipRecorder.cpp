#include "ClipRecorder.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include "GstHandles.h"

namespace events {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
namespace gst = platform::gst;

namespace {

// The temporary file of a clip while it is written, claimed with an exclusive lock: other
// programs recording into the same folder (another camera watched from the same place)
// see the name taken, and the clean-up of leftovers leaves it alone.
class Claim {
public:
    Claim() = default;
    // Creates `path`, which must not exist yet; false (and errno) otherwise.
    bool take(const std::string& path)
    {
        drop();
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            const int reason = errno;
            ::unlink(path.c_str());
            drop();
            errno = reason;
        }
        return fd_ >= 0;
    }
    void drop()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    ~Claim() { drop(); }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

private:
    int fd_ = -1;
};

} // namespace

struct ClipRecorder::Clip {
    int id = 0;
    std::string path;
    std::string temporary;
    Claim claim; // held until the temporary file is renamed or removed
    gst::Element pipeline;
    gst::Bus bus;
    GstElement* source = nullptr; // owned by the pipeline
    int width = 0;
    int height = 0;
    std::int64_t firstPts = -1;
    std::int64_t period = 40'000'000; // of the source's frames, for each frame's duration
    std::int64_t frames = 0;
    bool ending = false;
    std::int64_t lastPts = 0;                    // once ending: the last frame to take
    std::chrono::steady_clock::time_point giveUp{}; // once ending: close even without frames
    bool failed = false;
    std::string error;
};

namespace {

std::string temporaryNameOf(const fs::path& path)
{
    return (path.parent_path() / ("." + path.filename().string() + ".part")).string();
}

std::string errorText(GstMessage* message)
{
    GError* raw = nullptr;
    gchar* rawDebug = nullptr;
    gst_message_parse_error(message, &raw, &rawDebug);
    const gst::Error error(raw);
    const gst::String debug(rawDebug);
    std::string text = error ? error->message : "unknown error";
    // The system's reason ("No space left on device") is in the debug text's last part.
    if (debug) {
        const std::string detail = debug.get();
        const auto colon = detail.rfind(": ");
        if (colon != std::string::npos && detail.size() - colon < 80)
            text += " (" + detail.substr(colon + 2) + ")";
    }
    return text;
}

} // namespace

ClipRecorder::ClipRecorder(std::chrono::milliseconds preRoll, std::chrono::milliseconds postRoll, Finished finished)
    : finished_(std::move(finished)), preRoll_(preRoll), postRoll_(postRoll)
{
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    worker_ = std::thread([this] { work(); });
}

ClipRecorder::~ClipRecorder()
{
    finishAll(10s);
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    worker_.join();
    // Clips the worker could not complete in time: stop them and leave no partial file.
    for (auto& clip : closing_) {
        gst_element_set_state(clip->pipeline.get(), GST_STATE_NULL);
        std::error_code ignored;
        fs::remove(clip->temporary, ignored);
    }
}

void ClipRecorder::setRolls(std::chrono::milliseconds preRoll, std::chrono::milliseconds postRoll)
{
    std::lock_guard lock(mutex_);
    preRoll_ = preRoll;
    postRoll_ = postRoll;
}

void ClipRecorder::setEnabled(bool enabled)
{
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
    if (!enabled)
        ring_.clear();
}

void ClipRecorder::pushFrame(const QImage& frame, std::int64_t ptsNs)
{
    if (frame.isNull())
        return;
    {
        std::lock_guard lock(mutex_);
        if (!enabled_)
            return;
    }
    // Converted outside the lock, so that the calls from the GUI thread never wait for it.
    gst::Buffer picture = planar_.convert(frame);
    if (!picture)
        return;
    std::lock_guard lock(mutex_);
    if (!enabled_)
        return;
    if (!ring_.empty() && ptsNs <= ring_.back().pts)
        ring_.clear(); // the source started again: its older frames belong to another stream
    ring_.push_back({std::move(picture), frame.width(), frame.height(), ptsNs});
    while (ring_.size() > 1 && ring_.front().pts < ptsNs - preRoll_.count())
        ring_.pop_front();

    bool closed = false;
    for (auto& clip : recording_) {
        if (clip->ending && ptsNs > clip->lastPts) {
            close(clip);
            closed = true;
            continue;
        }
        feed(*clip, ring_.back());
        if (clip->failed) {
            close(clip);
            closed = true;
        }
    }
    if (closed) {
        std::erase(recording_, nullptr);
        changed_.notify_all();
    }
}

void ClipRecorder::feed(Clip& clip, const Buffered& frame)
{
    if (clip.failed)
        return;
    if (!clip.pipeline) {
        clip.width = frame.width;
        clip.height = frame.height;
        clip.firstPts = frame.pts;
        if (ring_.size() > 1)
            clip.period = std::max<std::int64_t>(1, (ring_.back().pts - ring_.front().pts) /
                                                        static_cast<std::int64_t>(ring_.size() - 1));

        GError* rawError = nullptr;
        gst::Element pipeline = gst::adoptFloating(gst_parse_launch(
            "appsrc name=source format=time max-bytes=0 block=false ! queue ! "
            "vp8enc name=encoder deadline=1 cpu-used=8 threads=1 ! webmmux ! filesink name=sink",
            &rawError));
        const gst::Error error(rawError);
        if (!pipeline || error) {
            clip.failed = true;
            clip.error = std::string("the encoder cannot be made: ") + (error ? error->message : "unknown error");
            return;
        }
        const gst::Element source(gst_bin_get_by_name(GST_BIN(pipeline.get()), "source"));
        const gst::Element encoder(gst_bin_get_by_name(GST_BIN(pipeline.get()), "encoder"));
        const gst::Element sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
        GstVideoInfo info = planarInfo(clip.width, clip.height);
        // A nominal rate for the encoder's bit budget; each frame keeps its own time.
        info.fps_n = static_cast<gint>(std::max<std::int64_t>(1, (1'000'000'000 + clip.period / 2) / clip.period));
        info.fps_d = 1;
        const gst::Caps caps(gst_video_info_to_caps(&info));
        g_object_set(source.get(), "caps", caps.get(), nullptr);
        g_object_set(encoder.get(), "target-bitrate",
                     gint(std::min<qint64>(3 * std::int64_t(clip.width) * clip.height, 20'000'000)), nullptr);
        g_object_set(sink.get(), "location", clip.temporary.c_str(), nullptr);
        clip.source = source.get();
        clip.bus = gst::Bus(gst_element_get_bus(pipeline.get()));
        clip.pipeline = std::move(pipeline);
        if (gst_element_set_state(clip.pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            clip.failed = true;
            clip.error = "the encoder does not start";
            return;
        }
    } else if (frame.width != clip.width || frame.height != clip.height) {
        // The source changed its size: the clip ends with the frames it has.
        clip.ending = true;
        clip.lastPts = frame.pts - 1;
        return;
    }

    // A clip whose writing failed (a full disk) takes no more frames: the source would
    // queue them for ever, and the failure is told now rather than at the event's end.
    if (const gst::Message failure(gst_bus_pop_filtered(clip.bus.get(), GST_MESSAGE_ERROR)); failure) {
        clip.failed = true;
        clip.error = errorText(failure.get());
        return;
    }

    // The kept picture itself, with this clip's times on a buffer of its own.
    GstBuffer* buffer = gst_buffer_copy(frame.picture.get());
    GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(frame.pts - clip.firstPts);
    GST_BUFFER_DURATION(buffer) = static_cast<GstClockTime>(clip.period);
    if (gst_app_src_push_buffer(GST_APP_SRC(clip.source), buffer) != GST_FLOW_OK) {
        clip.failed = true; // the bus says why
        return;
    }
    ++clip.frames;
}

void ClipRecorder::close(std::unique_ptr<Clip>& clip)
{
    if (clip->pipeline && !clip->failed)
        gst_app_src_end_of_stream(GST_APP_SRC(clip->source));
    closing_.push_back(std::move(clip));
}

int ClipRecorder::begin(const std::string& stem, std::string& path, std::string& error)
{
    auto clip = std::make_unique<Clip>();
    std::error_code ec;
    for (int n = 1;; ++n) {
        if (n > 1000) {
            error = "no free name for a clip beside " + stem;
            return 0;
        }
        path = stem + (n == 1 ? std::string() : "-" + std::to_string(n)) + ".webm";
        if (fs::exists(path, ec))
            continue;
        const std::string temporary = temporaryNameOf(path);
        if (!clip->claim.take(temporary)) {
            if (errno == EEXIST)
                continue; // being written, here or by another program
            error = "Cannot record the clip " + path + ": " + std::strerror(errno);
            return 0;
        }
        // A clip of that name finished just before the claim: its temporary name was free again.
        if (fs::exists(path, ec)) {
            clip->claim.drop();
            fs::remove(temporary, ec);
            continue;
        }
        break;
    }
    clip->path = path;
    clip->temporary = temporaryNameOf(path);

    std::lock_guard lock(mutex_);
    clip->id = nextId_++;
    for (const Buffered& frame : ring_)
        feed(*clip, frame);
    if (clip->failed && !clip->pipeline) {
        error = "Cannot record the clip " + path + ": " + clip->error;
        return 0;
    }
    const int id = clip->id;
    recording_.push_back(std::move(clip));
    return id;
}

void ClipRecorder::end(int id)
{
    std::lock_guard lock(mutex_);
    for (auto& clip : recording_)
        if (clip->id == id && !clip->ending) {
            clip->ending = true;
            clip->lastPts = (ring_.empty() ? 0 : ring_.back().pts) + postRoll_.count();
            // Without frames the after-roll never comes: close after its time has passed.
            clip->giveUp = std::chrono::steady_clock::now() + postRoll_ + 1s;
        }
    changed_.notify_all();
}

void ClipRecorder::finishAll(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    for (auto& clip : recording_)
        close(clip);
    recording_.clear();
    changed_.notify_all();
    changed_.wait_for(lock, timeout, [this] { return closing_.empty() && !busy_; });
}

std::size_t ClipRecorder::bufferedFrames() const
{
    std::lock_guard lock(mutex_);
    return ring_.size();
}

std::size_t ClipRecorder::bufferedBytes() const
{
    std::lock_guard lock(mutex_);
    std::size_t bytes = 0;
    for (const Buffered& frame : ring_)
        bytes += gst_buffer_get_size(frame.picture.get());
    return bytes;
}

void ClipRecorder::removeLeftovers(const std::string& folder)
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() <= 10 || name.front() != '.' || !name.ends_with(".webm.part"))
            continue;
        // A clip still being written, by this program or another one recording here, is
        // locked; what is not was left by a program that ended before renaming it.
        const int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            fs::remove(entry.path(), ec);
        ::close(fd);
    }
}

void ClipRecorder::work()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        // Ending clips whose source went quiet are closed once their after-roll has passed.
        const auto nowTime = std::chrono::steady_clock::now();
        auto wake = nowTime + 1h;
        for (auto& clip : recording_)
            if (clip->ending) {
                if (clip->giveUp <= nowTime)
                    close(clip);
                else
                    wake = std::min(wake, clip->giveUp);
            }
        std::erase(recording_, nullptr);

        if (!closing_.empty()) {
            std::unique_ptr<Clip> clip = std::move(closing_.front());
            closing_.pop_front();
            busy_ = true;
            lock.unlock();
            const Result result = complete(*clip);
            clip.reset();
            if (finished_)
                finished_(result);
            lock.lock();
            busy_ = false;
            changed_.notify_all();
            continue;
        }
        if (stop_)
            return;
        changed_.wait_until(lock, wake);
    }
}

ClipRecorder::Result ClipRecorder::complete(Clip& clip)
{
    Result result;
    result.path = clip.path;
    result.frames = clip.frames;
    if (clip.pipeline) {
        if (clip.error.empty()) {
            const gst::Message message(gst_bus_timed_pop_filtered(
                clip.bus.get(), 30 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
            if (!message)
                clip.error = "the encoder did not finish in time";
            else if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR)
                clip.error = errorText(message.get());
        }
        gst_element_set_state(clip.pipeline.get(), GST_STATE_NULL);
    } else if (clip.error.empty()) {
        clip.error = "no frames came from the source";
    }

    std::error_code ec;
    if (clip.error.empty() && clip.frames > 0) {
        fs::rename(clip.temporary, clip.path, ec);
        if (ec)
            clip.error = ec.message();
    }
    if (!clip.error.empty() || clip.frames == 0) {
        fs::remove(clip.temporary, ec);
        result.error = "The clip " + clip.path + " was not saved: " +
                       (clip.error.empty() ? std::string("no frames came from the source") : clip.error);
        return result;
    }
    result.complete = true;
    result.bytes = static_cast<std::int64_t>(fs::file_size(clip.path, ec));
    return result;
}

} // namespace events
