#include "CapturePipeline.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>

#include <gst/app/gstappsink.h>
#include <gst/video/colorbalance.h>
#include <gst/video/video.h>

#include "GstErrors.h"

namespace platform {

namespace {

using namespace std::chrono_literals;

GstElement* makeElement(const char* factory, const char* name, std::string& error)
{
    GstElement* element = gst_element_factory_make(factory, name);
    if (!element && error.empty())
        error = std::string("Missing GStreamer element \"") + factory + "\" (install its plugin)";
    return element;
}

// Adds the elements to `bin` and starts them with it; the last one first, so that none
// pushes into one that is not running yet.
void addRunning(GstElement* bin, std::initializer_list<GstElement*> elements)
{
    for (GstElement* e : elements)
        gst_bin_add(GST_BIN(bin), e);
    for (auto it = std::rbegin(elements); it != std::rend(elements); ++it)
        gst_element_sync_state_with_parent(*it);
}

bool linkPads(GstPad* from, GstElement* to)
{
    const gst::Pad sink(gst_element_get_static_pad(to, "sink"));
    return sink && GST_PAD_LINK_SUCCESSFUL(gst_pad_link(from, sink.get()));
}

// A branch of a tee: its new source pad linked to `to`; null when it cannot be.
gst::Pad linkBranch(GstElement* tee, GstElement* to)
{
    gst::Pad pad(gst_element_request_pad_simple(tee, "src_%u"));
    if (!pad || !linkPads(pad.get(), to))
        return {};
    return pad;
}

std::int64_t timeOf(GstBuffer* buffer)
{
    if (GST_BUFFER_DTS_IS_VALID(buffer))
        return static_cast<std::int64_t>(GST_BUFFER_DTS(buffer));
    return GST_BUFFER_PTS_IS_VALID(buffer) ? static_cast<std::int64_t>(GST_BUFFER_PTS(buffer)) : -1;
}

bool containsFileSource(GstElement* element)
{
    if (!GST_IS_BIN(element)) {
        GstElementFactory* factory = gst_element_get_factory(element);
        return factory && std::string(GST_OBJECT_NAME(factory)) == "filesrc";
    }
    bool found = false;
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(element));
    GValue item = G_VALUE_INIT;
    while (!found && gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        found = containsFileSource(GST_ELEMENT(g_value_get_object(&item)));
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return found;
}

} // namespace

std::unique_ptr<CapturePipeline> CapturePipeline::start(gst::Element source, const GstCaps* requested,
                                                        std::uint64_t stream, std::chrono::milliseconds timeout,
                                                        const std::atomic<bool>& cancel, std::string& error,
                                                        CaptureDemand demand)
{
    std::unique_ptr<CapturePipeline> self(new CapturePipeline);
    self->setClipsWanted(demand.clips);
    self->setFrameInterval(demand.frameInterval);
    self->pipeline_ = gst::adoptFloating(gst_pipeline_new("capture"));
    self->source_ = source.get();
    self->loops_ = containsFileSource(source.get());
    self->stream_ = stream;
    if (GST_IS_COLOR_BALANCE(source.get()))
        self->deviceBalance_ = source.get();
    else if (GST_IS_BIN(source.get()))
        self->deviceBalance_ = gst_bin_get_by_interface(GST_BIN(source.get()), GST_TYPE_COLOR_BALANCE);
    if (self->deviceBalance_ && self->deviceBalance_ != source.get())
        gst_object_unref(self->deviceBalance_); // the bin keeps it alive

    // A file has one size, format and rate; converting them in the pipeline lets every
    // format the dialog offers work, as a camera's own formats do.
    GstElement* fileConvert = self->loops_ ? makeElement("videoconvert", nullptr, error) : nullptr;
    GstElement* fileScale = self->loops_ ? makeElement("videoscale", nullptr, error) : nullptr;
    GstElement* fileRate = self->loops_ ? makeElement("videorate", nullptr, error) : nullptr;
    self->format_ = makeElement("capsfilter", "format", error);
    GstElement* convert = makeElement("videoconvert", nullptr, error);
    self->balance_ = makeElement("videobalance", nullptr, error);
    GstElement* toBgr = makeElement("videoconvert", nullptr, error);
    GstElement* bgrOnly = makeElement("capsfilter", nullptr, error);
    GstElement* sink = makeElement("appsink", nullptr, error);
    GstElement* elements[] = {fileConvert, fileScale, fileRate, self->format_, convert, self->balance_, toBgr, bgrOnly, sink};
    for (GstElement* e : elements)
        if (e)
            gst_bin_add(GST_BIN(self->pipeline_.get()), e);
    if (!error.empty())
        return nullptr;
    // The bin takes a reference of its own; ours goes with `source`.
    gst_bin_add(GST_BIN(self->pipeline_.get()), source.get());

    if (requested)
        g_object_set(self->format_, "caps", requested, nullptr);
    gst::Caps bgr(gst_caps_from_string("video/x-raw,format=BGR"));
    g_object_set(bgrOnly, "caps", bgr.get(), nullptr);
    // The newest frame only; a file source plays at its own rate through the clock.
    g_object_set(sink, "max-buffers", 2u, "drop", TRUE, "emit-signals", TRUE, "sync", TRUE, nullptr);
    g_signal_connect(sink, "new-sample", G_CALLBACK(&CapturePipeline::onSample), self.get());

    // What the source sends is known only once it runs: its first picture waits until
    // the branches for its kind are joined (buildBranches). A camera's format is held at
    // the source; a file's after decoding, where it is scaled.
    GstElement* head = self->loops_ ? self->source_ : self->format_;
    self->decoded_ = self->loops_ ? fileConvert : convert;
    if (self->loops_ && !gst_element_link_many(fileConvert, fileScale, fileRate, nullptr)) {
        error = "Cannot link the video file to the capture pipeline";
        return nullptr;
    }
    self->formatInput_ = self->loops_ ? fileRate : self->source_;
    if ((!self->loops_ && !gst_element_link(self->source_, self->format_)) ||
        (self->loops_ && !gst_element_link(fileRate, self->format_)) ||
        (self->loops_ && !gst_element_link(self->format_, convert)) ||
        !gst_element_link_many(convert, self->balance_, toBgr, bgrOnly, sink, nullptr)) {
        error = "Cannot link the video source to the capture pipeline";
        return nullptr;
    }
    const gst::Pad headPad(gst_element_get_static_pad(head, "src"));
    if (!headPad) {
        error = "The video source has no output";
        return nullptr;
    }
    gst_pad_add_probe(headPad.get(),
                      GstPadProbeType(GST_PAD_PROBE_TYPE_BLOCK | GST_PAD_PROBE_TYPE_BUFFER |
                                      GST_PAD_PROBE_TYPE_BUFFER_LIST),
                      &CapturePipeline::onFirstBuffer, self.get(), nullptr);
    self->bus_ = gst::Bus(gst_element_get_bus(self->pipeline_.get()));
    if (!self->play(timeout, cancel, error))
        return nullptr;
    return self;
}

GstPadProbeReturn CapturePipeline::onFirstBuffer(GstPad* pad, GstPadProbeInfo*, gpointer data)
{
    auto* self = static_cast<CapturePipeline*>(data);
    std::string error;
    if (!self->buildBranches(pad, error)) {
        const gst::Error failure(g_error_new_literal(GST_CORE_ERROR, GST_CORE_ERROR_NEGOTIATION, error.c_str()));
        gst_element_post_message(self->pipeline_.get(),
                                 gst_message_new_error(GST_OBJECT(self->pipeline_.get()), failure.get(), nullptr));
    }
    // Linked now: the pad sends its caps again, then this picture.
    return GST_PAD_PROBE_REMOVE;
}

bool CapturePipeline::buildBranches(GstPad* pad, std::string& error)
{
    const gst::Caps caps(gst_pad_get_current_caps(pad));
    const GstStructure* structure = caps && gst_caps_get_size(caps.get()) > 0 ? gst_caps_get_structure(caps.get(), 0)
                                                                                : nullptr;
    const std::string kind = structure ? gst_structure_get_name(structure) : "";
    GstElement* bin = pipeline_.get();
    // Ours until the bin takes them: what is made before a failure goes again.
    std::vector<gst::Element> made;
    auto make = [&](const char* factory) {
        made.push_back(gst::adoptFloating(makeElement(factory, nullptr, error)));
        return made.back().get();
    };

    // A live source must not wait for the frames' chain: when decoding falls behind, the
    // frames' queue loses pictures, never the clip branch. A file waits (it has no hurry).
    gboolean live = FALSE;
    GstQuery* latency = gst_query_new_latency();
    if (gst_pad_query(pad, latency))
        gst_query_parse_latency(latency, &live, nullptr, nullptr);
    gst_query_unref(latency);

    GstElement* clipSink = make("appsink");
    if (clipSink) {
        g_object_set(clipSink, "emit-signals", TRUE, "drop", FALSE, "max-buffers", 0u, "sync", loops_ ? TRUE : FALSE,
                     "async", FALSE, nullptr);
        g_signal_connect(clipSink, "new-sample", G_CALLBACK(&CapturePipeline::onPacket), this);
    }
    auto detectionProbe = [this](GstPad* at) {
        gst_pad_add_probe(at, GST_PAD_PROBE_TYPE_BUFFER, &CapturePipeline::onDetectionBuffer, this, nullptr);
    };
    // The clip branch takes whatever comes; its queue holds seconds, so that a busy
    // moment of the recorder's never reaches the source.
    auto clipQueue = [&](guint64 seconds) {
        GstElement* queue = make("queue");
        if (queue)
            g_object_set(queue, "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time", seconds * GST_SECOND,
                         nullptr);
        return queue;
    };

    if (kind == "video/x-raw") {
        GstVideoInfo info;
        const bool known = gst_video_info_from_caps(&info, caps.get());
        GstElement* tee = make("tee");
        GstElement* queue = clipQueue(1);
        GstElement* toPlanar = make("videoconvert");
        GstElement* encoder = make("vp8enc");
        if (!error.empty() || !clipSink)
            return false;
        // Realtime and the cheapest effort: a clip is evidence, not an archive. A key
        // frame every second lets the pre-event buffer start close to its length.
        const int width = known ? GST_VIDEO_INFO_WIDTH(&info) : 640;
        const int height = known ? GST_VIDEO_INFO_HEIGHT(&info) : 480;
        const int rate = known && GST_VIDEO_INFO_FPS_N(&info) > 0 && GST_VIDEO_INFO_FPS_D(&info) > 0
                             ? std::max(1, (GST_VIDEO_INFO_FPS_N(&info) + GST_VIDEO_INFO_FPS_D(&info) - 1) /
                                               GST_VIDEO_INFO_FPS_D(&info))
                             : 25;
        g_object_set(encoder, "deadline", gint64(1), "cpu-used", 16, "threads", 1, "lag-in-frames", 0,
                     "keyframe-max-dist", rate, "target-bitrate",
                     gint(std::min<std::int64_t>(3 * std::int64_t(width) * height, 20'000'000)), nullptr);
        addRunning(bin, {tee, queue, toPlanar, encoder, clipSink});
        clipEncoder_ = encoder;
        const gst::Pad frames = linkBranch(tee, decoded_);
        const gst::Pad clips = linkBranch(tee, queue);
        if (!frames || !clips || !gst_element_link_many(queue, toPlanar, encoder, clipSink, nullptr) ||
            !linkPads(pad, tee)) {
            error = "Cannot link the clip encoder to the capture pipeline";
            return false;
        }
        detectionProbe(frames.get());
        // Pictures only: the stream's events (its end above all) pass whether clips are
        // wanted or not.
        gst_pad_add_probe(clips.get(), GST_PAD_PROBE_TYPE_BUFFER, &CapturePipeline::onClipPicture, this, nullptr);
        return true;
    }

    const bool jpeg = kind == "image/jpeg";
    if (!jpeg && kind != "video/x-h264") {
        error = "The video source sends " + (kind.empty() ? std::string("no known format") : kind) +
                ", which cannot be shown";
        return false;
    }
    GstElement* parser = make(jpeg ? "jpegparse" : "h264parse");
    // Matroska takes H.264 as whole pictures with the stream's settings in the caps.
    GstElement* packets = jpeg ? nullptr : make("capsfilter");
    GstElement* tee = make("tee");
    GstElement* queue = clipQueue(3);
    GstElement* frameQueue = make("queue");
    GstElement* decoder = make(jpeg ? "jpegdec" : "avdec_h264");
    if (!error.empty() || !clipSink)
        return false;
    if (packets) {
        const gst::Caps avc(gst_caps_from_string("video/x-h264,stream-format=avc,alignment=au"));
        g_object_set(packets, "caps", avc.get(), nullptr);
    }
    // Every H.264 picture is needed by the next one: only MJPEG may lose some.
    if (live && jpeg)
        g_object_set(frameQueue, "leaky", 2 /* downstream */, "max-size-buffers", 2u, nullptr);
    if (packets)
        addRunning(bin, {parser, packets, tee, queue, clipSink, frameQueue, decoder});
    else
        addRunning(bin, {parser, tee, queue, clipSink, frameQueue, decoder});
    const bool parsed = packets ? gst_element_link_many(parser, packets, tee, nullptr) : gst_element_link(parser, tee);
    const gst::Pad clips = linkBranch(tee, queue);
    const gst::Pad frames = linkBranch(tee, frameQueue);
    if (!parsed || !clips || !frames || !gst_element_link(queue, clipSink) ||
        !gst_element_link_many(frameQueue, decoder, decoded_, nullptr) || !linkPads(pad, parser)) {
        error = "Cannot link the decoder of " + kind + " to the capture pipeline";
        return false;
    }
    if (jpeg) {
        detectionProbe(frames.get());
    } else {
        const gst::Pad decoderOut(gst_element_get_static_pad(decoder, "src"));
        detectionProbe(decoderOut.get());
    }
    return true;
}

GstPadProbeReturn CapturePipeline::onDetectionBuffer(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    auto* self = static_cast<CapturePipeline*>(data);
    const std::int64_t interval = self->frameIntervalNs_.load(std::memory_order_relaxed);
    if (interval <= 0)
        return GST_PAD_PROBE_OK;
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    const std::int64_t time =
        buffer && GST_BUFFER_PTS_IS_VALID(buffer)
            ? static_cast<std::int64_t>(GST_BUFFER_PTS(buffer))
            : std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    // A time going back is a file that started again.
    if (self->lastDecodedNs_ >= 0 && time >= self->lastDecodedNs_ && time - self->lastDecodedNs_ < interval)
        return GST_PAD_PROBE_DROP;
    self->lastDecodedNs_ = time;
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn CapturePipeline::onClipPicture(GstPad*, GstPadProbeInfo*, gpointer data)
{
    return static_cast<CapturePipeline*>(data)->clipsWanted_.load(std::memory_order_relaxed) ? GST_PAD_PROBE_OK
                                                                                             : GST_PAD_PROBE_DROP;
}

GstFlowReturn CapturePipeline::onPacket(GstElement* sink, gpointer data)
{
    auto* self = static_cast<CapturePipeline*>(data);
    const gst::Sample sample(gst_app_sink_pull_sample(GST_APP_SINK(sink)));
    GstBuffer* buffer = sample ? gst_sample_get_buffer(sample.get()) : nullptr;
    GstCaps* caps = sample ? gst_sample_get_caps(sample.get()) : nullptr;
    if (!buffer || !caps)
        return GST_FLOW_OK;
    if (!self->packetCaps_ || (caps != self->packetCaps_.get() && !gst_caps_is_equal(caps, self->packetCaps_.get())))
        self->packetCaps_ = sharedCaps(gst_caps_ref(caps));

    std::int64_t time = timeOf(buffer);
    if (time < 0)
        time = self->lastPacketNs_ + std::max<std::int64_t>(1, self->lastPacketDurationNs_);
    // A file that starts again starts its times again too: its packets go on after the
    // last one, as one stream.
    if (self->lastPacketNs_ >= 0 && time + self->packetShiftNs_ <= self->lastPacketNs_)
        self->packetShiftNs_ = self->lastPacketNs_ + std::max<std::int64_t>(1, self->lastPacketDurationNs_) - time;
    Packet packet;
    if (self->packetShiftNs_ == 0) {
        packet.buffer = gst::Buffer(gst_buffer_ref(buffer));
    } else {
        // New times on a buffer of its own, over the same memory.
        packet.buffer = gst::Buffer(gst_buffer_copy(buffer));
        const auto shift = static_cast<GstClockTime>(self->packetShiftNs_);
        if (GST_BUFFER_PTS_IS_VALID(buffer))
            GST_BUFFER_PTS(packet.buffer.get()) += shift;
        if (GST_BUFFER_DTS_IS_VALID(buffer))
            GST_BUFFER_DTS(packet.buffer.get()) += shift;
    }
    packet.caps = self->packetCaps_;
    packet.keyFrame = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    packet.ptsNs = time + self->packetShiftNs_;
    packet.stream = self->stream_;
    self->lastPacketNs_ = packet.ptsNs;
    if (GST_BUFFER_DURATION_IS_VALID(buffer))
        self->lastPacketDurationNs_ = static_cast<std::int64_t>(GST_BUFFER_DURATION(buffer));

    std::lock_guard lock(self->packetListenerMutex_);
    if (self->packetListener_) {
        self->packetListener_(packet);
    } else if (!self->heard_) {
        // A clip can only start at a key frame, and a raw source's encoder makes its first
        // one as the connection starts: it must not be lost while the connection is
        // handed over.
        if (packet.keyFrame)
            self->unheard_.clear();
        if (packet.keyFrame || !self->unheard_.empty())
            self->unheard_.push_back(std::move(packet));
    }
    return GST_FLOW_OK;
}

void CapturePipeline::setPacketListener(std::function<void(const Packet&)> listener)
{
    std::lock_guard lock(packetListenerMutex_);
    packetListener_ = std::move(listener);
    if (!packetListener_)
        return;
    heard_ = true;
    for (const Packet& packet : unheard_)
        packetListener_(packet);
    unheard_.clear();
}

void CapturePipeline::setClipsWanted(bool wanted)
{
    // The encoder starts again with a key frame, so that the pre-event buffer has a
    // start at once rather than at the next regular key frame.
    if (wanted && !clipsWanted_.exchange(wanted) && clipEncoder_)
        gst_element_send_event(clipEncoder_, gst_video_event_new_downstream_force_key_unit(
                                                 GST_CLOCK_TIME_NONE, GST_CLOCK_TIME_NONE, GST_CLOCK_TIME_NONE, TRUE, 0));
    clipsWanted_ = wanted;
}

void CapturePipeline::setFrameInterval(std::chrono::milliseconds interval)
{
    frameIntervalNs_ = std::chrono::duration_cast<std::chrono::nanoseconds>(interval).count();
}

CapturePipeline::~CapturePipeline()
{
    if (pipeline_)
        gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
}

bool CapturePipeline::play(std::chrono::milliseconds timeout, const std::atomic<bool>& cancel, std::string& error)
{
    const std::uint64_t before = newest().number;
    if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        const std::vector<std::string> errors = pollBus();
        error = errors.empty() ? "The video source cannot be started" : errors.front();
        gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
        return false;
    }
    // Wait for a frame in slices, so that an error on the bus ends the wait at once.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline && !cancel) {
        if (waitNewer(before, 50ms).number != 0)
            return true;
        const std::vector<std::string> errors = pollBus();
        if (!errors.empty()) {
            error = errors.front();
            gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
            return false;
        }
    }
    error = cancel ? "Connecting was cancelled" : "No frames arrive from the video source";
    gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    return false;
}

GstFlowReturn CapturePipeline::onSample(GstElement* sink, gpointer data)
{
    auto* self = static_cast<CapturePipeline*>(data);
    gst::Sample sample(gst_app_sink_pull_sample(GST_APP_SINK(sink)));
    if (!sample)
        return GST_FLOW_OK;
    std::shared_ptr<const analysis::Bitmap> pixels = self->pictures_.copy(sample.get());
    if (!pixels)
        return GST_FLOW_OK;
    const auto arrived = std::chrono::steady_clock::now().time_since_epoch();
    Frame frame;
    {
        std::lock_guard lock(self->mutex_);
        self->newest_ = {std::move(pixels), self->stream_, self->newest_.number + 1,
                         std::chrono::duration_cast<std::chrono::nanoseconds>(arrived).count()};
        frame = self->newest_;
    }
    self->arrived_.notify_all();
    std::lock_guard lock(self->listenerMutex_);
    if (self->listener_)
        self->listener_(frame);
    return GST_FLOW_OK;
}

CapturePipeline::Frame CapturePipeline::newest() const
{
    std::lock_guard lock(mutex_);
    return newest_;
}

CapturePipeline::Frame CapturePipeline::waitNewer(std::uint64_t after, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, timeout, [&] { return stopped_ || newest_.number > after; }) || stopped_)
        return {};
    return newest_;
}

bool CapturePipeline::stopped() const
{
    std::lock_guard lock(mutex_);
    return stopped_;
}

void CapturePipeline::setFrameListener(std::function<void(const Frame&)> listener)
{
    std::lock_guard lock(listenerMutex_);
    listener_ = std::move(listener);
}

std::vector<std::string> CapturePipeline::pollBus()
{
    std::vector<std::string> reports;
    while (gst::Message message{gst_bus_pop_filtered(bus_.get(), GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_EOS))}) {
        if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR) {
            reports.push_back(gst::errorText(message.get()));
        } else if (loops_ && gst_element_seek_simple(pipeline_.get(), GST_FORMAT_TIME,
                                                     GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT), 0)) {
            continue;
        } else {
            reports.emplace_back("The video source has ended");
        }
        std::lock_guard lock(mutex_);
        stopped_ = true;
        arrived_.notify_all();
    }
    return reports;
}

gst::Caps CapturePipeline::ownCaps() const
{
    gst::Pad decoded(loops_ ? gst_element_get_static_pad(decoded_, "sink") : nullptr);
    return gst::Caps(decoded ? gst_pad_get_current_caps(decoded.get()) : nullptr);
}

gst::Caps CapturePipeline::offeredCaps() const
{
    // A file's decoded pictures, where it is compressed.
    gst::Caps caps = ownCaps();
    gst::Pad pad(gst_element_get_static_pad(source_, "src"));
    if (!caps)
        caps.reset(pad ? gst_pad_query_caps(pad.get(), nullptr) : gst_caps_new_any());
    if (!loops_ || gst_caps_is_any(caps.get()))
        return caps;
    // The file's own formats, at any size and rate: the pipeline scales and paces it.
    caps.reset(gst_caps_make_writable(caps.release()));
    for (guint i = 0; i < gst_caps_get_size(caps.get()); ++i)
        gst_structure_set(gst_caps_get_structure(caps.get(), i), "width", GST_TYPE_INT_RANGE, 1, 7680, "height",
                          GST_TYPE_INT_RANGE, 1, 4320, "framerate", GST_TYPE_FRACTION_RANGE, 1, 1, 60, 1, nullptr);
    return caps;
}

gst::Caps CapturePipeline::currentCaps() const
{
    gst::Pad pad(gst_element_get_static_pad(formatInput_, "src"));
    return gst::Caps(pad ? gst_pad_get_current_caps(pad.get()) : nullptr);
}

GstElement* CapturePipeline::colourBalance() const
{
    return deviceBalance_ ? deviceBalance_ : balance_;
}

} // namespace platform
