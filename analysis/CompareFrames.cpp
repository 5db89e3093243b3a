#include "CompareFrames.h"

#include <algorithm>
#include <limits>

#include "Canvas.h"
#include "Kernels.h"

namespace analysis {

namespace {

std::int32_t saturate(std::int64_t value)
{
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

void drawMarker(Canvas& canvas, Colour brush, std::int64_t x, std::int64_t y)
{
    canvas.setBrushColour(brush);
    canvas.rectangle(int(x - 5), int(y - 5), int(x + 5), int(y + 5));
}

} // namespace

int CompareFrames(const Bitmap& earlier, const Bitmap& later, Bitmap& difference, std::uint8_t threshold,
                  MovementResult& result)
{
    if (earlier.format() != PixelFormat::Bits8 || later.format() != PixelFormat::Bits8)
        return 2;
    if (earlier.width() != later.width() || earlier.height() != later.height())
        return 2;

    difference.setWidth(earlier.width());
    difference.setHeight(earlier.height());
    difference.setFormat(PixelFormat::Bgr24);

    // 64-bit totals: on large frames that change strongly the sums leave the 32-bit range.
    std::int64_t brightCount = 0, darkCount = 0, brightSumX = 0, brightSumY = 0, darkSumX = 0, darkSumY = 0;
    std::int64_t brightWeight = 0, darkWeight = 0;
    const kernels::CompareRow compareRow = kernels::bestCompareRow();
    const int height = earlier.height();
    for (int y = 0; y < height; ++y) {
        kernels::CompareSums row;
        compareRow(earlier.row(y), later.row(y), difference.row(y), earlier.width(), threshold, row);
        brightCount += row.brightCount;
        brightWeight += row.brightWeight;
        brightSumX += row.brightSumX;
        brightSumY += y * row.brightWeight;
        darkCount += row.darkCount;
        darkWeight += row.darkWeight;
        darkSumX += row.darkSumX;
        darkSumY += y * row.darkWeight;
    }
    result.BrightCount = saturate(brightCount);
    result.DarkCount = saturate(darkCount);
    result.BrightSumX = saturate(brightSumX);
    result.BrightSumY = saturate(brightSumY);
    result.DarkSumX = saturate(darkSumX);
    result.DarkSumY = saturate(darkSumY);

    if (brightCount <= 0 || darkCount <= 0 || brightWeight <= 0)
        return 0;

    // Weighted means, truncated toward zero; each lies inside the frame.
    const std::int64_t brightX = brightSumX / brightWeight, brightY = brightSumY / brightWeight;
    const std::int64_t darkX = darkSumX / darkWeight, darkY = darkSumY / darkWeight;
    Canvas canvas(difference);
    drawMarker(canvas, 0x0000FF, brightX, brightY);
    drawMarker(canvas, 0x800000, darkX, darkY);
    result.Centre = {static_cast<std::int32_t>((brightX + darkX) / 2), static_cast<std::int32_t>((brightY + darkY) / 2)};
    drawMarker(canvas, 0x008000, result.Centre.x, result.Centre.y);
    return 0;
}

} // namespace analysis
