#include "SharedPictures.h"

#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "ClipboardFrame.h"

namespace platform {

namespace {

// The pictures that images show where they lie, by the address of their first row, with
// how many images (not copies of one: those share the image's own count) show each.
class Shown {
public:
    void add(const std::shared_ptr<const analysis::Bitmap>& picture)
    {
        std::lock_guard lock(mutex_);
        Entry& entry = pictures_[picture->row(0)];
        if (entry.picture.lock() != picture)
            entry = {picture, 0};
        ++entry.images;
    }

    void remove(const analysis::Bitmap& picture)
    {
        std::lock_guard lock(mutex_);
        const auto entry = pictures_.find(picture.row(0));
        if (entry != pictures_.end() && --entry->second.images == 0)
            pictures_.erase(entry);
    }

    std::shared_ptr<const analysis::Bitmap> find(const uchar* firstRow) const
    {
        std::lock_guard lock(mutex_);
        const auto entry = pictures_.find(firstRow);
        return entry == pictures_.end() ? nullptr : entry->second.picture.lock();
    }

private:
    struct Entry {
        std::weak_ptr<const analysis::Bitmap> picture;
        int images = 0;
    };
    mutable std::mutex mutex_;
    std::map<const std::uint8_t*, Entry> pictures_;
};

Shown& shown()
{
    // Never destroyed: images held by other statics (the frame clipboard's last frame)
    // are let go of at exit, possibly after a static here would already be gone.
    static Shown& pictures = *new Shown;
    return pictures;
}

// What an image over a picture holds until its last copy goes.
struct Held {
    std::shared_ptr<const analysis::Bitmap> picture;
};

void release(void* held)
{
    const std::unique_ptr<Held> owned(static_cast<Held*>(held));
    shown().remove(*owned->picture);
}

// An image over the picture's rows. A read-only one copies itself before any change; a
// writable one can take texts without a copy while it is the only handle.
QImage imageOver(std::shared_ptr<const analysis::Bitmap> picture, bool writable)
{
    // The picture's rows lie in one block at equal distances, as an image's do.
    const qsizetype bytesPerLine =
        picture->height() > 1 ? picture->row(1) - picture->row(0) : qsizetype(picture->width()) * 3;
    auto held = std::make_unique<Held>(Held{picture});
    QImage image = writable ? QImage(const_cast<uchar*>(picture->row(0)), picture->width(), picture->height(),
                                     bytesPerLine, QImage::Format_BGR888, release, held.get())
                            : QImage(picture->row(0), picture->width(), picture->height(), bytesPerLine,
                                     QImage::Format_BGR888, release, held.get());
    if (image.isNull())
        throw std::runtime_error("Not enough memory for the picture");
    shown().add(picture);
    held.release(); // the image lets go of it
    return image;
}

} // namespace

QImage sharedImage(std::shared_ptr<const analysis::Bitmap> picture)
{
    if (!picture)
        return {};
    if (picture->format() != analysis::PixelFormat::Bgr24 || picture->empty())
        return imageFromBitmap(*picture);
    return imageOver(std::move(picture), false);
}

std::shared_ptr<const analysis::Bitmap> sharedPicture(const QImage& image)
{
    if (image.format() != QImage::Format_BGR888)
        return nullptr;
    std::shared_ptr<const analysis::Bitmap> picture = shown().find(image.constBits());
    if (!picture || picture->width() != image.width() || picture->height() != image.height())
        return nullptr;
    return picture;
}

class FramePictures::Pool : public std::enable_shared_from_this<Pool> {
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

FramePictures::FramePictures() : pool_(std::make_shared<Pool>()) {}

FramePictures::~FramePictures() = default;

QImage FramePictures::frame(const uchar* rows, int width, int height, qsizetype bytesPerLine, const QString& stream)
{
    if (!rows || width <= 0 || height <= 0 || bytesPerLine < qsizetype(width) * 3)
        return {};
    const std::shared_ptr<analysis::Bitmap> picture = pool_->take(width, height);
    const auto rowBytes = static_cast<std::size_t>(width) * 3;
    for (int y = 0; y < height; ++y)
        std::memcpy(picture->row(y), rows + y * bytesPerLine, rowBytes);
    QImage image = imageOver(picture, true);
    image.setText("stream", stream);
    return image;
}

} // namespace platform
