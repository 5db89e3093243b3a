#include "FrameClipboard.h"

#include <stdexcept>

#include <QClipboard>
#include <QGuiApplication>

#include "ClipboardFrame.h"
#include "DesktopClipboard.h"

namespace platform {

void FrameClipboard::setFrame(analysis::Frame frame)
{
    std::lock_guard lock(mutex_);
    if (desktop_) {
        QGuiApplication::clipboard()->setImage(sharedImage(frame.pixels));
        return;
    }
    frame_ = std::move(frame);
    holds_ = true;
}

analysis::Frame FrameClipboard::frame() const
{
    std::unique_lock lock(mutex_);
    if (desktop_) {
        lock.unlock(); // the desktop's owner may take its time; nothing of ours is read meanwhile
        const QImage image = readDesktopImage(largestDesktopImage, desktopReadLimitMs);
        if (image.isNull())
            return {};
        return {std::make_shared<const analysis::Bitmap>(bitmapFromImage(image)), 0, 1, 0};
    }
    if (holds_ && frame_.empty())
        throw std::runtime_error(unsupportedFormat);
    return frame_;
}

void FrameClipboard::setImage(const QImage& image)
{
    analysis::Frame frame;
    if (!image.isNull())
        frame = {std::make_shared<const analysis::Bitmap>(bitmapFromImage(image)),
                 image.text("stream").toULongLong(), 1, 0};
    std::lock_guard lock(mutex_);
    if (desktop_) {
        QGuiApplication::clipboard()->setImage(image);
        return;
    }
    frame_ = std::move(frame);
    holds_ = true;
}

QImage FrameClipboard::image() const
{
    return sharedImage(frame().pixels);
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
    frame_ = {};
    holds_ = false;
}

void FrameClipboard::setDesktopClipboard(bool on)
{
    std::lock_guard lock(mutex_);
    desktop_ = on;
    frame_ = {};
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
