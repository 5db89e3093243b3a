#include "ClipPlayback.h"

#include <functional>
#include <mutex>

#include <QSocketNotifier>

#include <gst/app/gstappsink.h>

#include "BackgroundThreads.h"
#include "FramePool.h"
#include "GstErrors.h"
#include "GstHandles.h"

namespace platform {

namespace {

// playbin's GST_PLAY_FLAG_VIDEO alone: a clip's sound or subtitles, if it had any, need
// no device of the desktop's.
constexpr guint videoOnly = 1;

} // namespace

// What the streaming threads and the GUI thread share; it lives until the pipeline has
// gone to NULL, so the sink's callbacks always find it.
struct ClipPlayback::Feed {
    gst::Element pipeline;
    gst::Bus bus;
    FramePool pool;

    std::mutex mutex;
    std::shared_ptr<const analysis::Bitmap> picture;
    Duration position{0};
    bool notifyPending = false;
    std::function<void()> notify; // cleared when the clip is closed

    ~Feed()
    {
        if (pipeline)
            gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    }

    void take(gst::Sample sample)
    {
        std::shared_ptr<const analysis::Bitmap> copy = sample ? pool.copy(sample.get()) : nullptr;
        if (!copy)
            return;
        GstBuffer* buffer = gst_sample_get_buffer(sample.get());
        const guint64 time = gst_segment_to_stream_time(gst_sample_get_segment(sample.get()), GST_FORMAT_TIME,
                                                        GST_BUFFER_PTS(buffer));
        std::lock_guard lock(mutex);
        picture = std::move(copy);
        if (GST_CLOCK_TIME_IS_VALID(time))
            position = std::chrono::duration_cast<Duration>(std::chrono::nanoseconds(time));
        if (notify && !std::exchange(notifyPending, true))
            notify();
    }

    static GstFlowReturn onSample(GstAppSink* sink, gpointer data)
    {
        static_cast<Feed*>(data)->take(gst::Sample(gst_app_sink_pull_sample(sink)));
        return GST_FLOW_OK;
    }
    static GstFlowReturn onPreroll(GstAppSink* sink, gpointer data)
    {
        static_cast<Feed*>(data)->take(gst::Sample(gst_app_sink_pull_preroll(sink)));
        return GST_FLOW_OK;
    }
};

ClipPlayback::ClipPlayback(QObject* parent) : QObject(parent) {}

ClipPlayback::~ClipPlayback()
{
    dispose();
}

bool ClipPlayback::isOpen() const
{
    return feed_ != nullptr;
}

bool ClipPlayback::open(const std::string& path, std::string& error)
{
    close();
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    auto feed = std::make_shared<Feed>();
    feed->pipeline = gst::adoptFloating(gst_element_factory_make("playbin", nullptr));
    if (!feed->pipeline) {
        error = "Missing GStreamer element \"playbin\" (install its plugin)";
        return false;
    }
    GError* parseError = nullptr;
    GstElement* output =
        gst_parse_bin_from_description("videoconvert ! video/x-raw,format=BGR ! appsink name=sink", TRUE, &parseError);
    const gst::Error parsed(parseError);
    if (!output || parsed) {
        if (output)
            gst_object_unref(gst_object_ref_sink(output));
        error = "Cannot build the clip player: " + std::string(parsed ? parsed->message : "no video output");
        return false;
    }
    const gst::Object<GstElement> sink(gst_bin_get_by_name(GST_BIN(output), "sink"));
    g_object_set(sink.get(), "max-buffers", 2u, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &Feed::onSample;
    callbacks.new_preroll = &Feed::onPreroll;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink.get()), &callbacks, feed.get(), nullptr);

    const gst::String uri(gst_filename_to_uri(path.c_str(), nullptr));
    if (!uri) {
        gst_object_unref(gst_object_ref_sink(output));
        error = "Cannot play " + path + ": not a file name";
        return false;
    }
    // playbin takes the floating output as its own.
    g_object_set(feed->pipeline.get(), "uri", uri.get(), "video-sink", output, "flags", videoOnly, nullptr);
    feed->bus.reset(gst_element_get_bus(feed->pipeline.get()));
    feed->notify = [this, feed = feed.get()] {
        QMetaObject::invokeMethod(
            this,
            [this, feed] {
                if (feed != feed_.get())
                    return; // a clip closed since
                {
                    std::lock_guard lock(feed->mutex);
                    feed->notifyPending = false;
                }
                emit pictureChanged();
            },
            Qt::QueuedConnection);
    };

    GPollFD poll{};
    gst_bus_get_pollfd(feed->bus.get(), &poll);
    busNotifier_ = std::make_unique<QSocketNotifier>(poll.fd, QSocketNotifier::Read);
    connect(busNotifier_.get(), &QSocketNotifier::activated, this, &ClipPlayback::readBus);
    feed_ = std::move(feed);
    path_ = path;
    // Paused: the first picture is decoded and shown; the rest waits for play().
    if (gst_element_set_state(feed_->pipeline.get(), GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE) {
        // The bus says why; it is read as soon as the GUI thread is free.
        QMetaObject::invokeMethod(this, &ClipPlayback::readBus, Qt::QueuedConnection);
    }
    return true;
}

void ClipPlayback::close()
{
    const bool wasPlaying = playing_;
    dispose();
    path_.clear();
    length_.reset();
    pendingSeek_.reset();
    ready_ = false;
    playing_ = false;
    ended_ = false;
    if (wasPlaying)
        emit playingChanged(false);
}

void ClipPlayback::dispose()
{
    if (busNotifier_) {
        // It may be the one calling now.
        busNotifier_->setEnabled(false);
        busNotifier_.release()->deleteLater();
    }
    if (!feed_)
        return;
    {
        std::lock_guard lock(feed_->mutex);
        feed_->notify = nullptr;
    }
    // Going to NULL waits for the streaming threads: never on the GUI thread.
    BackgroundThreads::shared().run([feed = std::move(feed_)]() mutable { feed.reset(); });
}

void ClipPlayback::play()
{
    if (!feed_)
        return;
    if (ended_)
        seek(Duration(0));
    gst_element_set_state(feed_->pipeline.get(), GST_STATE_PLAYING);
    if (!std::exchange(playing_, true))
        emit playingChanged(true);
}

void ClipPlayback::pause()
{
    if (!feed_)
        return;
    gst_element_set_state(feed_->pipeline.get(), GST_STATE_PAUSED);
    if (std::exchange(playing_, false))
        emit playingChanged(false);
}

void ClipPlayback::seek(Duration position)
{
    if (!feed_)
        return;
    if (!ready_) {
        pendingSeek_ = position;
        return;
    }
    ended_ = false;
    // Accurate: a clip's key frames may lie seconds apart, and the bar shows where it was let go.
    gst_element_seek_simple(feed_->pipeline.get(), GST_FORMAT_TIME,
                            GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                            std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(position, Duration(0))).count());
}

std::shared_ptr<const analysis::Bitmap> ClipPlayback::picture() const
{
    if (!feed_)
        return nullptr;
    std::lock_guard lock(feed_->mutex);
    return feed_->picture;
}

ClipPlayback::Duration ClipPlayback::position() const
{
    if (!feed_)
        return Duration(0);
    std::lock_guard lock(feed_->mutex);
    return feed_->position;
}

void ClipPlayback::readBus()
{
    // Each message may close the clip (a slot of `failed`): the feed is looked at anew.
    while (feed_) {
        const gst::Message message(gst_bus_pop(feed_->bus.get()));
        if (!message)
            return;
        switch (GST_MESSAGE_TYPE(message.get())) {
        case GST_MESSAGE_ERROR: {
            const QString text = QString::fromStdString(gst::errorText(message.get()));
            pause();
            emit failed(text);
            break;
        }
        case GST_MESSAGE_EOS:
            // The last picture stays; playing again starts from the beginning.
            ended_ = true;
            pause();
            break;
        case GST_MESSAGE_ASYNC_DONE:
        case GST_MESSAGE_DURATION_CHANGED: {
            ready_ = true;
            gint64 length = 0;
            if (gst_element_query_duration(feed_->pipeline.get(), GST_FORMAT_TIME, &length) && length > 0) {
                const auto known = std::chrono::duration_cast<Duration>(std::chrono::nanoseconds(length));
                if (known != length_) {
                    length_ = known;
                    emit lengthKnown();
                }
            }
            if (const std::optional<Duration> position = std::exchange(pendingSeek_, std::nullopt))
                seek(*position);
            break;
        }
        default:
            break;
        }
    }
}

} // namespace platform
