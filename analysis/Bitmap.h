#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace analysis {

// A colour as the canvas takes it: 0x00BBGGRR, red in the low byte.
using Colour = std::uint32_t;

constexpr std::uint8_t redOf(Colour c) { return static_cast<std::uint8_t>(c); }
constexpr std::uint8_t greenOf(Colour c) { return static_cast<std::uint8_t>(c >> 8); }
constexpr std::uint8_t blueOf(Colour c) { return static_cast<std::uint8_t>(c >> 16); }
constexpr Colour rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
    return Colour(r) | Colour(g) << 8 | Colour(b) << 16;
}

enum class PixelFormat {
    None,   // never given a format: holds no pixels, whatever its size
    Bgr24,  // three bytes per pixel: blue, green, red
    Bits8,  // one byte per pixel: a gray level, or an index into the colour table
};

// A raster picture: width, height, pixel format and the pixel rows.
// Rows are reached by index (0 is the top row); their layout in memory stays private.
// A picture is reshaped by giving it a width, a height and a format; the pixels that
// lie inside both the old and the new shape survive, a format change converts them.
class Bitmap {
public:
    // Largest width or height a picture may have; larger sizes throw std::length_error.
    static constexpr int maxSide = 1 << 16;

    Bitmap() = default;
    // A picture given its width, height and format at once, its pixels 0.
    Bitmap(int width, int height, PixelFormat format) { reshape(width, height, format); }

    int width() const { return width_; }
    int height() const { return height_; }
    PixelFormat format() const { return format_; }
    bool empty() const { return width_ == 0 || height_ == 0; }

    void setWidth(int width);
    void setHeight(int height);
    void setFormat(PixelFormat format);

    std::uint8_t* row(int y) { return pixels_.data() + static_cast<std::size_t>(y) * stride_; }
    const std::uint8_t* row(int y) const { return pixels_.data() + static_cast<std::size_t>(y) * stride_; }

    // Colours of the 8-bit indices; an 8-bit picture without a table holds gray levels.
    const std::vector<Colour>& colourTable() const { return colourTable_; }
    void setColourTable(std::vector<Colour> table);

    // The colour of pixel (x, y); (x, y) must lie inside a picture that has a format.
    Colour pixel(int x, int y) const;

    friend bool operator==(const Bitmap&, const Bitmap&) = default;

private:
    void reshape(int width, int height, PixelFormat format);

    int width_ = 0;
    int height_ = 0;
    PixelFormat format_ = PixelFormat::None;
    std::size_t stride_ = 0;
    std::vector<std::uint8_t> pixels_;
    std::vector<Colour> colourTable_;
};

int bytesPerPixel(PixelFormat format);

// The byte that stands for `colour` in an 8-bit picture with `table` (nearest entry by
// squared distance, the first of equals), or its gray level when the table is empty.
std::uint8_t nearestIndex(const std::vector<Colour>& table, Colour colour);

} // namespace analysis
