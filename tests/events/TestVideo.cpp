#include "TestVideo.h"

#include <chrono>
#include <mutex>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include "GstHandles.h"
#include "LiveSource.h"

namespace gst = platform::gst;

namespace {

gst::Element launch(const std::string& description)
{
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    GError* raw = nullptr;
    gst::Element pipeline = gst::adoptFloating(gst_parse_launch(description.c_str(), &raw));
    const gst::Error error(raw);
    return error ? gst::Element() : std::move(pipeline);
}

} // namespace

std::vector<platform::Packet> testPackets(int count, int width, int height, const std::string& kind,
                                          const std::string& pattern)
{
    // More than asked for: the pictures made before the source is handed over are kept only
    // from their latest key frame (one a second), and the last ones may still be on their
    // way to the clip branch when the source's end stops the pipeline.
    const std::string description = "videotestsrc pattern=" + pattern + " num-buffers=" + std::to_string(count + 60) +
                                    " ! video/x-raw,format=I420,width=" + std::to_string(width) +
                                    ",height=" + std::to_string(height) + ",framerate=25/1" +
                                    (kind == "jpeg" ? " ! jpegenc" : kind == "h264" ? " ! openh264enc gop-size=25" : "");
    std::mutex mutex;
    std::vector<platform::Packet> packets;
    platform::LiveSource source;
    // A loaded machine under the sanitizers may take long for the first picture.
    source.setConnectTimeout(std::chrono::seconds(30));
    source.setClipsWanted(true);
    source.addPacketTap([&](const platform::Packet& packet) {
        std::lock_guard lock(mutex);
        if (packets.size() < static_cast<std::size_t>(count) &&
            (packets.empty() || packet.stream == packets.front().stream))
            packets.push_back(packet);
    });
    source.open({"Test", description, nullptr});
    platform::waitHandlingEvents(
        &source,
        [&] {
            std::lock_guard lock(mutex);
            return packets.size() == static_cast<std::size_t>(count) ||
                   source.state() == platform::LiveSource::State::Stopped;
        },
        std::chrono::seconds(60));
    source.close();
    std::lock_guard lock(mutex);
    return packets;
}

ClipReading readClip(const std::string& path)
{
    ClipReading reading;
    const gst::Element pipeline =
        launch("filesrc name=file ! decodebin ! videoconvert ! video/x-raw,format=BGR ! "
               "appsink name=sink sync=false");
    if (!pipeline) {
        reading.error = "no decoder";
        return reading;
    }
    const gst::Element file(gst_bin_get_by_name(GST_BIN(pipeline.get()), "file"));
    g_object_set(file.get(), "location", path.c_str(), nullptr);
    const gst::Element sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    while (GstSample* raw = gst_app_sink_pull_sample(GST_APP_SINK(sink.get()))) {
        const gst::Sample sample(raw);
        GstBuffer* buffer = gst_sample_get_buffer(raw);
        if (reading.frames == 0) {
            reading.firstNs = static_cast<std::int64_t>(GST_BUFFER_PTS(buffer));
            GstVideoInfo info;
            gst_video_info_from_caps(&info, gst_sample_get_caps(raw));
            reading.width = GST_VIDEO_INFO_WIDTH(&info);
            reading.height = GST_VIDEO_INFO_HEIGHT(&info);
            gint64 duration = -1;
            if (gst_element_query_duration(pipeline.get(), GST_FORMAT_TIME, &duration))
                reading.durationNs = duration;
        }
        ++reading.frames;
        reading.lastEndNs = static_cast<std::int64_t>(GST_BUFFER_PTS(buffer) + GST_BUFFER_DURATION(buffer));
    }
    const gst::Bus bus(gst_element_get_bus(pipeline.get()));
    const gst::Message message(gst_bus_timed_pop_filtered(bus.get(), 10 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    if (!message || GST_MESSAGE_TYPE(message.get()) != GST_MESSAGE_EOS)
        reading.error = "the clip does not decode to its end";
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return reading;
}
