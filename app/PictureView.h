#pragma once

#include <QImage>
#include <QWidget>

// Shows a picture at its own size, centred, not stretched.
class PictureView : public QWidget {
    Q_OBJECT
public:
    explicit PictureView(QWidget* parent = nullptr);

    void setPicture(const QImage& picture);
    const QImage& picture() const { return picture_; }
    // Where the picture's top-left pixel lies in the widget.
    QPoint pictureOrigin() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage picture_;
};
