#pragma once

#include <QImage>

namespace app {

// The picture halved `times` (at least 1) times in width and height, for the screen: each
// halving makes a pixel the mean of a 2 x 2 block, rounded as the means of the two rows
// and then of the two columns are, so a speck stays visible as a fainter dot. An odd last
// row or column of each halving is left out. The result is 32-bit (Format_RGB32); a 24-bit
// (Format_BGR888) picture is read as it is, any other format is converted to 32-bit first.
QImage halvedPicture(const QImage& picture, int times);

} // namespace app
