#include "Bitmap.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace analysis {

int bytesPerPixel(PixelFormat format)
{
    switch (format) {
    case PixelFormat::Bgr24: return 3;
    case PixelFormat::Bits8: return 1;
    case PixelFormat::None: break;
    }
    return 0;
}

std::uint8_t nearestIndex(const std::vector<Colour>& table, Colour colour)
{
    const int r = redOf(colour), g = greenOf(colour), b = blueOf(colour);
    if (table.empty())
        return static_cast<std::uint8_t>((r + g + b + 1) / 3);
    std::size_t best = 0;
    int bestDistance = 1 << 30;
    for (std::size_t i = 0; i < table.size() && i < 256; ++i) {
        const int dr = r - redOf(table[i]), dg = g - greenOf(table[i]), db = b - blueOf(table[i]);
        const int distance = dr * dr + dg * dg + db * db;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = i;
        }
    }
    return static_cast<std::uint8_t>(best);
}

void Bitmap::setWidth(int width) { reshape(width, height_, format_); }
void Bitmap::setHeight(int height) { reshape(width_, height, format_); }
void Bitmap::setFormat(PixelFormat format) { reshape(width_, height_, format); }

void Bitmap::setColourTable(std::vector<Colour> table)
{
    if (table.size() > 256)
        throw std::invalid_argument("a colour table holds at most 256 entries");
    colourTable_ = std::move(table);
}

Colour Bitmap::pixel(int x, int y) const
{
    const std::uint8_t* p = row(y);
    if (format_ == PixelFormat::Bgr24)
        return rgb(p[3 * x + 2], p[3 * x + 1], p[3 * x]);
    const std::uint8_t v = p[x];
    if (v < colourTable_.size())
        return colourTable_[v];
    return colourTable_.empty() ? rgb(v, v, v) : 0;
}

void Bitmap::reshape(int width, int height, PixelFormat format)
{
    if (width < 0 || height < 0)
        throw std::invalid_argument("a picture's width and height cannot be negative");
    if (width > maxSide || height > maxSide)
        throw std::length_error("picture too large");
    if (width == width_ && height == height_ && format == format_)
        return;

    const std::size_t stride = (static_cast<std::size_t>(width) * bytesPerPixel(format) + 3) & ~std::size_t(3);
    std::vector<std::uint8_t> pixels(stride * static_cast<std::size_t>(height));
    // Keep what lies inside both shapes; where the format changes, convert it.
    const int keepW = std::min(width, width_), keepH = std::min(height, height_);
    if (format_ == format) {
        const std::size_t bytes = static_cast<std::size_t>(keepW) * bytesPerPixel(format);
        // Without bytes to keep the rows may have no storage at all: no copy from null.
        for (int y = 0; bytes > 0 && y < keepH; ++y)
            std::memcpy(pixels.data() + y * stride, row(y), bytes);
    } else if (format != PixelFormat::None && format_ != PixelFormat::None) {
        for (int y = 0; y < keepH; ++y) {
            std::uint8_t* to = pixels.data() + y * stride;
            for (int x = 0; x < keepW; ++x) {
                const Colour c = pixel(x, y);
                if (format == PixelFormat::Bgr24) {
                    to[3 * x] = blueOf(c);
                    to[3 * x + 1] = greenOf(c);
                    to[3 * x + 2] = redOf(c);
                } else {
                    to[x] = nearestIndex(colourTable_, c);
                }
            }
        }
    }
    width_ = width;
    height_ = height;
    format_ = format;
    stride_ = stride;
    pixels_ = std::move(pixels);
}

} // namespace analysis
