#pragma once

#include <QPixmap>

namespace app {

// The small pictures above the captions of the main window's buttons.
QPixmap screenGlyph(bool red); // 16 x 15: a screen on its stand
QPixmap playGlyph(bool withBar); // 16 x 16: a dark blue triangle pointing right, with or without a bar beside it

} // namespace app
