#include "PictureView.h"

#include <QPainter>

PictureView::PictureView(QWidget* parent) : QWidget(parent) {}

void PictureView::setPicture(const QImage& picture)
{
    picture_ = picture;
    update();
}

QPoint PictureView::pictureOrigin() const
{
    return {(width() - picture_.width()) / 2, (height() - picture_.height()) / 2};
}

void PictureView::paintEvent(QPaintEvent*)
{
    if (picture_.isNull())
        return;
    QPainter painter(this);
    painter.drawImage(pictureOrigin(), picture_);
}
