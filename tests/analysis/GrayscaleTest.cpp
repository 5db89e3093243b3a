#include "VelkoGraph.h"

#include <algorithm>
#include <limits>
#include <random>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CpuVariant.h"
#include "DetectionKernels.h"
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

// A random colour whose decimal luma lies exactly on a half (30 R + 59 G + 11 B = 50
// mod 100): the colours whose rounding only the extended arithmetic decides. 91
// inverts the blue weight modulo 100.
void tieColour(std::mt19937& random, std::uint8_t* pixel)
{
    for (;;) {
        const int r = int(random() % 256), g = int(random() % 256);
        const int b = ((91 * (50 - 30 * r - 59 * g)) % 100 + 100) % 100 + 100 * int(random() % 3);
        if (b < 256) {
            pixel[0] = std::uint8_t(b);
            pixel[1] = std::uint8_t(g);
            pixel[2] = std::uint8_t(r);
            return;
        }
    }
}

// Checks one row of a variant against the extended arithmetic; the message names the first wrong pixel.
::testing::AssertionResult rowMatches(const std::uint8_t* bgr, const std::uint8_t* gray, int width)
{
    for (int x = 0; x < width; ++x) {
        const std::uint8_t* p = bgr + 3 * x;
        if (gray[x] != extendedLuma(p[2], p[1], p[0]))
            return ::testing::AssertionFailure() << "x " << x << " gives " << int(gray[x]) << ", expected "
                                                 << extendedLuma(p[2], p[1], p[0]);
    }
    return ::testing::AssertionSuccess();
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

TEST(ToGrayscale, VariantsAgreeWhereTiesCrowd)
{
    // The vector rows list the ties as they go and settle them in batches: rows made of
    // nothing but ties, or with a tie in every other pixel or every tenth, fill the list
    // of a whole stretch, many batches per round and part-filled batches at stretch ends.
    std::mt19937 random(7);
    for (int every : {1, 2, 10})
        for (int width : {64, 65, 200, 4096, 4097, 9000}) {
            std::vector<std::uint8_t> bgr(3 * std::size_t(width));
            for (int x = 0; x < width; ++x) {
                if (x % every == 0)
                    tieColour(random, &bgr[3 * std::size_t(x)]);
                else
                    for (int c = 0; c < 3; ++c)
                        bgr[3 * std::size_t(x) + c] = std::uint8_t(random());
            }
            for (const Variant& variant : variants()) {
                std::vector<std::uint8_t> gray(std::size_t(width) + 1, 0xAB);
                variant.row(bgr.data(), gray.data(), width);
                EXPECT_TRUE(rowMatches(bgr.data(), gray.data(), width))
                    << variant.name << ", a tie every " << every << " pixels, width " << width;
                EXPECT_EQ(gray[std::size_t(width)], 0xAB) << variant.name << " wrote past the row, width " << width;
            }
        }
}

TEST(ToGrayscale, VariantsReadOnlyTheirRow)
{
    // Rows that start just after and end just before memory that cannot be read: a load or
    // gather that reaches past the row ends the test with a fault. The first and last pixels
    // are ties, so that they are gathered again.
    const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
    const std::size_t span = 16 * page;
    void* mapped = mmap(nullptr, span + 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    auto* base = static_cast<std::uint8_t*>(mapped);
    ASSERT_EQ(mprotect(base, page, PROT_NONE), 0);
    ASSERT_EQ(mprotect(base + page + span, page, PROT_NONE), 0);
    std::uint8_t* const start = base + page;
    std::uint8_t* const end = base + page + span;
    std::mt19937 random(3);
    for (int width : {1, 2, 31, 32, 33, 64, 65, 66, 97, 129, 130, 4096, 4161}) {
        const std::size_t bytes = 3 * std::size_t(width);
        for (std::uint8_t* bgr : {start, end - bytes}) {
            for (std::size_t i = 0; i < bytes; ++i)
                bgr[i] = std::uint8_t(random());
            tieColour(random, bgr);
            tieColour(random, bgr + bytes - 3);
            for (const Variant& variant : variants()) {
                std::vector<std::uint8_t> gray(static_cast<std::size_t>(width));
                variant.row(bgr, gray.data(), width);
                EXPECT_TRUE(rowMatches(bgr, gray.data(), width))
                    << variant.name << ", width " << width << (bgr == start ? " at the start" : " at the end");
            }
        }
    }
    munmap(mapped, span + 2 * page);
}

TEST(ToGrayscale, VariantsAgreeOnRowsAsLargeAsWholeFrames)
{
    // A whole 3840 x 2160 frame goes to the kernels as one row, and rows that large are
    // written past the caches, a line at a time: here into gray bytes that do not start
    // on a line, with a tail shorter than a line.
    const int width = 3840 * 2160 + 13;
    std::vector<std::uint8_t> bgr(3 * static_cast<std::size_t>(width));
    std::mt19937 random(11);
    for (std::uint8_t& byte : bgr)
        byte = static_cast<std::uint8_t>(random());
    std::vector<std::uint8_t> expected(static_cast<std::size_t>(width));
    kernels::grayRowPortable(bgr.data(), expected.data(), width);
    EXPECT_TRUE(rowMatches(bgr.data(), expected.data(), 100000));
    for (const Variant& variant : variants()) {
        std::vector<std::uint8_t> gray(static_cast<std::size_t>(width) + 6, 0xAB);
        variant.row(bgr.data(), gray.data() + 5, width);
        const auto wrong = std::mismatch(expected.begin(), expected.end(), gray.begin() + 5);
        EXPECT_TRUE(wrong.first == expected.end())
            << variant.name << " at x " << (wrong.first - expected.begin()) << ": " << int(*wrong.second)
            << ", expected " << int(*wrong.first);
        EXPECT_EQ(gray[4], 0xAB) << variant.name << " wrote before the row";
        EXPECT_EQ(gray.back(), 0xAB) << variant.name << " wrote past the row";
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

TEST(CpuVariant, ACeilingHoldsEveryChoiceOfARowDownToItUntilItGoes)
{
    {
        const CpuVariantCeiling ceiling(CpuVariant::portable);
        EXPECT_EQ(kernels::bestGrayRow(), kernels::grayRowPortable);
        EXPECT_EQ(kernels::bestCompareRow(), kernels::compareRowPortable);
        EXPECT_EQ(kernels::bestDetectRow(), kernels::detectRowPortable);
        EXPECT_EQ(kernels::grayRowAvx2(), nullptr);
    }
    {
        const CpuVariantCeiling ceiling(CpuVariant::avx2);
        EXPECT_EQ(kernels::grayRowAvx512(), nullptr);
        EXPECT_EQ(kernels::detectRowAvx512(), nullptr);
        EXPECT_EQ(kernels::bestGrayRow(), kernels::grayRowAvx2() ? kernels::grayRowAvx2() : kernels::grayRowPortable);
    }
    EXPECT_EQ(kernels::bestGrayRow() != kernels::grayRowPortable, cpuRuns(CpuVariant::avx2));
}
