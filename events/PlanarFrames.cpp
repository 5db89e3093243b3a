#include "PlanarFrames.h"

#include <sys/mman.h>

namespace events {

namespace gst = platform::gst;

namespace {

GstVideoFormat packedFormatOf(QImage::Format format)
{
    switch (format) {
    case QImage::Format_BGR888:
        return GST_VIDEO_FORMAT_BGR;
    case QImage::Format_RGB888:
        return GST_VIDEO_FORMAT_RGB;
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
        return G_BYTE_ORDER == G_LITTLE_ENDIAN ? GST_VIDEO_FORMAT_BGRx : GST_VIDEO_FORMAT_xRGB;
    default:
        return GST_VIDEO_FORMAT_UNKNOWN;
    }
}

bool sameLayout(const GstVideoInfo& a, const GstVideoInfo& b)
{
    return GST_VIDEO_INFO_FORMAT(&a) == GST_VIDEO_INFO_FORMAT(&b) && a.width == b.width && a.height == b.height &&
           a.stride[0] == b.stride[0];
}

struct Mapping {
    void* address;
    std::size_t size;
};

// A buffer of `size` bytes mapped from the system on its own rather than taken from
// malloc: kept pictures live for seconds and go in another order than they came (the
// encoders hold some longer), which would leave the allocator's arenas holding several
// megabytes of holes; a mapping goes back to the system whole when the last holder lets go.
gst::Buffer mappedBuffer(std::size_t size)
{
    void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED)
        return {};
    return gst::Buffer(gst_buffer_new_wrapped_full(GstMemoryFlags(0), address, size, 0, size,
                                                   new Mapping{address, size}, [](gpointer data) {
                                                       const auto* mapping = static_cast<Mapping*>(data);
                                                       munmap(mapping->address, mapping->size);
                                                       delete mapping;
                                                   }));
}

} // namespace

GstVideoInfo planarInfo(int width, int height)
{
    GstVideoInfo info;
    gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, static_cast<guint>(width), static_cast<guint>(height));
    return info;
}

PlanarFrames::~PlanarFrames()
{
    if (converter_)
        gst_video_converter_free(converter_);
}

gst::Buffer PlanarFrames::convert(const QImage& frame)
{
    if (frame.isNull())
        return {};
    // Frames in a format GStreamer cannot read directly (never the capture's own) are
    // converted by Qt first, so that no frame is lost from a clip.
    const QImage image = packedFormatOf(frame.format()) == GST_VIDEO_FORMAT_UNKNOWN
                             ? frame.convertToFormat(QImage::Format_RGB32)
                             : frame;
    GstVideoInfo input;
    gst_video_info_set_format(&input, packedFormatOf(image.format()), static_cast<guint>(image.width()),
                              static_cast<guint>(image.height()));
    input.stride[0] = static_cast<gint>(image.bytesPerLine());
    input.size = static_cast<gsize>(image.sizeInBytes());
    GstVideoInfo output = planarInfo(image.width(), image.height());

    // The image's own pixels, read in place.
    const gst::Buffer source(gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, const_cast<uchar*>(image.constBits()),
                                                         input.size, 0, input.size, nullptr, nullptr));
    gst::Buffer picture = mappedBuffer(output.size);
    if (!picture)
        return {};
    GstVideoFrame in, out;
    if (!gst_video_frame_map(&in, &input, source.get(), GST_MAP_READ))
        return {};
    if (!gst_video_frame_map(&out, &output, picture.get(), GST_MAP_WRITE)) {
        gst_video_frame_unmap(&in);
        return {};
    }
    bool converted = false;
    {
        std::lock_guard lock(mutex_);
        if (!converter_ || !sameLayout(input, input_)) {
            if (converter_)
                gst_video_converter_free(converter_);
            converter_ = gst_video_converter_new(&input, &output, nullptr);
            input_ = input;
        }
        if (converter_) {
            gst_video_converter_frame(converter_, &in, &out);
            converted = true;
        }
    }
    gst_video_frame_unmap(&out);
    gst_video_frame_unmap(&in);
    return converted ? std::move(picture) : gst::Buffer();
}

} // namespace events
