#pragma once

#include <mutex>

#include <QImage>
#include <QSize>

#include "Frame.h"

namespace platform {

// The hand-off of grabbed frames from the capture service to the evaluation cycle: a
// clipboard of the program's own with the desktop clipboard's operations, so that grabs
// never replace what the user copied and two running copies never see each other's
// frames. Switched to the desktop clipboard, it hands frames over through it instead,
// for frames that another program puts there (then on the GUI thread only).
class FrameClipboard {
public:
    // Images larger than this in either direction are refused when read from the desktop.
    static constexpr QSize largestDesktopImage{7680, 4320};
    // Reading the desktop clipboard gives up after this long in all.
    static constexpr int desktopReadLimitMs = 5000;

    // Puts a frame there as it is (the desktop clipboard: its image).
    void setFrame(analysis::Frame frame);
    // What is there: an empty frame when nothing is. Throws std::runtime_error with a
    // readable text when an image is announced but cannot be had (a null image put
    // there; from the desktop: unsupported, too large, or its owner does not answer).
    // A frame read from the desktop belongs to no stream.
    analysis::Frame frame() const;

    // The same with images, copied into and out of frames; a null image put there counts
    // as an image that cannot be read.
    void setImage(const QImage& image);
    QImage image() const;
    // Whether an image is there (from the desktop: whether one is announced).
    bool hasImage() const;
    void clear();

    void setDesktopClipboard(bool on);
    bool desktopClipboard() const;

private:
    mutable std::mutex mutex_;
    analysis::Frame frame_;
    bool holds_ = false;
    bool desktop_ = false;
};

// The program's one frame clipboard.
FrameClipboard& frameClipboard();

} // namespace platform
