#include <QImage>
#include <gtest/gtest.h>

#include "../support/Pictures.h"
#include "ClipboardFrame.h"
#include "CpuVariant.h"

TEST(ImageFromBitmap, PixelsExactAtEveryWidthAroundTheVectorRounds)
{
    for (const analysis::CpuVariant variant : {analysis::CpuVariant::portable, analysis::CpuVariant::avx2}) {
        const analysis::CpuVariantCeiling ceiling(variant);
        for (int width : {1, 2, 5, 7, 8, 9, 10, 11, 15, 16, 17, 18, 31, 33, 321, 640}) {
            const analysis::Bitmap picture = randomPicture(width, 3, std::uint32_t(width));
            const QImage image = platform::imageFromBitmap(picture);
            EXPECT_EQ(image.format(), QImage::Format_RGB32);
            EXPECT_TRUE(samePixels(image, picture)) << "variant " << int(variant) << ", width " << width;
        }
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
