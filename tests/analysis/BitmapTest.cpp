#include "Bitmap.h"

#include <gtest/gtest.h>

using namespace analysis;

TEST(Bitmap, StartsEmptyWithoutFormat)
{
    const Bitmap b;
    EXPECT_EQ(b.width(), 0);
    EXPECT_EQ(b.height(), 0);
    EXPECT_EQ(b.format(), PixelFormat::None);
    EXPECT_TRUE(b.empty());
}

TEST(Bitmap, EmptyPictureTakesAFormatWithoutPixels)
{
    Bitmap b;
    b.setFormat(PixelFormat::Bgr24);
    EXPECT_EQ(b.format(), PixelFormat::Bgr24);
    EXPECT_TRUE(b.empty());
    b.setWidth(5);
    EXPECT_TRUE(b.empty()) << "a width without a height holds no pixels";
}

TEST(Bitmap, RowsAreIndependentOfStride)
{
    Bitmap b;
    b.setWidth(3); // 9 bytes a row, padded in memory
    b.setHeight(4);
    b.setFormat(PixelFormat::Bgr24);
    for (int y = 0; y < 4; ++y)
        for (int i = 0; i < 9; ++i)
            b.row(y)[i] = static_cast<std::uint8_t>(10 * y + i);
    for (int y = 0; y < 4; ++y)
        EXPECT_EQ(b.pixel(1, y), rgb(std::uint8_t(10 * y + 5), std::uint8_t(10 * y + 4), std::uint8_t(10 * y + 3)));
}

TEST(Bitmap, ReshapingKeepsTheCommonPartAndConvertsFormats)
{
    Bitmap b;
    b.setWidth(2);
    b.setHeight(2);
    b.setFormat(PixelFormat::Bits8);
    b.row(0)[0] = 7;
    b.row(1)[1] = 200;
    b.setWidth(3);
    EXPECT_EQ(b.row(0)[0], 7);
    EXPECT_EQ(b.row(1)[1], 200);
    EXPECT_EQ(b.row(1)[2], 0);

    b.setFormat(PixelFormat::Bgr24);
    EXPECT_EQ(b.pixel(1, 1), rgb(200, 200, 200)) << "8-bit without a table is gray";

    b.row(0)[0] = 255; // pure blue
    b.row(0)[1] = 0;
    b.row(0)[2] = 0;
    b.setFormat(PixelFormat::Bits8);
    EXPECT_EQ(b.row(0)[0], 85) << "a colour becomes its nearest gray";
    EXPECT_EQ(b.row(1)[1], 200);
}

TEST(Bitmap, ReshapingPicturesWithoutPixels)
{
    // Zero bytes a row: nothing to keep, and no rows in memory to keep it from.
    Bitmap b(0, 5, PixelFormat::Bits8);
    b.setHeight(3);
    b.setWidth(2);
    EXPECT_EQ(b.row(2)[1], 0);
    Bitmap c(4, 0, PixelFormat::Bgr24);
    c.setWidth(1);
    c.setHeight(2);
    EXPECT_EQ(c.pixel(0, 1), rgb(0, 0, 0));
}

TEST(Bitmap, CopiesAreIndependent)
{
    Bitmap a;
    a.setWidth(4);
    a.setHeight(1);
    a.setFormat(PixelFormat::Bits8);
    a.row(0)[3] = 9;
    Bitmap b = a;
    EXPECT_EQ(a, b);
    b.row(0)[3] = 1;
    EXPECT_EQ(a.row(0)[3], 9);
}

TEST(Bitmap, RefusesImpossibleSizes)
{
    Bitmap b;
    EXPECT_THROW(b.setWidth(-1), std::invalid_argument);
    EXPECT_THROW(b.setHeight(Bitmap::maxSide + 1), std::length_error);
    EXPECT_EQ(b.width(), 0);
}

TEST(Bitmap, NearestColourTableEntry)
{
    const std::vector<Colour> table = {0x000000, 0x0000FF, 0xFFFFFF};
    EXPECT_EQ(nearestIndex(table, 0x0000F0), 1);
    EXPECT_EQ(nearestIndex(table, 0xF0F0F0), 2);
    EXPECT_EQ(nearestIndex(table, 0x101010), 0);
}
