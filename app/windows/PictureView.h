#pragma once

#include <QImage>
#include <QWidget>

namespace app {

// Shows a picture centred at its own size, pixel for pixel, where it fits; a larger one
// scaled down to fit, keeping its aspect. Never stretched up.
class PictureView : public QWidget {
    Q_OBJECT
public:
    explicit PictureView(QWidget* parent = nullptr);

    void setPicture(const QImage& picture);
    const QImage& picture() const { return picture_; }
    // A picture laid over the shown one, scaled onto the same place (a null image: none).
    void setOverlay(const QImage& overlay);
    const QImage& overlay() const { return overlay_; }
    // Where the picture lies in the widget.
    QRect pictureRect() const;
    // Where the picture's top-left pixel lies in the widget.
    QPoint pictureOrigin() const { return pictureRect().topLeft(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage picture_;
    QImage overlay_;
    // The picture halved until one more halving would make it smaller than where it is
    // shown; made at the first paint after the picture or the size changed.
    QImage reduced_;
    QSize reducedFor_;
};

} // namespace app
