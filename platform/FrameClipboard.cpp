#include "FrameClipboard.h"

#include <stdexcept>

#include <QClipboard>
#include <QGuiApplication>

#include "DesktopClipboard.h"

namespace platform {

void FrameClipboard::setImage(const QImage& image)
{
    std::lock_guard lock(mutex_);
    if (desktop_) {
        QGuiApplication::clipboard()->setImage(image);
        return;
    }
    image_ = image;
    holds_ = true;
}

QImage FrameClipboard::image() const
{
    std::unique_lock lock(mutex_);
    if (desktop_) {
        lock.unlock(); // the desktop's owner may take its time; nothing of ours is read meanwhile
        return readDesktopImage(largestDesktopImage, desktopReadLimitMs);
    }
    if (holds_ && image_.isNull())
        throw std::runtime_error(unsupportedFormat);
    return image_;
}

bool FrameClipboard::hasImage() const
{
    std::unique_lock lock(mutex_);
    if (desktop_) {
        lock.unlock();
        return desktopAnnouncesImage(desktopReadLimitMs);
    }
    return holds_;
}

void FrameClipboard::clear()
{
    std::lock_guard lock(mutex_);
    if (desktop_) {
        QGuiApplication::clipboard()->clear();
        return;
    }
    image_ = QImage();
    holds_ = false;
}

void FrameClipboard::setDesktopClipboard(bool on)
{
    std::lock_guard lock(mutex_);
    desktop_ = on;
    image_ = QImage();
    holds_ = false;
}

bool FrameClipboard::desktopClipboard() const
{
    std::lock_guard lock(mutex_);
    return desktop_;
}

FrameClipboard& frameClipboard()
{
    static FrameClipboard clipboard;
    return clipboard;
}

} // namespace platform
