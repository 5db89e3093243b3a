#pragma once

#include <vector>

#include <QImage>
#include <QRectF>

#include "Event.h"

class QPainter;

namespace app {

// Draws an event's path over `area`, where a picture of the event's frame lies: a line
// through its points from a ring at the first to a dot at the newest.
void drawMovementPath(QPainter& painter, const QRectF& area, const std::vector<events::PathPoint>& path);

// `picture` enlarged (or reduced) to `width`, keeping its aspect, with the path drawn
// over it; a null picture gives a gray one of 4:3.
QImage pathPicture(const QImage& picture, const std::vector<events::PathPoint>& path, int width);

// The path alone on a transparent image of `size`, to lay over a playing clip.
QImage pathOverlay(const std::vector<events::PathPoint>& path, QSize size);

} // namespace app
