#pragma once

#include <cstdint>
#include <random>

#include <QImage>
#include <gtest/gtest.h>

#include "Bitmap.h"

// A 24-bit picture of random bytes, the same for the same seed.
inline analysis::Bitmap randomPicture(int width, int height, std::uint32_t seed)
{
    analysis::Bitmap picture(width, height, analysis::PixelFormat::Bgr24);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y)
        for (int i = 0; i < 3 * width; ++i)
            picture.row(y)[i] = static_cast<std::uint8_t>(random());
    return picture;
}

// Every pixel of the image is the picture's pixel, opaque; names the first that is not.
inline ::testing::AssertionResult samePixels(const QImage& image, const analysis::Bitmap& picture)
{
    if (image.width() != picture.width() || image.height() != picture.height())
        return ::testing::AssertionFailure() << "size " << image.width() << "x" << image.height();
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const analysis::Colour c = picture.pixel(x, y);
            const QRgb expected = qRgb(analysis::redOf(c), analysis::greenOf(c), analysis::blueOf(c));
            if (image.pixel(x, y) != expected)
                return ::testing::AssertionFailure() << "at " << x << "," << y << " of width " << picture.width()
                                                     << ": " << std::hex << image.pixel(x, y) << " not " << expected;
        }
    return ::testing::AssertionSuccess();
}
