#include "CapturePipeline.h"

#include <gst/app/gstappsink.h>
#include <gst/video/colorbalance.h>
#include <gst/video/video.h>

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

std::string errorText(GstMessage* message)
{
    GError* raw = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &raw, &debug);
    gst::Error error(raw);
    gst::String debugText(debug);
    std::string text = error ? error->message : "Unknown error";
    // Elements often leave the message generic ("Resource not found.") and name what
    // failed, the file or the device, only in the last line of the debug text.
    if (debugText) {
        const std::string detail(debugText.get());
        const std::size_t lineBreak = detail.find_last_of('\n');
        const std::string last = lineBreak == std::string::npos ? detail : detail.substr(lineBreak + 1);
        if (!last.empty() && last.size() <= 160 && last.find("): ") == std::string::npos && last != text)
            text += " (" + last + ")";
    }
    return text;
}

std::shared_ptr<const analysis::Bitmap> picturesOf(GstSample* sample, FramePool& pictures)
{
    GstVideoInfo info;
    GstCaps* caps = gst_sample_get_caps(sample);
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (!caps || !buffer || !gst_video_info_from_caps(&info, caps) || GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_BGR)
        return {};
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ))
        return {};
    std::shared_ptr<const analysis::Bitmap> copy =
        pictures.copy(static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
                      GST_VIDEO_FRAME_WIDTH(&frame), GST_VIDEO_FRAME_HEIGHT(&frame),
                      GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0));
    gst_video_frame_unmap(&frame);
    return copy;
}

} // namespace

std::unique_ptr<CapturePipeline> CapturePipeline::start(gst::Element source, const GstCaps* requested,
                                                        std::uint64_t stream, std::chrono::milliseconds timeout,
                                                        const std::atomic<bool>& cancel, std::string& error)
{
    std::unique_ptr<CapturePipeline> self(new CapturePipeline);
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

    self->formatInput_ = self->source_;
    if (self->loops_) {
        if (!gst_element_link_many(self->source_, fileConvert, fileScale, fileRate, nullptr)) {
            error = "Cannot link the video file to the capture pipeline";
            return nullptr;
        }
        self->formatInput_ = fileRate;
    }
    if (!gst_element_link_many(self->formatInput_, self->format_, convert, self->balance_, toBgr, bgrOnly, sink,
                               nullptr)) {
        error = "Cannot link the video source to the capture pipeline";
        return nullptr;
    }
    self->bus_ = gst::Bus(gst_element_get_bus(self->pipeline_.get()));
    if (!self->play(timeout, cancel, error))
        return nullptr;
    return self;
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
    std::shared_ptr<const analysis::Bitmap> pixels = picturesOf(sample.get(), self->pictures_);
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
            reports.push_back(errorText(message.get()));
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

gst::Caps CapturePipeline::offeredCaps() const
{
    gst::Pad pad(gst_element_get_static_pad(source_, "src"));
    gst::Caps caps(pad ? gst_pad_query_caps(pad.get(), nullptr) : gst_caps_new_any());
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
