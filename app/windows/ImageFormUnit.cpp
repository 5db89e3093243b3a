#include "ImageFormUnit.h"

#include "PictureView.h"
#include "WindowSetup.h"
using app::setUpOwnedWindow;
using app::setBackground;
using app::addPictureFilling;

TImageForm::TImageForm(QWidget* owner) : QWidget(owner, Qt::Window)
{
    setUpOwnedWindow(this, "ImageForm", "Image", {334, 201});
    setBackground(this, Qt::black);
    resize(320, 240);
    Image = addPictureFilling(this);
}

void TImageForm::setPicture(const QImage& picture)
{
    Image->setPicture(picture);
}

const QImage& TImageForm::picture() const
{
    return Image->picture();
}
