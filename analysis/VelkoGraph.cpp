#include "VelkoGraph.h"

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
    const int height = source.height();
    for (int y = 0; y < height; ++y)
        grayRow(source.row(y), target.row(y), source.width());
    return 0;
}

} // namespace analysis
