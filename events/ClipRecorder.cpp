#include "ClipRecorder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include "GstErrors.h"
#include "GstHandles.h"

namespace events {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
namespace gst = platform::gst;
using platform::Packet;

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

// What a clip's writer may hold, beyond the pre-event buffer it starts with, before it
// counts as fallen behind: seconds of the largest pictures, and a bound on the memory a
// stuck disk can take.
constexpr guint64 writerBacklog = 16 * 1024 * 1024;
// What a clip may hold back past its last movement's after-roll before it gives up
// trimming and takes all (a long quiet gap of a busy camera).
constexpr guint64 mostHeldBack = 64 * 1024 * 1024;

bool isVp8(const GstCaps* caps)
{
    return caps && gst_caps_get_size(caps) > 0 &&
           gst_structure_has_name(gst_caps_get_structure(caps, 0), "video/x-vp8");
}

} // namespace

struct ClipRecorder::Clip {
    int id = 0;
    std::string path;
    std::string temporary;
    Claim claim; // held until the temporary file is renamed or removed
    gst::Element pipeline;
    gst::Bus bus;
    GstElement* source = nullptr; // owned by the pipeline
    std::shared_ptr<GstCaps> caps;
    std::uint64_t stream = 0;
    std::int64_t shiftNs = 0;      // from the source's times to the clip's
    std::int64_t lastNs = -1;      // the clip's time of the last packet taken
    std::int64_t lastDurationNs = 40'000'000;
    std::int64_t frames = 0;
    std::int64_t dropped = 0;
    bool awaitKey = false;         // after a lost packet, until the next key frame
    guint64 backlog = writerBacklog; // the bytes its writer may hold
    bool ending = false;
    std::int64_t endNs = 0;                           // once ending: the last source time to take
    std::string stem;              // of the event's first part
    int part = 1;                  // a later part goes on where the source changed its size
    std::string continuedIn;       // the next part's final name, once there is one
    std::int64_t holdAfterNs = -1;                    // after the last movement's after-roll; -1: none
    std::deque<Packet> held;                          // past it, until movement or the end
    guint64 heldBytes = 0;
    std::chrono::steady_clock::time_point giveUp{}; // once ending: close even without packets
    bool failed = false;
    std::string error;

    // A packet of another size or format than those written so far.
    bool changesSize(const Packet& packet) const
    {
        return pipeline && !gst_caps_is_equal(packet.caps.get(), caps.get());
    }
};

ClipRecorder::ClipRecorder(std::chrono::milliseconds preRoll, std::chrono::milliseconds postRoll, Finished finished)
    : finished_(std::move(finished)), preRoll_(preRoll), postRoll_(postRoll)
{
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    worker_ = std::thread([this] { work(); });
}

ClipRecorder::~ClipRecorder()
{
    closeAll();
    waitClosed(10s);
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    worker_.join();
    // Clips the worker could not complete in time: stop them and leave no partial file.
    for (auto& clip : closing_) {
        if (clip->pipeline)
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

std::function<void(const Packet&)> ClipRecorder::packetTap(std::weak_ptr<ClipRecorder> recorder)
{
    return [recorder = std::move(recorder)](const Packet& packet) {
        if (const auto r = recorder.lock())
            r->pushPacket(packet);
    };
}

void ClipRecorder::pushPacket(const Packet& packet)
{
    if (!packet.buffer || !packet.caps)
        return;
    std::lock_guard lock(mutex_);
    if (!enabled_)
        return;
    // A source that started again: its older packets belong to another stream.
    const bool restarted = latestCaps_ && (packet.stream != latestStream_ || packet.ptsNs <= latestNs_);
    if (restarted || (latestCaps_ && !gst_caps_is_equal(packet.caps.get(), latestCaps_.get())))
        ring_.clear();
    latestCaps_ = packet.caps;
    latestStream_ = packet.stream;
    latestNs_ = packet.ptsNs;
    // A clip can only start at a key frame: what comes before the first one is no use.
    if (packet.keyFrame || !ring_.empty()) {
        ring_.push_back(packet);
        trimRing(packet.ptsNs);
    }

    bool closed = false;
    for (auto& clip : recording_) {
        if (clip->ending && (packet.ptsNs > clip->endNs || (clip->pipeline && packet.stream != clip->stream))) {
            close(clip);
            closed = true;
            continue;
        }
        if (!clip->ending && clip->changesSize(packet))
            split(clip, packet);
        if (!clip->ending && holdBack(*clip, packet))
            continue;
        feed(*clip, packet);
        if (clip->failed || (clip->ending && packet.ptsNs > clip->endNs)) {
            close(clip);
            closed = true;
        }
    }
    if (closed) {
        std::erase(recording_, nullptr);
        changed_.notify_all();
    }
}

bool ClipRecorder::holdBack(Clip& clip, const Packet& packet)
{
    if (clip.holdAfterNs < 0 || packet.ptsNs <= clip.holdAfterNs)
        return false;
    clip.held.push_back(packet);
    clip.heldBytes += gst_buffer_get_size(packet.buffer.get());
    if (clip.heldBytes <= mostHeldBack)
        return true;
    clip.holdAfterNs = -1;
    for (const Packet& kept : clip.held)
        feed(clip, kept);
    clip.held.clear();
    return true;
}

void ClipRecorder::trimRing(std::int64_t newestNs)
{
    // The ring starts at the latest key frame that still covers the whole pre-roll.
    const std::int64_t from = newestNs - preRoll_.count();
    for (;;) {
        const auto next = std::find_if(ring_.begin() + 1, ring_.end(), [](const Packet& p) { return p.keyFrame; });
        if (next == ring_.end() || next->ptsNs > from)
            return;
        ring_.erase(ring_.begin(), next);
    }
}

bool ClipRecorder::startWriting(Clip& clip, const Packet& first)
{
    const bool webm = isVp8(first.caps.get());
    GError* rawError = nullptr;
    // Matroska as the clip's container: a clip cut short by a killed program or a full
    // disk still plays up to where it was cut.
    gst::Element pipeline = gst::adoptFloating(gst_parse_launch(
        (std::string("appsrc name=source format=time ! ") + (webm ? "webmmux" : "matroskamux") +
         " ! filesink name=sink")
            .c_str(),
        &rawError));
    const gst::Error error(rawError);
    if (!pipeline || error) {
        clip.failed = true;
        clip.error = std::string("the clip writer cannot be made: ") + (error ? error->message : "unknown error");
        return false;
    }
    const gst::Element source(gst_bin_get_by_name(GST_BIN(pipeline.get()), "source"));
    const gst::Element sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    g_object_set(source.get(), "caps", first.caps.get(), "max-bytes", guint64(0), "block", FALSE, nullptr);
    g_object_set(sink.get(), "location", clip.temporary.c_str(), nullptr);
    clip.source = source.get();
    clip.caps = first.caps;
    clip.stream = first.stream;
    clip.shiftNs = first.ptsNs;
    clip.bus = gst::Bus(gst_element_get_bus(pipeline.get()));
    clip.pipeline = std::move(pipeline);
    if (gst_element_set_state(clip.pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        clip.failed = true;
        clip.error = "the clip writer does not start";
        if (const gst::Message failure(gst_bus_pop_filtered(clip.bus.get(), GST_MESSAGE_ERROR)); failure)
            clip.error = gst::errorText(failure.get());
        return false;
    }
    return true;
}

void ClipRecorder::feed(Clip& clip, const Packet& packet)
{
    if (clip.failed)
        return;
    if (!clip.pipeline) {
        // A clip begun before any key frame came starts at the first one.
        if (!packet.keyFrame || !startWriting(clip, packet))
            return;
    } else if (packet.stream != clip.stream) {
        // The source reconnected: the clip goes on in the same format from a key frame,
        // its times after the last packet's.
        if (!gst_caps_is_equal(packet.caps.get(), clip.caps.get())) {
            clip.ending = true;
            clip.endNs = packet.ptsNs - 1;
            return;
        }
        if (!packet.keyFrame)
            return;
        clip.stream = packet.stream;
        clip.shiftNs = packet.ptsNs - (clip.lastNs + clip.lastDurationNs);
    } else if (!gst_caps_is_equal(packet.caps.get(), clip.caps.get())) {
        // The source changed its size: the clip ends with the packets it has.
        clip.ending = true;
        clip.endNs = packet.ptsNs - 1;
        return;
    }

    // A clip whose writing failed (a full disk) takes no more packets: the source would
    // queue them for ever, and the failure is told now rather than at the event's end.
    if (const gst::Message failure(gst_bus_pop_filtered(clip.bus.get(), GST_MESSAGE_ERROR)); failure) {
        clip.failed = true;
        clip.error = gst::errorText(failure.get());
        return;
    }
    // A writer that fell behind (a slow disk) loses packets rather than the memory; the
    // pictures after a lost one depend on it, up to the next key frame.
    if (clip.awaitKey && !packet.keyFrame) {
        ++clip.dropped;
        return;
    }
    if (gst_app_src_get_current_level_bytes(GST_APP_SRC(clip.source)) > clip.backlog) {
        ++clip.dropped;
        clip.awaitKey = true;
        return;
    }
    clip.awaitKey = false;

    // The kept packet's memory, with this clip's times on a buffer of its own.
    GstBuffer* buffer = gst_buffer_copy(packet.buffer.get());
    const std::int64_t shift = clip.shiftNs;
    auto shifted = [shift](GstClockTime time) {
        return static_cast<GstClockTime>(std::max<std::int64_t>(0, static_cast<std::int64_t>(time) - shift));
    };
    if (GST_BUFFER_PTS_IS_VALID(buffer))
        GST_BUFFER_PTS(buffer) = shifted(GST_BUFFER_PTS(buffer));
    else
        GST_BUFFER_PTS(buffer) = shifted(static_cast<GstClockTime>(packet.ptsNs));
    if (GST_BUFFER_DTS_IS_VALID(buffer))
        GST_BUFFER_DTS(buffer) = shifted(GST_BUFFER_DTS(buffer));
    if (GST_BUFFER_DURATION_IS_VALID(buffer))
        clip.lastDurationNs = static_cast<std::int64_t>(GST_BUFFER_DURATION(buffer));
    else
        GST_BUFFER_DURATION(buffer) = static_cast<GstClockTime>(clip.lastDurationNs);
    clip.lastNs = packet.ptsNs - shift;
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

bool ClipRecorder::claimName(const std::string& stem, const std::string& extension, Clip& clip, std::string& error)
{
    std::error_code ec;
    for (int n = 1;; ++n) {
        if (n > 1000) {
            error = "no free name for a clip beside " + stem;
            return false;
        }
        const std::string path = stem + (n == 1 ? std::string() : "-" + std::to_string(n)) + extension;
        if (fs::exists(path, ec))
            continue;
        const std::string temporary = temporaryNameOf(path);
        if (!clip.claim.take(temporary)) {
            if (errno == EEXIST)
                continue; // being written, here or by another program
            error = "Cannot record the clip " + path + ": " + std::strerror(errno);
            return false;
        }
        // A clip of that name finished just before the claim: its temporary name was free again.
        if (fs::exists(path, ec)) {
            clip.claim.drop();
            fs::remove(temporary, ec);
            continue;
        }
        clip.stem = stem;
        clip.path = path;
        clip.temporary = temporary;
        return true;
    }
}

void ClipRecorder::split(std::unique_ptr<Clip>& clip, const Packet& packet)
{
    // The source changed its size (a new format, a reconnection): the event's clip goes on
    // in a file of its own from the next key frame, its name the first one's with the part.
    auto next = std::make_unique<Clip>();
    next->id = clip->id;
    next->part = clip->part + 1;
    std::string error;
    const std::string first = clip->part == 1 ? clip->stem : clip->stem.substr(0, clip->stem.rfind('_'));
    if (!claimName(first + "_" + std::to_string(next->part), isVp8(packet.caps.get()) ? ".webm" : ".mkv", *next,
                   error))
        return; // the clip ends where the size changed (see feed)
    next->holdAfterNs = clip->holdAfterNs;
    next->held.swap(clip->held);
    next->heldBytes = std::exchange(clip->heldBytes, 0);
    clip->continuedIn = next->path;
    close(clip);
    clip = std::move(next);
}

int ClipRecorder::begin(const std::string& stem, std::string& path, std::string& error)
{
    auto clip = std::make_unique<Clip>();
    std::string extension = ".mkv";
    {
        std::lock_guard lock(mutex_);
        if (isVp8(latestCaps_.get()))
            extension = ".webm";
    }
    if (!claimName(stem, extension, *clip, error))
        return 0;
    path = clip->path;

    std::lock_guard lock(mutex_);
    clip->id = nextId_++;
    for (const Packet& packet : ring_)
        clip->backlog += gst_buffer_get_size(packet.buffer.get());
    for (const Packet& packet : ring_)
        feed(*clip, packet);
    if (clip->failed && !clip->pipeline) {
        error = "Cannot record the clip " + path + ": " + clip->error;
        return 0;
    }
    const int id = clip->id;
    recording_.push_back(std::move(clip));
    return id;
}

void ClipRecorder::moved(int id)
{
    std::lock_guard lock(mutex_);
    for (auto& clip : recording_)
        if (clip->id == id && !clip->ending) {
            clip->holdAfterNs = latestNs_ + postRoll_.count();
            std::deque<Packet> held;
            held.swap(clip->held);
            clip->heldBytes = 0;
            for (const Packet& packet : held) {
                if (clip->changesSize(packet))
                    split(clip, packet);
                feed(*clip, packet);
            }
        }
}

void ClipRecorder::end(int id)
{
    std::lock_guard lock(mutex_);
    for (auto& clip : recording_)
        if (clip->id == id && !clip->ending) {
            clip->ending = true;
            clip->endNs = clip->holdAfterNs >= 0 ? clip->holdAfterNs : latestNs_ + postRoll_.count();
            clip->held.clear(); // past the after-roll of the last movement
            // Without frames the after-roll never comes: close after its time has passed,
            // at once when it has.
            clip->giveUp = std::chrono::steady_clock::now() +
                           (latestNs_ >= clip->endNs ? 0ns : std::chrono::nanoseconds(clip->endNs - latestNs_) + 1s);
        }
    changed_.notify_all();
}

void ClipRecorder::closeAll()
{
    std::lock_guard lock(mutex_);
    for (auto& clip : recording_)
        close(clip);
    recording_.clear();
    changed_.notify_all();
}

bool ClipRecorder::waitClosed(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return closing_.empty() && !busy_; });
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
    for (const Packet& packet : ring_)
        bytes += gst_buffer_get_size(packet.buffer.get());
    return bytes;
}

std::string ClipRecorder::temporaryNameOf(const std::string& path)
{
    const fs::path p(path);
    return (p.parent_path() / ("." + p.filename().string() + ".part")).string();
}

std::string ClipRecorder::finalNameOf(const std::string& temporary)
{
    const fs::path p(temporary);
    const std::string name = p.filename().string();
    if (name.size() < 2 || name.front() != '.' || !(name.ends_with(".webm.part") || name.ends_with(".mkv.part")))
        return {};
    return (p.parent_path() / name.substr(1, name.size() - 1 - std::string_view(".part").size())).string();
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
    result.continuedIn = clip.continuedIn;
    result.frames = clip.frames;
    result.droppedFrames = clip.dropped;
    if (clip.pipeline) {
        if (clip.error.empty()) {
            const gst::Message message(gst_bus_timed_pop_filtered(
                clip.bus.get(), 30 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
            if (!message)
                clip.error = "the clip writer did not finish in time";
            else if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR)
                clip.error = gst::errorText(message.get());
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
        // A folder made read-only keeps it: the next start looks at it again.
        if (ec)
            result.error += "; its part " + clip.temporary + " stays until the next start (" + ec.message() + ")";
        return result;
    }
    result.complete = true;
    result.bytes = static_cast<std::int64_t>(fs::file_size(clip.path, ec));
    return result;
}

} // namespace events
