#pragma once

#include <QImage>
#include <QObject>

class QMouseEvent;

namespace analysis {
class Bitmap;
}

namespace app {

class PictureView;

// Paints the detection's mask with the mouse on the movement picture: while painting is
// on, dragging marks the pixels under a round brush as ignored (or, erasing, as watched
// again). The mask is shown over the picture as a tint; while painting, over the scene (the
// last frame, dimmed) instead of the movement picture, which is mostly white. It has the
// frame's size (the picture's; 320 x 240 before any picture), 255 where watched and 0
// where ignored.
class MaskPainter : public QObject {
    Q_OBJECT
public:
    explicit MaskPainter(PictureView& view, QObject* parent = nullptr);

    void setPainting(bool on);
    bool painting() const { return painting_; }
    // Erasing gives pixels back to the watch.
    void setErasing(bool on) { erasing_ = on; }
    bool erasing() const { return erasing_; }
    // The brush's diameter in pixels of the frame.
    void setBrushSize(int pixels);
    int brushSize() const { return brush_; }
    void setTint(const QColor& tint);
    // The last frame, shown dimmed behind the tint while painting.
    void setScene(const QImage& frame);

    // The mask to show and paint on (an empty picture: none, everything watched).
    void setMask(const analysis::Bitmap& mask);
    analysis::Bitmap mask() const;
    bool hasMask() const { return !mask_.isNull(); }

signals:
    // A stroke ended: the mask changed.
    void maskPainted();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void paintAt(QPoint widgetPoint);
    void showTint();

    PictureView& view_;
    QImage mask_; // 8-bit gray, 0 ignored, 255 watched
    QImage scene_;
    QColor tint_{255, 160, 0, 110};
    int brush_ = 16;
    bool painting_ = false;
    bool erasing_ = false;
    bool stroke_ = false;
    QPointF strokeAt_; // in the mask, where the stroke's last event painted
    bool strokeGoesOn_ = false;
};

} // namespace app
