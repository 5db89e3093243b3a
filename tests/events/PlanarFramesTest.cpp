#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gtest/gtest.h>

#include "PlanarFrames.h"

using namespace events;
namespace gst = platform::gst;

namespace {

QImage noise(int width, int height, QImage::Format format, unsigned seed)
{
    QImage image(width, height, format);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y) {
        uchar* row = image.scanLine(y);
        for (qsizetype x = 0; x < image.bytesPerLine(); ++x)
            row[x] = static_cast<uchar>(random());
    }
    return image;
}

// What GStreamer's converter element makes of `image` for the VP8 encoder.
std::string convertedByElement(const QImage& bgr)
{
    GError* raw = nullptr;
    const gst::Element pipeline = gst::adoptFloating(gst_parse_launch(
        "appsrc name=source format=time ! videoconvert ! video/x-raw,format=I420 ! appsink name=sink sync=false",
        &raw));
    const gst::Error error(raw);
    if (!pipeline || error)
        return {};
    const gst::Element source(gst_bin_get_by_name(GST_BIN(pipeline.get()), "source"));
    const gst::Element sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    GstVideoInfo info;
    gst_video_info_set_format(&info, GST_VIDEO_FORMAT_BGR, guint(bgr.width()), guint(bgr.height()));
    const gst::Caps caps(gst_video_info_to_caps(&info));
    g_object_set(source.get(), "caps", caps.get(), nullptr);
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, info.size, nullptr);
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_WRITE);
    for (int y = 0; y < bgr.height(); ++y)
        std::memcpy(map.data + y * info.stride[0], bgr.constScanLine(y), std::size_t(bgr.width()) * 3);
    gst_buffer_unmap(buffer, &map);
    gst_app_src_push_buffer(GST_APP_SRC(source.get()), buffer);
    gst_app_src_end_of_stream(GST_APP_SRC(source.get()));
    std::string bytes;
    if (const gst::Sample sample{gst_app_sink_pull_sample(GST_APP_SINK(sink.get()))}) {
        GstBuffer* out = gst_sample_get_buffer(sample.get());
        gst_buffer_map(out, &map, GST_MAP_READ);
        bytes.assign(reinterpret_cast<const char*>(map.data), map.size);
        gst_buffer_unmap(out, &map);
    }
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return bytes;
}

// The pixels of a planar picture, leaving out the bytes that pad its rows.
std::string pixelsOf(const std::string& bytes, int width, int height)
{
    const GstVideoInfo info = planarInfo(width, height);
    if (bytes.size() != info.size)
        return "size " + std::to_string(bytes.size());
    std::string pixels;
    for (guint plane = 0; plane < GST_VIDEO_INFO_N_PLANES(&info); ++plane)
        for (int y = 0; y < GST_VIDEO_INFO_COMP_HEIGHT(&info, plane); ++y)
            pixels.append(bytes, info.offset[plane] + std::size_t(y * info.stride[plane]),
                          std::size_t(GST_VIDEO_INFO_COMP_WIDTH(&info, plane)));
    return pixels;
}

std::string pixelsOf(GstBuffer* buffer, int width, int height)
{
    GstMapInfo map;
    if (!buffer || !gst_buffer_map(buffer, &map, GST_MAP_READ))
        return {};
    const std::string bytes(reinterpret_cast<const char*>(map.data), map.size);
    gst_buffer_unmap(buffer, &map);
    return pixelsOf(bytes, width, height);
}

} // namespace

// The kept pictures are what the encoding pipeline's own converter would have given the
// encoder, so a clip is the same whether its frames were kept or came live; for every
// size, odd ones included, and for frames whose rows are padded or in another format.
TEST(PlanarFrames, SameAsTheConverterElementForEverySizeAndLayout)
{
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    PlanarFrames planar;
    struct Case {
        int width, height;
    };
    unsigned seed = 1;
    for (const Case c : {Case{320, 240}, Case{33, 17}, Case{1, 1}, Case{640, 480}, Case{2, 3}}) {
        const QImage bgr = noise(c.width, c.height, QImage::Format_BGR888, seed++);
        const std::string expected = pixelsOf(convertedByElement(bgr), c.width, c.height);
        ASSERT_EQ(expected.size(), std::size_t(c.width * c.height + 2 * ((c.width + 1) / 2) * ((c.height + 1) / 2)))
            << c.width << " x " << c.height;
        EXPECT_TRUE(pixelsOf(planar.convert(bgr).get(), c.width, c.height) == expected) << c.width << " x " << c.height;
        // The same picture with its rows further apart than the converter's own.
        const qsizetype stride = bgr.bytesPerLine() + 16;
        std::vector<uchar> spaced(std::size_t(stride * c.height));
        for (int y = 0; y < c.height; ++y)
            std::memcpy(spaced.data() + y * stride, bgr.constScanLine(y), std::size_t(c.width) * 3);
        const QImage padded(spaced.data(), c.width, c.height, stride, QImage::Format_BGR888);
        EXPECT_TRUE(pixelsOf(planar.convert(padded).get(), c.width, c.height) == expected)
            << "padded, " << c.width << " x " << c.height;
        // Other formats go through Qt first and still give a whole picture.
        for (const QImage::Format format : {QImage::Format_RGB32, QImage::Format_Grayscale16})
            EXPECT_EQ(pixelsOf(planar.convert(bgr.convertToFormat(format)).get(), c.width, c.height).size(),
                      expected.size())
                << "format " << format << ", " << c.width << " x " << c.height;
    }
    EXPECT_EQ(planar.convert(QImage()), nullptr);
}
