#include "CompareFrames.h"

#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "Kernels.h"

using namespace analysis;

namespace {

Bitmap grayFrame(int w, int h, std::uint8_t level = 100)
{
    Bitmap b(w, h, PixelFormat::Bits8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            b.row(y)[x] = level;
    return b;
}

Bitmap randomFrame(int w, int h, std::mt19937& random)
{
    Bitmap b = grayFrame(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            b.row(y)[x] = static_cast<std::uint8_t>(random());
    return b;
}

// The difference pixel and sums, one pixel at a time, as the comparison is defined.
Colour referencePixel(int d, int t)
{
    if (d > t)
        return rgb(std::uint8_t((d + 128) & 255), 0, 0);
    if (d < -t)
        return rgb(0, 0, std::uint8_t((-d + 128) & 255));
    if (d == t)
        return 0xC0C0C0;
    return 0xFFFFFF;
}

struct Compared {
    int result;
    Bitmap picture;
    MovementResult out;
};

Compared compare(const Bitmap& earlier, const Bitmap& later, int t, MovementResult start = {})
{
    Compared c{0, {}, start};
    c.result = CompareFrames(earlier, later, c.picture, std::uint8_t(t), c.out);
    return c;
}

} // namespace

TEST(CompareFrames, PixelColours)
{
    struct Case {
        int t, before, after;
        Colour colour;
    } cases[] = {
        {20, 100, 121, rgb(149, 0, 0)}, {20, 100, 120, 0xC0C0C0},      {20, 120, 100, 0xFFFFFF},
        {20, 121, 100, rgb(0, 0, 149)}, {0, 0, 127, rgb(255, 0, 0)},   {0, 0, 128, rgb(0, 0, 0)},
        {0, 0, 255, rgb(127, 0, 0)},    {0, 127, 0, rgb(0, 0, 255)},   {0, 128, 0, rgb(0, 0, 0)},
        {0, 255, 0, rgb(0, 0, 127)},    {0, 77, 77, 0xC0C0C0},         {255, 0, 255, 0xC0C0C0},
        {255, 255, 0, 0xFFFFFF},        {255, 10, 200, 0xFFFFFF},      {20, 50, 50, 0xFFFFFF},
    };
    for (const Case& k : cases) {
        const Compared c = compare(grayFrame(1, 1, std::uint8_t(k.before)), grayFrame(1, 1, std::uint8_t(k.after)), k.t);
        ASSERT_EQ(c.result, 0);
        EXPECT_EQ(c.picture.format(), PixelFormat::Bgr24);
        EXPECT_EQ(c.picture.pixel(0, 0), k.colour) << "t " << k.t << ": " << k.before << " -> " << k.after;
    }
}

TEST(CompareFrames, VariantsMatchThePlainDefinitionOnRandomFrames)
{
    std::vector<std::pair<const char*, kernels::CompareRow>> variants = {{"portable", kernels::compareRowPortable}};
    if (kernels::compareRowAvx2())
        variants.emplace_back("avx2", kernels::compareRowAvx2());
    std::mt19937 random(11);
    for (const auto& [name, row] : variants)
        for (int width : {0, 1, 5, 31, 32, 33, 63, 64, 65, 100, 333})
            for (int t : {0, 1, 20, 127, 128, 254, 255}) {
                const Bitmap a = randomFrame(width, 1, random), b = randomFrame(width, 1, random);
                std::vector<std::uint8_t> picture(3 * width + 1, 0x5A);
                kernels::CompareSums sums;
                row(a.row(0), b.row(0), picture.data(), width, std::uint8_t(t), sums);
                kernels::CompareSums expected;
                for (int x = 0; x < width; ++x) {
                    const int d = b.row(0)[x] - a.row(0)[x];
                    const Colour c = referencePixel(d, t);
                    ASSERT_EQ(rgb(picture[3 * x + 2], picture[3 * x + 1], picture[3 * x]), c)
                        << name << " width " << width << " t " << t << " x " << x << " d " << d;
                    if (d > t) {
                        ++expected.brightCount;
                        expected.brightWeight += d;
                        expected.brightSumX += x * d;
                    } else if (d < -t) {
                        ++expected.darkCount;
                        expected.darkWeight += d;
                        expected.darkSumX += x * d;
                    }
                }
                ASSERT_EQ(picture[3 * width], 0x5A) << name << " wrote past the row";
                EXPECT_EQ(sums.brightCount, expected.brightCount) << name << " width " << width << " t " << t;
                EXPECT_EQ(sums.brightWeight, expected.brightWeight) << name;
                EXPECT_EQ(sums.brightSumX, expected.brightSumX) << name;
                EXPECT_EQ(sums.darkCount, expected.darkCount) << name;
                EXPECT_EQ(sums.darkWeight, expected.darkWeight) << name;
                EXPECT_EQ(sums.darkSumX, expected.darkSumX) << name;
            }
}

TEST(CompareFrames, LongestRowsSumExactly)
{
    // 65536 pixels that all brighten by 255: the x sum is 255 x 65535 x 65536 / 2.
    const int width = analysis::Bitmap::maxSide;
    const Bitmap dark = grayFrame(width, 1, 0), light = grayFrame(width, 1, 255);
    std::vector<kernels::CompareRow> rows = {kernels::compareRowPortable};
    if (kernels::compareRowAvx2())
        rows.push_back(kernels::compareRowAvx2());
    std::vector<std::uint8_t> picture(3 * width);
    for (kernels::CompareRow row : rows) {
        kernels::CompareSums up, down;
        row(dark.row(0), light.row(0), picture.data(), width, 0, up);
        EXPECT_EQ(up.brightCount, width);
        EXPECT_EQ(up.brightWeight, 255LL * width);
        EXPECT_EQ(up.brightSumX, 255LL * 65535 * 65536 / 2);
        row(light.row(0), dark.row(0), picture.data(), width, 0, down);
        EXPECT_EQ(down.darkSumX, -255LL * 65535 * 65536 / 2);
    }
}

TEST(CompareFrames, SumsAndTruncatedCentres)
{
    // Row 5: x = 0 brightens by 30, x = 3 by 10; x = 20 darkens by 40 in row 9.
    Bitmap earlier = grayFrame(40, 20), later = grayFrame(40, 20);
    later.row(5)[0] = 130;
    later.row(5)[3] = 110;
    later.row(9)[20] = 60;
    const Compared c = compare(earlier, later, 5);
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.out.BrightCount, 2);
    EXPECT_EQ(c.out.BrightSumX, 30);
    EXPECT_EQ(c.out.BrightSumY, 200);
    EXPECT_EQ(c.out.DarkCount, 1);
    EXPECT_EQ(c.out.DarkSumX, -800);
    EXPECT_EQ(c.out.DarkSumY, -360);
    // Bright centre (0, 5) (0.75 truncated), dark centre (20, 9): midway (10, 7).
    EXPECT_EQ(c.out.Centre, (Point{10, 7}));
    EXPECT_EQ(c.picture.pixel(0, 5), 0x0000FFu) << "the red bright marker's inside";
    EXPECT_EQ(c.picture.pixel(20, 9), 0x800000u) << "the dark blue marker's inside";
    EXPECT_EQ(c.picture.pixel(10, 7), 0x008000u) << "the dark green centre marker's inside";
    EXPECT_EQ(c.picture.pixel(5, 2), 0x000000u) << "outline in the default black pen";
}

TEST(CompareFrames, LaterMarkersCoverEarlierOnes)
{
    // Bright centre (10, 4) and dark centre (13, 7): centre (11, 5), all three overlap.
    Bitmap earlier = grayFrame(30, 20), later = grayFrame(30, 20);
    later.row(4)[10] = 200;
    later.row(7)[13] = 0;
    const Compared c = compare(earlier, later, 20);
    EXPECT_EQ(c.out.Centre, (Point{11, 5}));
    EXPECT_EQ(c.picture.pixel(11, 5), 0x008000u);
    EXPECT_EQ(c.picture.pixel(16, 10), 0x800000u) << "dark marker where nothing covers it";
    EXPECT_EQ(c.picture.pixel(15, 9), 0x000000u) << "the centre marker's outline lies over the dark one";
}

TEST(CompareFrames, OneDirectionOnlyLeavesCentreAndDrawsNoMarker)
{
    Bitmap earlier = grayFrame(16, 16), later = grayFrame(16, 16);
    later.row(3)[4] = 200;
    MovementResult start;
    start.Centre = {-7, 99};
    const Compared c = compare(earlier, later, 20, start);
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.out.BrightCount, 1);
    EXPECT_EQ(c.out.BrightSumX, 400);
    EXPECT_EQ(c.out.BrightSumY, 300);
    EXPECT_EQ(c.out.DarkCount, 0);
    EXPECT_EQ(c.out.Centre, (Point{-7, 99}));
    EXPECT_EQ(c.picture.pixel(4, 2), 0xFFFFFFu);

    const Compared still = compare(earlier, earlier, 255, start);
    EXPECT_EQ(still.out.BrightCount + still.out.DarkCount, 0);
    EXPECT_EQ(still.out.Centre, (Point{-7, 99}));
}

TEST(CompareFrames, EmptyFramesGiveAnEmptyPicture)
{
    const Compared c = compare(grayFrame(0, 0), grayFrame(0, 0), 20);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.picture.format(), PixelFormat::Bgr24);
    EXPECT_TRUE(c.picture.empty());
    EXPECT_EQ(c.out, MovementResult{});
}

TEST(CompareFrames, RefusedFramesChangeNothing)
{
    const Bitmap never, colour(4, 4, PixelFormat::Bgr24);
    const Bitmap gray = grayFrame(4, 4), narrower = grayFrame(3, 4), shorter = grayFrame(4, 3);
    struct Case {
        const Bitmap *earlier, *later;
    } cases[] = {{&never, &gray}, {&gray, &never}, {&colour, &gray}, {&gray, &colour},
                 {&gray, &narrower}, {&gray, &shorter}, {&narrower, &gray}};
    MovementResult start;
    start.BrightCount = 3;
    start.DarkSumY = -4;
    start.Centre = {1, 2};
    for (const Case& k : cases) {
        Bitmap picture = grayFrame(2, 2, 9);
        const Bitmap pictureBefore = picture;
        MovementResult out = start;
        EXPECT_EQ(CompareFrames(*k.earlier, *k.later, picture, 20, out), 2);
        EXPECT_EQ(picture, pictureBefore);
        EXPECT_EQ(out, start);
    }
}

TEST(CompareFrames, StrongChangeOnLargeFramesKeepsTrueCentres)
{
    // Left half brightens by 250, right half darkens by 250 on 4000 x 3000: the x sums
    // run far beyond 32 bits, yet the centres are the true weighted means.
    const int w = 4000, h = 3000;
    Bitmap earlier = grayFrame(w, h, 0), later = grayFrame(w, h, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            (x < w / 2 ? later : earlier).row(y)[x] = 250;
    const Compared c = compare(earlier, later, 20);
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.out.BrightCount, w * h / 2);
    EXPECT_EQ(c.out.BrightSumX, INT32_MAX) << "saturates instead of wrapping";
    EXPECT_EQ(c.out.DarkSumX, INT32_MIN);
    EXPECT_EQ(c.out.BrightSumY, INT32_MAX);
    // Bright centre (999, 1499), dark centre (2999, 1499): midway (1999, 1499).
    EXPECT_EQ(c.out.Centre, (Point{1999, 1499}));
}
