#pragma once

#include <cstdint>

#include <QWidget>

#include "Bitmap.h"
#include "CompareFrames.h"

namespace app {
class PictureView;
}

// The direction indicator: one red line from the middle of a white 100 x 100 picture
// to the previous movement centre minus the new one, so that it shows which way the
// movement went since the last evaluation. Each call erases the line of the call before.
class TDirectionForm : public QWidget {
    Q_OBJECT
public:
    explicit TDirectionForm(QWidget* owner);

    void ShowDirection(std::int32_t X, std::int32_t Y);

    const analysis::Bitmap& picture() const { return picture_; }
    analysis::Point LastCentre;
    analysis::Point LineEnd; // end of the red line drawn by the last call
    app::PictureView* Image;

private:
    void FormCreate();
    void showPicture();

    analysis::Bitmap picture_{100, 100, analysis::PixelFormat::Bits8};
};
