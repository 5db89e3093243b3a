#include "MaskPainter.h"

#include <algorithm>

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>

#include "Bitmap.h"
#include "PictureView.h"

namespace app {

MaskPainter::MaskPainter(PictureView& view, QObject* parent) : QObject(parent), view_(view)
{
    view_.installEventFilter(this);
}

void MaskPainter::setPainting(bool on)
{
    painting_ = on;
    view_.setCursor(on ? Qt::CrossCursor : Qt::ArrowCursor);
    showTint();
}

void MaskPainter::setScene(const QImage& frame)
{
    scene_ = frame;
    if (painting_)
        showTint();
}

void MaskPainter::setBrushSize(int pixels)
{
    brush_ = std::clamp(pixels, 1, 200);
}

void MaskPainter::setTint(const QColor& tint)
{
    tint_ = tint;
    showTint();
}

void MaskPainter::setMask(const analysis::Bitmap& mask)
{
    if (mask.empty() || mask.format() != analysis::PixelFormat::Bits8) {
        mask_ = QImage();
    } else {
        mask_ = QImage(mask.width(), mask.height(), QImage::Format_Grayscale8);
        for (int y = 0; y < mask.height(); ++y)
            std::copy(mask.row(y), mask.row(y) + mask.width(), mask_.scanLine(y));
    }
    showTint();
}

analysis::Bitmap MaskPainter::mask() const
{
    if (mask_.isNull())
        return {};
    analysis::Bitmap b(mask_.width(), mask_.height(), analysis::PixelFormat::Bits8);
    for (int y = 0; y < mask_.height(); ++y)
        std::copy(mask_.constScanLine(y), mask_.constScanLine(y) + mask_.width(), b.row(y));
    return b;
}

bool MaskPainter::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != &view_ || !painting_)
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        if (static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton)
            break;
        stroke_ = true;
        strokeGoesOn_ = false;
        paintAt(static_cast<QMouseEvent*>(event)->position().toPoint());
        return true;
    case QEvent::MouseMove:
        if (stroke_)
            paintAt(static_cast<QMouseEvent*>(event)->position().toPoint());
        return stroke_;
    case QEvent::MouseButtonRelease:
        if (stroke_) {
            stroke_ = false;
            emit maskPainted();
            return true;
        }
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void MaskPainter::paintAt(QPoint widgetPoint)
{
    const QRect shown = view_.pictureRect();
    if (shown.isEmpty() && mask_.isNull())
        return;
    if (mask_.isNull()) {
        // The first stroke makes a mask of the frame's size that watches everything.
        const QSize size = view_.picture().isNull() ? QSize(320, 240) : view_.picture().size();
        mask_ = QImage(size, QImage::Format_Grayscale8);
        mask_.fill(255);
    }
    // From the widget to the picture as shown, then to the mask (which may be of another size).
    const QRectF area = shown.isEmpty() ? QRectF(QPointF(0, 0), QSizeF(mask_.size())) : QRectF(shown);
    const double sx = mask_.width() / area.width(), sy = mask_.height() / area.height();
    const QPointF at((widgetPoint.x() - area.left()) * sx, (widgetPoint.y() - area.top()) * sy);
    QPainter painter(&mask_);
    painter.setRenderHint(QPainter::Antialiasing, false);
    const QColor colour = erasing_ ? Qt::white : Qt::black;
    // The brush is sized in the frame's pixels.
    const double frameWidth = view_.picture().isNull() ? mask_.width() : view_.picture().width();
    const double r = std::max(0.5, brush_ / 2.0 * mask_.width() / frameWidth);
    if (strokeGoesOn_) {
        // Mouse events come far apart when the hand is quick: the stroke joins them.
        painter.setPen(QPen(colour, 2 * r, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(strokeAt_, at);
    } else {
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.drawEllipse(at, r, r);
    }
    painter.end();
    strokeAt_ = at;
    strokeGoesOn_ = stroke_;
    showTint();
}

void MaskPainter::showTint()
{
    const bool scene = painting_ && !scene_.isNull();
    if (mask_.isNull() && !scene) {
        view_.setOverlay(QImage());
        return;
    }
    const QSize size = mask_.isNull() ? scene_.size() : mask_.size();
    QImage overlay(size, QImage::Format_ARGB32_Premultiplied);
    overlay.fill(Qt::transparent);
    if (scene) {
        // Where to paint is seen in the scene, not in the changed pixels.
        QPainter painter(&overlay);
        painter.drawImage(overlay.rect(), scene_);
        painter.fillRect(overlay.rect(), QColor(0, 0, 0, 100));
    }
    if (!mask_.isNull()) {
        const QRgb premultiplied = qPremultiply(tint_.rgba());
        const int alpha = tint_.alpha();
        for (int y = 0; y < mask_.height(); ++y) {
            const uchar* m = mask_.constScanLine(y);
            auto* o = reinterpret_cast<QRgb*>(overlay.scanLine(y));
            for (int x = 0; x < mask_.width(); ++x) {
                if (m[x] != 0)
                    continue;
                // The tint over what lies below it (source-over, premultiplied).
                const QRgb below = o[x];
                auto mix = [&](int tintPart, int belowPart) { return tintPart + belowPart * (255 - alpha) / 255; };
                o[x] = qRgba(mix(qRed(premultiplied), qRed(below)), mix(qGreen(premultiplied), qGreen(below)),
                             mix(qBlue(premultiplied), qBlue(below)), mix(alpha, qAlpha(below)));
            }
        }
    }
    view_.setOverlay(overlay);
}

} // namespace app
