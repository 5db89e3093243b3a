#include "Canvas.h"

#include <algorithm>
#include <cstdint>

namespace analysis {

namespace {

__extension__ using Wide = __int128;

Wide floorDiv(Wide a, Wide b) // b > 0
{
    Wide q = a / b;
    if (a % b != 0 && a < 0)
        --q;
    return q;
}

Wide ceilDiv(Wide a, Wide b) // b > 0
{
    return -floorDiv(-a, b);
}

// Step range [lo, hi] along an axis that starts at `start` and moves by `sign` per
// step, for which the coordinate stays inside 0 .. size - 1.
void stepsInside(std::int64_t start, int sign, int size, Wide& lo, Wide& hi)
{
    if (sign > 0) {
        lo = -start;
        hi = size - 1 - start;
    } else {
        lo = start - (size - 1);
        hi = start;
    }
}

} // namespace

void Canvas::moveTo(int x, int y)
{
    x_ = x;
    y_ = y;
}

void Canvas::plot(int x, int y, Colour colour)
{
    std::uint8_t* p = bitmap_.row(y);
    if (bitmap_.format() == PixelFormat::Bgr24) {
        p[3 * x] = blueOf(colour);
        p[3 * x + 1] = greenOf(colour);
        p[3 * x + 2] = redOf(colour);
    } else {
        p[x] = nearestIndex(bitmap_.colourTable(), colour);
    }
}

void Canvas::fillSpan(int y, int x0, int x1, Colour colour)
{
    if (y < 0 || y >= bitmap_.height())
        return;
    x0 = std::max(x0, 0);
    x1 = std::min(x1, bitmap_.width());
    for (int x = x0; x < x1; ++x)
        plot(x, y, colour);
}

// The line's pixels: along the major axis step i = 0 .. n - 1 (n = the major distance,
// so the end pixel is left out) moves one pixel; the minor axis then lies at
// i * minor / n rounded to the nearest, halves away from the start. The visible steps
// are found by solving the clip inequalities exactly, so far end points cost nothing.
void Canvas::lineTo(int x, int y)
{
    const std::int64_t x0 = x_, y0 = y_;
    moveTo(x, y);
    if (bitmap_.format() == PixelFormat::None || bitmap_.empty())
        return;

    const std::int64_t dx = x - x0, dy = y - y0;
    const bool xMajor = (dx < 0 ? -dx : dx) >= (dy < 0 ? -dy : dy);
    const std::int64_t major = xMajor ? (dx < 0 ? -dx : dx) : (dy < 0 ? -dy : dy);
    const std::int64_t minor = xMajor ? (dy < 0 ? -dy : dy) : (dx < 0 ? -dx : dx);
    if (major == 0)
        return;
    const int majorSign = (xMajor ? dx : dy) < 0 ? -1 : 1;
    const int minorSign = (xMajor ? dy : dx) < 0 ? -1 : 1;
    const std::int64_t majorStart = xMajor ? x0 : y0, minorStart = xMajor ? y0 : x0;
    const int majorSize = xMajor ? bitmap_.width() : bitmap_.height();
    const int minorSize = xMajor ? bitmap_.height() : bitmap_.width();

    // Steps whose major coordinate is inside, within 0 .. n - 1.
    Wide lo, hi;
    stepsInside(majorStart, majorSign, majorSize, lo, hi);
    lo = std::max<Wide>(lo, 0);
    hi = std::min<Wide>(hi, major - 1);

    // Minor offset m(i) = floor((2 i minor + major) / (2 major)); keep mLo <= m(i) <= mHi.
    Wide mLo, mHi;
    stepsInside(minorStart, minorSign, minorSize, mLo, mHi);
    if (minor == 0) {
        if (mLo > 0 || mHi < 0)
            return;
    } else {
        lo = std::max(lo, ceilDiv(2 * mLo * major - major, 2 * Wide(minor)));
        hi = std::min(hi, floorDiv(2 * (mHi + 1) * major - major - 1, 2 * Wide(minor)));
    }
    if (lo > hi)
        return;

    const std::int64_t twoMajor = 2 * major;
    const Wide first = 2 * lo * minor + major;
    std::int64_t m = static_cast<std::int64_t>(first / twoMajor);
    std::int64_t rest = static_cast<std::int64_t>(first % twoMajor);
    for (Wide i = lo; i <= hi; ++i) {
        const auto a = static_cast<int>(majorStart + majorSign * static_cast<std::int64_t>(i));
        const auto b = static_cast<int>(minorStart + minorSign * m);
        if (xMajor)
            plot(a, b, pen_);
        else
            plot(b, a, pen_);
        rest += 2 * minor;
        if (rest >= twoMajor) {
            rest -= twoMajor;
            ++m;
        }
    }
}

void Canvas::rectangle(int left, int top, int right, int bottom)
{
    if (right <= left || bottom <= top || bitmap_.format() == PixelFormat::None)
        return;
    const int firstRow = std::max(top, 0), lastRow = std::min(bottom, bitmap_.height()) - 1;
    for (int y = firstRow; y <= lastRow; ++y) {
        if (y == top || y == bottom - 1) {
            fillSpan(y, left, right, pen_);
        } else {
            fillSpan(y, left, left + 1, pen_);
            fillSpan(y, left + 1, right - 1, brush_);
            fillSpan(y, right - 1, right, pen_);
        }
    }
}

} // namespace analysis
