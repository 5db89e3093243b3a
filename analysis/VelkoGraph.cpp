#include "VelkoGraph.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "Kernels.h"

namespace analysis {

int ToGrayscale(const Bitmap& source, Bitmap& target)
{
    int result = 0;
    if (source.empty())
        result = 1;
    if (source.format() != PixelFormat::Bgr24)
        result = 2;
    if (result != 0)
        return result;
    if (&source == &target) {
        // Reshaping the target would discard the rows still to be read.
        Bitmap gray;
        gray.setColourTable(target.colourTable());
        ToGrayscale(source, gray);
        target = std::move(gray);
        return 0;
    }

    target.setWidth(source.width());
    target.setHeight(source.height());
    target.setFormat(PixelFormat::Bits8);

    const kernels::GrayRow grayRow = kernels::bestGrayRow();
    const int width = source.width(), height = source.height();
    // Rows that follow each other without padding in both pictures (widths divisible by
    // four) go to the kernel as one long row: it then sets up its edges once a frame.
    const bool contiguous = height > 1 && source.row(1) == source.row(0) + 3 * std::size_t(width) &&
                            target.row(1) == target.row(0) + std::size_t(width);
    const int rowsAtOnce = contiguous ? std::max(1, (1 << 30) / width) : 1;
    for (int y = 0; y < height; y += rowsAtOnce) {
        const int rows = std::min(rowsAtOnce, height - y);
        grayRow(source.row(y), target.row(y), width * rows);
    }
    return 0;
}

} // namespace analysis
