#include "MovementPath.h"

#include <algorithm>

#include <QPainter>
#include <QPainterPath>

namespace app {

namespace {

QPointF placed(const events::PathPoint& p, const QRectF& area)
{
    return {area.left() + double(p.x) * area.width(), area.top() + double(p.y) * area.height()};
}

} // namespace

void drawMovementPath(QPainter& painter, const QRectF& area, const std::vector<events::PathPoint>& path)
{
    if (path.empty())
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const double scale = std::max(1.0, area.width() / 480);
    QPainterPath line(placed(path.front(), area));
    for (std::size_t i = 1; i < path.size(); ++i)
        line.lineTo(placed(path[i], area));
    // A dark edge under the bright line keeps it visible over light and dark pictures alike.
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0, 0, 0, 140), 3.5 * scale, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(line);
    painter.setPen(QPen(QColor(255, 220, 0), 1.8 * scale, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(line);
    painter.setPen(QPen(QColor(0, 200, 0), 2 * scale));
    painter.drawEllipse(placed(path.front(), area), 5 * scale, 5 * scale);
    painter.setPen(QPen(Qt::black, scale));
    painter.setBrush(QColor(230, 0, 0));
    painter.drawEllipse(placed(path.back(), area), 4 * scale, 4 * scale);
    painter.restore();
}

QImage pathPicture(const QImage& picture, const std::vector<events::PathPoint>& path, int width)
{
    QImage image;
    if (picture.isNull() || picture.width() == 0) {
        image = QImage(width, width * 3 / 4, QImage::Format_RGB32);
        image.fill(Qt::darkGray);
    } else {
        image = picture.convertToFormat(QImage::Format_RGB32)
                    .scaled(width, std::max(1, picture.height() * width / picture.width()), Qt::IgnoreAspectRatio,
                            Qt::SmoothTransformation);
    }
    QPainter painter(&image);
    drawMovementPath(painter, image.rect(), path);
    return image;
}

QImage pathOverlay(const std::vector<events::PathPoint>& path, QSize size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    drawMovementPath(painter, image.rect(), path);
    return image;
}

} // namespace app
