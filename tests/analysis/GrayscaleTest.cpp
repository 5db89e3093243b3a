#include "VelkoGraph.h"

#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "Kernels.h"

using namespace analysis;

namespace {

// The luma as written down: each product and sum in 80-bit extended precision, the
// total rounded to nearest with halves to even. Adding and taking away 2^63 rounds to
// an integer in the current (nearest, ties to even) mode: the extended format's unit in
// the last place is 1 there.
int extendedLuma(int r, int g, int b)
{
    static_assert(std::numeric_limits<long double>::digits == 64, "needs the 80-bit extended format");
    const long double red = 0.3L, green = 0.59L, blue = 0.11L;
    long double sum = r * red;
    sum += g * green;
    sum += b * blue;
    volatile long double shifted = sum + 0x1p63L;
    return static_cast<int>(shifted - 0x1p63L);
}

Bitmap colourFrame(int w, int h, std::uint32_t seed)
{
    Bitmap b(w, h, PixelFormat::Bgr24);
    std::mt19937 random(seed);
    for (int y = 0; y < h; ++y)
        for (int i = 0; i < 3 * w; ++i)
            b.row(y)[i] = static_cast<std::uint8_t>(random());
    return b;
}

struct Variant {
    const char* name;
    kernels::GrayRow row;
};

std::vector<Variant> variants()
{
    std::vector<Variant> all = {{"portable", kernels::grayRowPortable}};
    if (kernels::grayRowAvx2())
        all.push_back({"avx2", kernels::grayRowAvx2()});
    if (kernels::grayRowAvx512())
        all.push_back({"avx512", kernels::grayRowAvx512()});
    return all;
}

} // namespace

TEST(ToGrayscale, EveryColourMatchesTheExtendedArithmetic)
{
    // One row per (red, green), 256 blues each: all 16,777,216 colours.
    std::vector<std::uint8_t> row(3 * 256), gray(256);
    std::vector<int> expected(256);
    const std::vector<Variant> all = variants();
    std::vector<int> mismatches(all.size());
    for (int r = 0; r < 256; ++r)
        for (int g = 0; g < 256; ++g) {
            for (int b = 0; b < 256; ++b) {
                row[3 * b] = std::uint8_t(b);
                row[3 * b + 1] = std::uint8_t(g);
                row[3 * b + 2] = std::uint8_t(r);
                expected[b] = extendedLuma(r, g, b);
            }
            for (std::size_t v = 0; v < all.size(); ++v) {
                all[v].row(row.data(), gray.data(), 256);
                for (int b = 0; b < 256; ++b)
                    if (gray[b] != expected[b] && ++mismatches[v] <= 5)
                        ADD_FAILURE() << all[v].name << ": (" << r << "," << g << "," << b << ") gives "
                                      << int(gray[b]) << ", expected " << expected[b];
            }
        }
    for (std::size_t v = 0; v < all.size(); ++v)
        EXPECT_EQ(mismatches[v], 0) << all[v].name;
}

TEST(ToGrayscale, KnownColours)
{
    struct Case {
        int r, g, b, gray;
    } cases[] = {
        {0, 0, 0, 0},     {255, 255, 255, 255}, {128, 128, 128, 128}, // gray stays gray
        {5, 0, 0, 2},     {15, 0, 0, 4},        {255, 0, 0, 76},      // exact halves go to even
        {0, 0, 150, 16},  {0, 44, 14, 28},
        {95, 0, 0, 29},   {0, 50, 0, 29},       {0, 5, 5, 3}, // decimal halves follow the extended value
    };
    for (const Case& k : cases) {
        Bitmap source(1, 1, PixelFormat::Bgr24);
        source.row(0)[0] = std::uint8_t(k.b);
        source.row(0)[1] = std::uint8_t(k.g);
        source.row(0)[2] = std::uint8_t(k.r);
        Bitmap target;
        ASSERT_EQ(ToGrayscale(source, target), 0);
        EXPECT_EQ(target.row(0)[0], k.gray) << "(" << k.r << "," << k.g << "," << k.b << ")";
        EXPECT_EQ(kernels::grayReference(std::uint8_t(k.r), std::uint8_t(k.g), std::uint8_t(k.b)), k.gray);
    }
}

TEST(ToGrayscale, VariantsAgreeOnRandomFramesOfAnyWidth)
{
    for (const Variant& variant : variants())
        for (int width : {0, 1, 2, 7, 31, 32, 33, 34, 35, 63, 64, 65, 97, 127, 130, 321, 4160, 4250}) {
            const Bitmap frame = colourFrame(width, 3, std::uint32_t(width));
            std::vector<std::uint8_t> gray(width + 1, 0xAB);
            for (int y = 0; y < 3; ++y) {
                variant.row(frame.row(y), gray.data(), width);
                for (int x = 0; x < width; ++x) {
                    const std::uint8_t* p = frame.row(y) + 3 * x;
                    ASSERT_EQ(gray[x], extendedLuma(p[2], p[1], p[0]))
                        << variant.name << " width " << width << " at x " << x << ", y " << y;
                }
                ASSERT_EQ(gray[width], 0xAB) << variant.name << " wrote past the row, width " << width;
            }
        }
}

TEST(ToGrayscale, ReshapesTheTargetToTheSource)
{
    const Bitmap source = colourFrame(5, 3, 1);
    Bitmap larger = colourFrame(9, 9, 2), smaller, gray8(2, 1, PixelFormat::Bits8);
    for (Bitmap* target : {&larger, &smaller, &gray8}) {
        ASSERT_EQ(ToGrayscale(source, *target), 0);
        EXPECT_EQ(target->width(), 5);
        EXPECT_EQ(target->height(), 3);
        EXPECT_EQ(target->format(), PixelFormat::Bits8);
        EXPECT_EQ(target->row(2)[4], extendedLuma(source.row(2)[14], source.row(2)[13], source.row(2)[12]));
    }
}

TEST(ToGrayscale, SourceAndTargetOneObject)
{
    for (int width : {1, 37, 320}) {
        Bitmap picture = colourFrame(width, 9, std::uint32_t(width));
        Bitmap expected;
        ASSERT_EQ(ToGrayscale(picture, expected), 0);
        ASSERT_EQ(ToGrayscale(picture, picture), 0);
        EXPECT_EQ(picture, expected) << "width " << width;
    }
}

TEST(ToGrayscale, RefusedSourcesChangeNothing)
{
    Bitmap empty24;
    empty24.setFormat(PixelFormat::Bgr24);
    Bitmap never; // no format at all
    Bitmap gray(2, 2, PixelFormat::Bits8);
    Bitmap emptyGray;
    emptyGray.setFormat(PixelFormat::Bits8);

    struct Case {
        const Bitmap* source;
        int result;
    } cases[] = {{&empty24, 1}, {&never, 2}, {&gray, 2}, {&emptyGray, 2}};
    for (const Case& k : cases) {
        const Bitmap sourceBefore = *k.source;
        Bitmap target = colourFrame(3, 2, 9);
        const Bitmap targetBefore = target;
        EXPECT_EQ(ToGrayscale(*k.source, target), k.result);
        EXPECT_EQ(target, targetBefore);
        EXPECT_EQ(*k.source, sourceBefore);
    }
}
