#include "TestVideo.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include "GstHandles.h"

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

std::vector<SourceFrame> testFrames(int count, int width, int height, const std::string& pattern)
{
    std::vector<SourceFrame> frames;
    const gst::Element pipeline = launch("videotestsrc pattern=" + pattern + " num-buffers=" + std::to_string(count) +
                                         " ! video/x-raw,format=BGR,width=" + std::to_string(width) +
                                         ",height=" + std::to_string(height) +
                                         ",framerate=25/1 ! appsink name=sink sync=false");
    if (!pipeline)
        return frames;
    const gst::Element sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    while (GstSample* raw = gst_app_sink_pull_sample(GST_APP_SINK(sink.get()))) {
        const gst::Sample sample(raw);
        GstBuffer* buffer = gst_sample_get_buffer(raw);
        GstMapInfo map;
        if (!gst_buffer_map(buffer, &map, GST_MAP_READ))
            break;
        const int stride = (width * 3 + 3) & ~3;
        frames.push_back({QImage(map.data, width, height, stride, QImage::Format_BGR888).copy(),
                          static_cast<std::int64_t>(GST_BUFFER_PTS(buffer))});
        gst_buffer_unmap(buffer, &map);
    }
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return frames;
}

ClipReading readClip(const std::string& path)
{
    ClipReading reading;
    const gst::Element pipeline =
        launch("filesrc name=file ! matroskademux ! vp8dec ! videoconvert ! video/x-raw,format=BGR ! "
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
