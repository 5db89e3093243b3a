#pragma once

#include <QImage>
#include <QSize>

namespace platform {

// The text of the error raised when the clipboard announces an image but hands none over.
inline constexpr const char* unsupportedFormat = "Unsupported clipboard format";

// The image on the desktop clipboard, read without trusting its owner: a null image when
// none is announced. Throws std::runtime_error when one is announced but cannot be
// decoded, is larger than `largest` in either direction (refused before it is decoded),
// or is not handed over within `limitMs` in all.
QImage readDesktopImage(QSize largest, int limitMs);

// Whether the desktop clipboard announces an image (not when its owner does not say
// within `limitMs`).
bool desktopAnnouncesImage(int limitMs);

} // namespace platform
