#include "Canvas.h"

#include <random>
#include <set>
#include <utility>

#include <gtest/gtest.h>

#include "../support/NaiveLine.h"

using namespace analysis;

namespace {

__extension__ using Wide = __int128;

Bitmap picture(int w, int h, PixelFormat format = PixelFormat::Bgr24)
{
    Bitmap b(w, h, format);
    return b;
}

using Pixels = std::set<std::pair<int, int>>;

Pixels pixelsOf(const Bitmap& b, Colour c)
{
    Pixels found;
    for (int y = 0; y < b.height(); ++y)
        for (int x = 0; x < b.width(); ++x)
            if (b.pixel(x, y) == c)
                found.insert({x, y});
    return found;
}

} // namespace

TEST(Canvas, RectangleLeavesOutRightAndBottomEdges)
{
    Bitmap b = picture(12, 12);
    Canvas c(b);
    c.setPenColour(0xFFFFFF);
    c.setBrushColour(0x0000FF);
    c.rectangle(1, 2, 5, 6); // columns 1..4, rows 2..5
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 12; ++x) {
            const bool inside = x >= 1 && x <= 4 && y >= 2 && y <= 5;
            const bool ring = inside && (x == 1 || x == 4 || y == 2 || y == 5);
            const Colour expected = ring ? 0xFFFFFF : inside ? 0x0000FF : 0x000000;
            EXPECT_EQ(b.pixel(x, y), expected) << x << "," << y;
        }
    EXPECT_EQ(pixelsOf(b, 0x0000FF).size(), 4u);
}

TEST(Canvas, RectangleIsClippedAtTheEdges)
{
    // A marker at (2, 2): corners (-3, -3) and (7, 7).
    Bitmap b = picture(10, 10);
    Canvas c(b);
    c.setPenColour(0xFFFFFF);
    c.setBrushColour(0x00FF00);
    c.rectangle(-3, -3, 7, 7);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x) {
            Colour expected = 0; // untouched black
            if (x <= 5 && y <= 5)
                expected = 0x00FF00;
            else if ((x == 6 && y <= 6) || (y == 6 && x <= 6))
                expected = 0xFFFFFF;
            EXPECT_EQ(b.pixel(x, y), expected) << x << "," << y;
        }
    c.rectangle(20, 20, 30, 30); // wholly outside
    c.rectangle(5, 5, 5, 9);     // empty
}

TEST(Canvas, LineLeavesOutItsEndAndMovesTheCurrentPoint)
{
    Bitmap b = picture(10, 10);
    Canvas c(b);
    c.setPenColour(0xFFFFFF);
    c.moveTo(1, 1);
    c.lineTo(5, 1);
    EXPECT_EQ(pixelsOf(b, 0xFFFFFF), (Pixels{{1, 1}, {2, 1}, {3, 1}, {4, 1}}));
    c.lineTo(5, 3); // from the new current point (5, 1)
    EXPECT_EQ(pixelsOf(b, 0xFFFFFF), (Pixels{{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {5, 2}}));
    c.lineTo(5, 3); // zero length draws nothing
    EXPECT_EQ(pixelsOf(b, 0xFFFFFF).size(), 6u);
}

TEST(Canvas, ClippedLinesKeepExactlyTheVisiblePixelsOfTheFullLine)
{
    std::mt19937 random(7);
    std::uniform_int_distribution<int> coordinate(-60, 90);
    for (int trial = 0; trial < 3000; ++trial) {
        const int x0 = coordinate(random), y0 = coordinate(random), x1 = coordinate(random), y1 = coordinate(random);
        Bitmap b = picture(31, 23);
        Canvas c(b);
        c.setPenColour(0x0000FF);
        c.moveTo(x0, y0);
        c.lineTo(x1, y1);
        ASSERT_EQ(pixelsOf(b, 0x0000FF), naiveLine(x0, y0, x1, y1, 31, 23))
            << "(" << x0 << "," << y0 << ") to (" << x1 << "," << y1 << ")";
    }
}

TEST(Canvas, FarEndPointsDrawOnlyTheVisiblePart)
{
    struct Case {
        int x0, y0, x1, y1;
    } cases[] = {
        {50, 50, -300, 250},
        {50, 50, -2'000'000'000, 1'999'999'999},
        {50, 50, 2'147'483'647, -2'147'483'647 - 1},
        {-2'147'483'647 - 1, 3, 2'147'483'647, 4},
        {50, 50, 7, -2'000'000'000},
    };
    for (const Case& k : cases) {
        Bitmap b = picture(100, 100);
        Canvas c(b);
        c.setPenColour(0x0000FF);
        c.moveTo(k.x0, k.y0);
        c.lineTo(k.x1, k.y1);
        // The same pixels as the exact line formula gives inside the picture.
        const long long dx = (long long)k.x1 - k.x0, dy = (long long)k.y1 - k.y0;
        const long long adx = std::llabs(dx), ady = std::llabs(dy);
        Pixels expected;
        for (const auto& [x, y] : pixelsOf(b, 0x0000FF)) {
            if (adx >= ady) {
                const long long i = dx < 0 ? (long long)k.x0 - x : (long long)x - k.x0;
                const Wide m = (Wide(2) * i * ady + adx) / (2 * Wide(adx));
                EXPECT_EQ(y, k.y0 + (dy < 0 ? -(long long)m : (long long)m));
            } else {
                const long long i = dy < 0 ? (long long)k.y0 - y : (long long)y - k.y0;
                const Wide m = (Wide(2) * i * adx + ady) / (2 * Wide(ady));
                EXPECT_EQ(x, k.x0 + (dx < 0 ? -(long long)m : (long long)m));
            }
        }
        EXPECT_FALSE(pixelsOf(b, 0x0000FF).empty() && k.x0 == 50) << "the line starts inside";
    }
}

TEST(Canvas, ColoursMapToTheNearestTableEntry)
{
    Bitmap b = picture(4, 4, PixelFormat::Bits8);
    b.setColourTable({0x000000, 0x0000FF, 0xFFFFFF});
    Canvas c(b);
    c.setPenColour(0x1010F0);
    c.moveTo(0, 0);
    c.lineTo(4, 0);
    for (int x = 0; x < 4; ++x)
        EXPECT_EQ(b.row(0)[x], 1);
}
