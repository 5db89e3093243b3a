#include <random>

#include <QImage>
#include <gtest/gtest.h>

#include "ClipboardFrame.h"

namespace {

analysis::Bitmap randomPicture(int width, int height, std::uint32_t seed)
{
    analysis::Bitmap picture(width, height, analysis::PixelFormat::Bgr24);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y)
        for (int i = 0; i < 3 * width; ++i)
            picture.row(y)[i] = static_cast<std::uint8_t>(random());
    return picture;
}

// Every pixel of the image is the picture's pixel, opaque; names the first that is not.
::testing::AssertionResult samePixels(const QImage& image, const analysis::Bitmap& picture)
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

} // namespace

TEST(ImageFromBitmap, PixelsExactAtEveryWidthAroundTheVectorRounds)
{
    for (int width : {1, 2, 5, 7, 8, 9, 10, 11, 15, 16, 17, 18, 31, 33, 321, 640}) {
        const analysis::Bitmap picture = randomPicture(width, 3, std::uint32_t(width));
        const QImage image = platform::imageFromBitmap(picture);
        EXPECT_EQ(image.format(), QImage::Format_RGB32);
        EXPECT_TRUE(samePixels(image, picture));
    }
    EXPECT_TRUE(platform::imageFromBitmap(analysis::Bitmap(0, 4, analysis::PixelFormat::Bgr24)).isNull());
}

TEST(BitmapFromImage, IntoAPictureOfAnotherSizeOrFormat)
{
    const analysis::Bitmap source = randomPicture(13, 7, 4);
    const QImage image = platform::imageFromBitmap(source);
    analysis::Bitmap into(5, 5, analysis::PixelFormat::Bits8);
    platform::bitmapFromImage(image, into);
    EXPECT_EQ(into, source);
    platform::bitmapFromImage(platform::imageFromBitmap(randomPicture(13, 7, 5)), into); // same size: reused
    EXPECT_EQ(into, randomPicture(13, 7, 5));
    platform::bitmapFromImage(QImage(), into);
    EXPECT_TRUE(into.empty());
    EXPECT_EQ(into.format(), analysis::PixelFormat::Bgr24);
}
