#include "ImageFormUnit.h"

#include <QLabel>
#include <QVBoxLayout>

TImageForm::TImageForm(QWidget* owner) : QWidget(owner, Qt::Window)
{
    setObjectName("ImageForm");
    setWindowTitle("Image");
    setAttribute(Qt::WA_QuitOnClose, false);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::black);
    setPalette(palette);
    resize(320, 240);
    move(334, 201);

    Image = new QLabel(this);
    Image->setObjectName("Image");
    Image->setAlignment(Qt::AlignCenter);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Image);
}

void TImageForm::setPicture(const QImage& picture)
{
    picture_ = picture;
    Image->setPixmap(QPixmap::fromImage(picture));
}
