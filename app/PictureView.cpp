#include "PictureView.h"

#include <QPainter>

PictureView::PictureView(QWidget* parent) : QWidget(parent) {}

void PictureView::setPicture(const QImage& picture)
{
    picture_ = picture;
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
        // Smoothing keeps a speck of movement visible as a fainter dot instead of dropping it.
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(where, picture_);
    }
    if (!overlay_.isNull())
        painter.drawImage(where, overlay_);
}
