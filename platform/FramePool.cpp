#include "FramePool.h"

#include <cstring>
#include <mutex>
#include <vector>

#include <gst/video/video.h>

namespace platform {

class FramePool::Pool : public std::enable_shared_from_this<Pool> {
public:
    std::shared_ptr<analysis::Bitmap> take(int width, int height)
    {
        std::unique_ptr<analysis::Bitmap> picture;
        {
            std::lock_guard lock(mutex_);
            for (auto& free : free_)
                if (free->width() == width && free->height() == height)
                    picture = std::move(free);
            // Pictures of another size are of no more use once the size changed.
            free_.clear();
        }
        if (!picture)
            picture = std::make_unique<analysis::Bitmap>(width, height, analysis::PixelFormat::Bgr24);
        return {picture.release(), [pool = weak_from_this()](analysis::Bitmap* given) {
                    std::unique_ptr<analysis::Bitmap> owned(given);
                    if (const std::shared_ptr<Pool> alive = pool.lock())
                        alive->giveBack(std::move(owned));
                }};
    }

private:
    // More than a few unheld frames mean that frames came faster than they were let go.
    static constexpr std::size_t kept = 3;

    void giveBack(std::unique_ptr<analysis::Bitmap> picture)
    {
        std::lock_guard lock(mutex_);
        if (free_.size() < kept)
            free_.push_back(std::move(picture));
    }

    std::mutex mutex_;
    std::vector<std::unique_ptr<analysis::Bitmap>> free_;
};

FramePool::FramePool() : pool_(std::make_shared<Pool>()) {}

FramePool::~FramePool() = default;

std::shared_ptr<const analysis::Bitmap> FramePool::copy(const std::uint8_t* rows, int width, int height,
                                                        std::ptrdiff_t bytesPerLine)
{
    if (!rows || width <= 0 || height <= 0 || bytesPerLine < std::ptrdiff_t(width) * 3)
        return nullptr;
    const std::shared_ptr<analysis::Bitmap> picture = pool_->take(width, height);
    const auto rowBytes = static_cast<std::size_t>(width) * 3;
    for (int y = 0; y < height; ++y)
        std::memcpy(picture->row(y), rows + y * bytesPerLine, rowBytes);
    return picture;
}

std::shared_ptr<const analysis::Bitmap> FramePool::copy(GstSample* sample)
{
    GstVideoInfo info;
    GstCaps* caps = gst_sample_get_caps(sample);
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (!caps || !buffer || !gst_video_info_from_caps(&info, caps) || GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_BGR)
        return {};
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ))
        return {};
    std::shared_ptr<const analysis::Bitmap> picture =
        copy(static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)), GST_VIDEO_FRAME_WIDTH(&frame),
             GST_VIDEO_FRAME_HEIGHT(&frame), GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0));
    gst_video_frame_unmap(&frame);
    return picture;
}

} // namespace platform
