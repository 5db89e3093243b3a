#pragma once

#include <QImage>
#include <QWidget>

namespace app {
class PictureView;
}

// The movement window: the difference picture of the last evaluation, centred at its
// own size on black.
class TImageForm : public QWidget {
    Q_OBJECT
public:
    explicit TImageForm(QWidget* owner);

    // Gives `Image` a new picture.
    void setPicture(const QImage& picture);
    const QImage& picture() const;
    app::PictureView* Image;
};
