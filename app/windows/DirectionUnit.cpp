#include "DirectionUnit.h"

#include <algorithm>

#include "Canvas.h"
#include "ClipboardFrame.h"
#include "PictureView.h"
#include "WindowSetup.h"
using app::setUpOwnedWindow;
using app::setBackground;
using app::addPictureFilling;

namespace {

// The sixteen standard colours, 0x00BBGGRR: black, dark red, dark green, olive, dark
// blue, purple, teal, silver, gray, red, green, yellow, blue, magenta, cyan, white.
const std::vector<analysis::Colour> standardColours = {
    0x000000, 0x000080, 0x008000, 0x008080, 0x800000, 0x800080, 0x808000, 0xC0C0C0,
    0x808080, 0x0000FF, 0x00FF00, 0x00FFFF, 0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF,
};
constexpr std::uint8_t whiteEntry = 15;
constexpr analysis::Colour red = 0x0000FF, white = 0xFFFFFF;

// The old centre minus the new one, wrapping like 32-bit arithmetic instead of overflowing.
std::int32_t difference(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

} // namespace

TDirectionForm::TDirectionForm(QWidget* owner) : QWidget(owner, Qt::Window)
{
    setUpOwnedWindow(this, "DirectionForm", "DirectionForm", {526, 4});
    setBackground(this, Qt::white);
    resize(121, 120);

    picture_.setColourTable(standardColours);
    for (int y = 0; y < 100; ++y)
        std::fill_n(picture_.row(y), 100, whiteEntry);

    Image = addPictureFilling(this);
    showPicture();
    FormCreate();
}

void TDirectionForm::FormCreate()
{
    LastCentre = {50, 50};
}

void TDirectionForm::ShowDirection(std::int32_t X, std::int32_t Y)
{
    const analysis::Point end{difference(LastCentre.x, X), difference(LastCentre.y, Y)};
    analysis::Canvas canvas(picture_);
    canvas.moveTo(50, 50);
    canvas.setPenColour(white);
    canvas.lineTo(LineEnd.x, LineEnd.y);
    canvas.moveTo(50, 50);
    canvas.setPenColour(red);
    canvas.lineTo(end.x, end.y);
    LastCentre = {X, Y};
    LineEnd = end;
    showPicture();
}

void TDirectionForm::showPicture()
{
    Image->setPicture(platform::imageFromBitmap(picture_));
}
