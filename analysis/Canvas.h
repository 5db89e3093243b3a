#pragma once

#include "Bitmap.h"

namespace analysis {

// Draws on a Bitmap with a one-pixel solid pen and a solid brush, clipped at the
// picture's edges. A new canvas has a black pen and a white brush. On an 8-bit
// picture a colour becomes its nearest colour-table entry (its gray level without one).
class Canvas {
public:
    explicit Canvas(Bitmap& bitmap) : bitmap_(bitmap) {}

    void setPenColour(Colour colour) { pen_ = colour; }
    void setBrushColour(Colour colour) { brush_ = colour; }

    void moveTo(int x, int y);
    // The line from the current point to (x, y) without the end pixel itself; the
    // current point then moves to (x, y). Costs only the pixels inside the picture,
    // however far outside the end point lies.
    void lineTo(int x, int y);
    // Columns left to right - 1 and rows top to bottom - 1: the outermost ring in the
    // pen colour, the inside in the brush colour. Empty when right <= left or bottom <= top.
    void rectangle(int left, int top, int right, int bottom);

private:
    void fillSpan(int y, int x0, int x1, Colour colour); // columns x0 .. x1 - 1, clipped
    void plot(int x, int y, Colour colour);

    Bitmap& bitmap_;
    Colour pen_ = 0x000000;
    Colour brush_ = 0xFFFFFF;
    int x_ = 0;
    int y_ = 0;
};

} // namespace analysis
