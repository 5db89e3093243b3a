#include "CameraSlot.h"

#include <utility>

#include <QBuffer>
#include <QByteArray>
#include <QImage>

#include "ClipboardFrame.h"

namespace web {

void CameraSlot::setState(CameraState state)
{
    const std::lock_guard lock(mutex_);
    state_ = std::move(state);
}

void CameraSlot::setFrame(analysis::Frame frame)
{
    {
        const std::lock_guard lock(mutex_);
        frame_ = std::move(frame);
    }
    newFrame_.notify_all();
}

void CameraSlot::setDeleter(Deleter deleter)
{
    const std::lock_guard lock(mutex_);
    deleter_ = std::move(deleter);
}

void CameraSlot::detach()
{
    {
        const std::lock_guard lock(mutex_);
        state_.state = "stopped";
        state_.status = "The camera is no longer watched";
        frame_ = {};
        deleter_ = {};
    }
    newFrame_.notify_all();
}

CameraState CameraSlot::state() const
{
    const std::lock_guard lock(mutex_);
    return state_;
}

std::string CameraSlot::jpegAfter(std::uint64_t after, std::chrono::milliseconds timeout, std::uint64_t& number)
{
    analysis::Frame frame;
    {
        std::unique_lock lock(mutex_);
        newFrame_.wait_for(lock, timeout, [&] { return woken_ || (!frame_.empty() && frame_.number > after); });
        if (woken_ || frame_.empty() || frame_.number <= after)
            return {};
        frame = frame_;
    }
    const std::lock_guard lock(encoding_);
    if (frame.number != jpegNumber_) {
        jpeg_ = encodeJpeg(frame);
        jpegNumber_ = frame.number;
    }
    number = jpegNumber_;
    return jpeg_;
}

Deletion CameraSlot::deleteEvent(std::int64_t id, std::chrono::milliseconds timeout)
{
    std::promise<Deletion> promise;
    std::future<Deletion> answer = promise.get_future();
    {
        const std::lock_guard lock(mutex_);
        if (!deleter_)
            return {Deletion::Result::Failed, "the camera is no longer watched"};
        deleter_(id, std::move(promise));
    }
    // In slices: a server that stops (on the very thread that would answer) ends the wait.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (answer.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        const std::lock_guard lock(mutex_);
        if (woken_ || std::chrono::steady_clock::now() >= deadline)
            return {Deletion::Result::Failed, "the camera's session did not answer in time"};
    }
    try {
        return answer.get();
    } catch (const std::future_error&) {
        // The session went before it could answer.
        return {Deletion::Result::Failed, "the camera is no longer watched"};
    }
}

void CameraSlot::wake()
{
    {
        const std::lock_guard lock(mutex_);
        woken_ = true;
    }
    newFrame_.notify_all();
}

std::string encodeJpeg(const analysis::Frame& frame)
{
    if (frame.empty())
        return {};
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    platform::imageFromBitmap(*frame.pixels).save(&buffer, "JPEG", 80);
    return jpeg.toStdString();
}

} // namespace web
