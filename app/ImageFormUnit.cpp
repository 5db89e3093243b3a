#include "ImageFormUnit.h"

#include <QVBoxLayout>

#include "Background.h"
#include "PictureView.h"

TImageForm::TImageForm(QWidget* owner) : QWidget(owner, Qt::Window)
{
    setObjectName("ImageForm");
    setWindowTitle("Image");
    setAttribute(Qt::WA_QuitOnClose, false);
    setBackground(this, Qt::black);
    resize(320, 240);
    move(334, 201);

    Image = new PictureView(this);
    Image->setObjectName("Image");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Image);
}

void TImageForm::setPicture(const QImage& picture)
{
    picture_ = picture;
    Image->setPicture(picture);
}
