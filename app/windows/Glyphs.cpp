#include "Glyphs.h"

#include <QPainter>
#include <QPolygon>

namespace app {

QPixmap screenGlyph(bool red)
{
    QPixmap glyph(16, 15);
    glyph.fill(Qt::transparent);
    QPainter p(&glyph);
    const QColor frame = red ? QColor(128, 0, 0) : QColor(64, 64, 64);
    const QColor glass = red ? QColor(255, 0, 0) : QColor(0, 128, 128);
    p.fillRect(1, 0, 14, 11, frame);
    p.fillRect(3, 2, 10, 7, glass);
    p.fillRect(6, 11, 4, 2, frame);
    p.fillRect(3, 13, 10, 2, frame);
    return glyph;
}

QPixmap playGlyph(bool withBar)
{
    QPixmap glyph(16, 16);
    glyph.fill(Qt::transparent);
    QPainter p(&glyph);
    const QColor darkBlue(0, 0, 128);
    p.setPen(Qt::NoPen);
    p.setBrush(darkBlue);
    const int left = withBar ? 4 : 2;
    p.drawPolygon(QPolygon({QPoint(left, 2), QPoint(left + 10, 8), QPoint(left, 14)}));
    if (withBar)
        p.fillRect(12, 2, 3, 13, darkBlue);
    return glyph;
}

} // namespace app
