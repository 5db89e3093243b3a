#include "PictureView.h"

#include <algorithm>

#include <QPainter>

#include "PictureHalving.h"

namespace app {

PictureView::PictureView(QWidget* parent) : QWidget(parent) {}

void PictureView::setPicture(const QImage& picture)
{
    picture_ = picture;
    reduced_ = QImage();
    reducedFor_ = QSize();
    update();
}

void PictureView::setOverlay(const QImage& overlay)
{
    overlay_ = overlay;
    update();
}

QRect PictureView::pictureRect() const
{
    QSize shown = picture_.size();
    if (shown.width() > width() || shown.height() > height())
        shown = shown.scaled(size(), Qt::KeepAspectRatio);
    return {QPoint((width() - shown.width()) / 2, (height() - shown.height()) / 2), shown};
}

void PictureView::paintEvent(QPaintEvent*)
{
    if (picture_.isNull())
        return;
    QPainter painter(this);
    const QRect where = pictureRect();
    if (where.size() == picture_.size()) {
        painter.drawImage(where.topLeft(), picture_);
    } else {
        // The smoothing reads only the few pixels around each point it draws, so one
        // changed pixel of a large frame could be sampled away: halving by 2 x 2 means
        // first lets every pixel count.
        if (reducedFor_ != where.size()) {
            reducedFor_ = where.size();
            int times = 0;
            while ((picture_.width() >> (times + 1)) >= where.width() && (picture_.height() >> (times + 1)) >= where.height())
                ++times;
            reduced_ = times > 0 ? halvedPicture(picture_, times) : picture_;
        }
        // Smoothing keeps a speck of movement visible as a fainter dot instead of dropping it.
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        // Drawn in bands: a scaled drawing of more rows at once is spread over Qt's threads,
        // whose hand-offs cost more than such a small drawing. Each band samples the picture
        // as one drawing would.
        constexpr int bandRows = 64;
        for (int top = where.top(); top <= where.bottom(); top += bandRows) {
            painter.setClipRect(QRect(where.left(), top, where.width(), std::min(bandRows, where.bottom() + 1 - top)));
            painter.drawImage(where, reduced_);
        }
        painter.setClipping(false);
    }
    if (!overlay_.isNull())
        painter.drawImage(where, overlay_);
}

} // namespace app
