#include "Detection.h"

#include <cmath>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <future>
#include <fstream>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "DetectionKernels.h"
#include "Mask.h"
#include "SceneKernels.h"
#include "SceneModel.h"
#include "SmallAreas.h"
#include "CpuVariant.h"

using namespace analysis;

namespace {

constexpr int W = 160, H = 120;
constexpr std::uint8_t T = 20;
constexpr std::int64_t minimal = 100;

// A still scene with texture over the whole range of mid-tones, as a camera sees a yard.
Bitmap scene(int w = W, int h = H)
{
    Bitmap b(w, h, PixelFormat::Bits8);
    std::mt19937 random(7);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            b.row(y)[x] = std::uint8_t(40 + (x * 120) / w + (y * 40) / h + random() % 30);
    return b;
}

// Each pixel through level -> gain x level + offset, clipped.
Bitmap lit(const Bitmap& b, double gain, double offset)
{
    Bitmap out = b;
    for (int y = 0; y < b.height(); ++y)
        for (int x = 0; x < b.width(); ++x)
            out.row(y)[x] = std::uint8_t(std::clamp(gain * b.row(y)[x] + offset, 0.0, 255.0));
    return out;
}

// A dark person-sized block at (x, y).
Bitmap withPerson(Bitmap b, int x0, int y0, int w = 16, int h = 36, std::uint8_t level = 15)
{
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x)
            b.row(y)[x] = level;
    return b;
}

Bitmap noisy(const Bitmap& b, double sigma, std::mt19937& random)
{
    std::normal_distribution<double> noise(0, sigma);
    Bitmap out = b;
    for (int y = 0; y < b.height(); ++y)
        for (int x = 0; x < b.width(); ++x)
            out.row(y)[x] = std::uint8_t(std::clamp(b.row(y)[x] + noise(random), 0.0, 255.0));
    return out;
}

Bitmap colourOf(const Bitmap& gray, bool colourful)
{
    Bitmap c(gray.width(), gray.height(), PixelFormat::Bgr24);
    for (int y = 0; y < gray.height(); ++y)
        for (int x = 0; x < gray.width(); ++x) {
            const int v = gray.row(y)[x], tint = colourful ? 20 : 0;
            c.row(y)[3 * x] = std::uint8_t(std::clamp(v - tint, 0, 255));
            c.row(y)[3 * x + 1] = std::uint8_t(v);
            c.row(y)[3 * x + 2] = std::uint8_t(std::clamp(v + tint, 0, 255));
        }
    return c;
}

struct Cycle {
    MovementResult compared;
    DetectionResult detected;
    Bitmap difference;
};

Cycle run(Detection& detection, const Bitmap& earlier, const Bitmap& later, const Bitmap& colour = {})
{
    Cycle c;
    EXPECT_EQ(CompareFrames(earlier, later, c.difference, T, c.compared), 0);
    c.detected = detection.evaluate(earlier, later, colour, T, minimal, c.compared);
    return c;
}

Detection with(void (*set)(DetectionSettings&))
{
    DetectionSettings s;
    set(s);
    Detection d;
    d.setSettings(s);
    return d;
}

std::string temporaryFile(const std::string& name)
{
    return (std::filesystem::temp_directory_path() / ("detection-test-" + name)).string();
}

void writeBytes(const std::string& file, const std::string& bytes)
{
    std::ofstream(file, std::ios::binary) << bytes;
}

} // namespace

TEST(DetectionKernels, FastRowsEqualPlainRow)
{
    const std::pair<const char*, kernels::DetectRow> variants[] = {{"AVX2", kernels::detectRowAvx2()},
                                                                   {"AVX-512", kernels::detectRowAvx512()}};
    for (const auto& [name, fast] : variants) {
        if (!fast)
            continue; // the processor lacks the instructions
        std::mt19937 random(3);
        for (int width : {0, 1, 31, 32, 33, 64, 95, 127, 128, 200, 641}) {
            for (int round = 0; round < 20; ++round) {
                std::vector<std::uint8_t> e(std::size_t(width) + 1), l(e.size()), t(std::size_t(width + 31) / 32);
                for (std::size_t i = 0; i < e.size(); ++i) {
                    e[i] = std::uint8_t(random());
                    l[i] = round % 2 ? std::uint8_t(e[i] + random() % 41 - 20) : std::uint8_t(random());
                }
                // Some rows where one pixel alone changed, somewhere along the row.
                if (round % 5 == 4 && width > 0) {
                    l = e;
                    l[random() % std::uint32_t(width)] ^= 0x80;
                }
                for (auto& v : t)
                    v = std::uint8_t(random() % 60);
                LightModel model;
                model.gain = 0.2 + double(random() % 300) / 100.0;
                model.offset = double(int(random() % 101) - 50);
                Compensation light = Compensation::of(model);
                light.on = round % 3 != 0;
                const std::size_t words = std::size_t(width + 63) / 64;
                std::vector<std::uint64_t> b1(words, ~0ull), d1(b1), b2(b1), d2(b1);
                std::vector<std::uint64_t> s1(std::size_t(width) / 8 + 1, 5), s2(s1);
                const Span span1 = kernels::detectRowPortable(e.data(), l.data(), width, light, t.data(), b1.data(),
                                                              d1.data(), s1.data());
                const Span span2 = fast(e.data(), l.data(), width, light, t.data(), b2.data(), d2.data(), s2.data());
                // The span runs from the first word with a set bit to the last.
                Span changed{int(words), 0};
                for (int i = 0; i < int(words); ++i)
                    if (b1[std::size_t(i)] | d1[std::size_t(i)]) {
                        changed.first = std::min(changed.first, i);
                        changed.last = i + 1;
                    }
                ASSERT_EQ(span1.empty(), changed.empty()) << "width " << width << ", round " << round;
                if (!changed.empty()) {
                    ASSERT_EQ(span1.first, changed.first) << "width " << width << ", round " << round;
                    ASSERT_EQ(span1.last, changed.last) << "width " << width << ", round " << round;
                }
                ASSERT_EQ(span2.empty(), span1.empty()) << name << ", width " << width << ", round " << round;
                if (!span1.empty()) {
                    ASSERT_EQ(span2.first, span1.first) << name << ", width " << width << ", round " << round;
                    ASSERT_EQ(span2.last, span1.last) << name << ", width " << width << ", round " << round;
                }
                if (width % 64) {
                    ASSERT_EQ(b1.back() >> (width % 64), 0u) << name << ": bits past the width, width " << width;
                }
                ASSERT_EQ(b1, b2) << name << ", width " << width << ", round " << round;
                ASSERT_EQ(d1, d2) << name << ", width " << width << ", round " << round;
                ASSERT_EQ(s1, s2) << name << ", width " << width << ", round " << round;
            }
        }
    }
}

TEST(DetectionKernels, CompensationFollowsTheModel)
{
    for (double gain : {0.3, 1.0, 1.5, 2.5, 3.8})
        for (double offset : {-40.0, 0.0, 25.0}) {
            LightModel model;
            model.gain = gain;
            model.offset = offset;
            const Compensation c = Compensation::of(model);
            for (int level = 0; level < 256; level += 5)
                EXPECT_NEAR(c.apply(std::uint8_t(level)), std::clamp(gain * level + offset, 0.0, 255.0), 2.6)
                    << "gain " << gain << " offset " << offset << " level " << level;
        }
}

TEST(Specks, OpeningKeepsWideAreasAndDropsNarrowOnes)
{
    struct Case {
        const char* what;
        int x, y, w, h;
        int size;
        std::int64_t kept;
    } cases[] = {
        {"lone pixel", 10, 10, 1, 1, 2, 0},
        {"2 x 2 speck under 3", 70, 5, 2, 2, 3, 0},
        {"2 x 2 speck under 2", 70, 5, 2, 2, 2, 0},
        {"3 x 3 speck under 3", 70, 5, 3, 3, 3, 0},
        {"4 x 4 blob under 3", 70, 5, 4, 4, 3, 0},
        {"5 x 5 blob under 3", 70, 5, 5, 5, 3, 21},
        {"thin streak", 3, 20, 1, 30, 2, 0},
        {"blob across a word edge", 60, 40, 9, 7, 3, 59},
        {"blob at the bottom-right corner", 191, 57, 9, 7, 5, 59},
        {"size 1 keeps all", 10, 10, 1, 1, 1, 1},
    };
    for (const Case& c : cases) {
        BitPlane plane;
        SpeckWork work;
        plane.resize(200, 64);
        for (int y = c.y; y < c.y + c.h; ++y)
            for (int x = c.x; x < c.x + c.w; ++x)
                plane.row(y)[x / 64] |= std::uint64_t(1) << (x % 64);
        std::vector<RowSpan> rows;
        for (int y = 0; y < 64; ++y)
            rows.push_back({y, {0, plane.words}});
        removeSpecks(plane, rows, c.size, work);
        // Areas lose only their corners, where fewer than 5 of 9 neighbours changed.
        EXPECT_EQ(plane.count(), c.kept) << c.what;
        if (c.kept > 0 && c.w > 2) {
            EXPECT_TRUE(plane.test(c.x + 1, c.y) && plane.test(c.x + c.w - 1, c.y + c.h - 2)) << c.what;
        }
    }
}

namespace {

// The speck removal pixel by pixel: a 3 x 3 majority, then an opening by a size x size square.
std::vector<std::vector<bool>> specksRemovedPlainly(const std::vector<std::vector<bool>>& set, int size)
{
    const int h = int(set.size()), w = int(set[0].size());
    auto at = [&](const std::vector<std::vector<bool>>& p, int x, int y) {
        return x >= 0 && y >= 0 && x < w && y < h && p[std::size_t(y)][std::size_t(x)];
    };
    std::vector<std::vector<bool>> area(set.size(), std::vector<bool>(set[0].size())), kept = area;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int n = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    n += at(set, x + dx, y + dy);
            area[std::size_t(y)][std::size_t(x)] = n >= 5;
        }
    for (int y0 = 0; y0 + size <= h; ++y0)
        for (int x0 = 0; x0 + size <= w; ++x0) {
            bool full = true;
            for (int y = y0; y < y0 + size && full; ++y)
                for (int x = x0; x < x0 + size && full; ++x)
                    full = at(area, x, y);
            for (int y = y0; y < y0 + size && full; ++y)
                for (int x = x0; x < x0 + size; ++x)
                    kept[std::size_t(y)][std::size_t(x)] = true;
        }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            kept[std::size_t(y)][std::size_t(x)] = kept[std::size_t(y)][std::size_t(x)] && at(set, x, y);
    return kept;
}

} // namespace

TEST(Specks, OnlyTheListedSpansCountAndTheResultIsThePlainOne)
{
    // Blobs, streaks and noise in a few bands of rows; the words outside the listed spans
    // hold what earlier cycles left, which must not count.
    std::mt19937 random(11);
    for (int width : {64, 130, 200, 641}) {
        for (int size : {2, 3, 5}) {
            for (int round = 0; round < 4; ++round) {
                const int height = 60;
                auto set = std::vector<std::vector<bool>>(std::size_t(height), std::vector<bool>(std::size_t(width)));
                for (int blob = 0; blob < 5; ++blob) {
                    const int bw = 1 + int(random() % 12), bh = 1 + int(random() % 12);
                    const int x0 = int(random() % std::uint32_t(width)), y0 = int(random() % std::uint32_t(height));
                    for (int y = y0; y < std::min(height, y0 + bh); ++y)
                        for (int x = x0; x < std::min(width, x0 + bw); ++x)
                            set[std::size_t(y)][std::size_t(x)] = random() % 10 != 0;
                    // A row across the blob that did not change, as a camera's line may not.
                    if (y0 + bh / 2 < height)
                        std::fill(set[std::size_t(y0 + bh / 2)].begin() + x0,
                                  set[std::size_t(y0 + bh / 2)].begin() + std::min(width, x0 + bw), false);
                }
                for (int speck = 0; speck < 40; ++speck)
                    set[random() % std::uint32_t(height)][random() % std::uint32_t(width)] = true;

                BitPlane plane;
                plane.resize(width, height);
                for (auto& word : plane.bits)
                    word = std::uint64_t(random()) << 32 | random();
                std::vector<RowSpan> rows;
                for (int y = 0; y < height; ++y) {
                    int first = plane.words, last = 0;
                    for (int x = 0; x < width; ++x)
                        if (set[std::size_t(y)][std::size_t(x)]) {
                            first = std::min(first, x / 64);
                            last = x / 64 + 1;
                        }
                    if (first >= last)
                        continue;
                    // Some spans wider than their bits, as a caller may list them.
                    if (random() % 2)
                        first = std::max(0, first - 1);
                    for (int i = first; i < last; ++i)
                        plane.row(y)[i] = 0;
                    for (int x = 0; x < width; ++x)
                        if (set[std::size_t(y)][std::size_t(x)])
                            plane.row(y)[x / 64] |= std::uint64_t(1) << (x % 64);
                    rows.push_back({y, {first, last}});
                }
                SpeckWork work;
                removeSpecks(plane, rows, size, work);
                const auto expected = specksRemovedPlainly(set, size);
                for (const RowSpan& r : rows)
                    for (int x = 64 * r.span.first; x < std::min(width, 64 * r.span.last); ++x)
                        ASSERT_EQ(plane.test(x, r.y), expected[std::size_t(r.y)][std::size_t(x)])
                            << "width " << width << ", size " << size << ", round " << round << ", pixel " << x
                            << ", " << r.y;
            }
        }
    }
}

TEST(Detection, AllOffIsTheComparisonAlone)
{
    Detection detection;
    const Bitmap a = scene(), b = withPerson(lit(scene(), 1.3, 0), 50, 50);
    const Cycle c = run(detection, a, b);
    EXPECT_EQ(c.detected.brightCount, c.compared.BrightCount);
    EXPECT_EQ(c.detected.darkCount, c.compared.DarkCount);
    EXPECT_TRUE(c.detected.moving);
    EXPECT_TRUE(c.detected.confirmed);
    EXPECT_EQ(c.detected.rejection, Rejection::None);
    Bitmap faded = c.difference;
    detection.fadeDiscounted(faded);
    EXPECT_EQ(faded, c.difference);
}

TEST(LightFit, FollowsTheLightAndMeasuresTheSpreadAroundIt)
{
    // Later = gain x earlier + offset plus even noise of +-spread levels, whose |residual| has
    // its median at spread / 2: spreads either side of the 16 levels the fit first counts in.
    std::mt19937 random(5);
    for (double spread : {6.0, 12.0, 40.0}) {
        const Bitmap earlier = scene(320, 240);
        Bitmap later = lit(earlier, 1.2, 8);
        std::uniform_real_distribution<double> noise(-spread, spread);
        for (int y = 0; y < later.height(); ++y)
            for (int x = 0; x < later.width(); ++x)
                later.row(y)[x] = std::uint8_t(std::clamp(later.row(y)[x] + noise(random), 0.0, 255.0));
        const LightModel model = fitLightModel(earlier, later);
        if (spread < 20) { // wider noise than that tilts the line across a scene of this range
            EXPECT_NEAR(model.gain, 1.2, 0.1) << "spread " << spread;
            EXPECT_NEAR(model.offset, 8, 10) << "spread " << spread;
        }
        EXPECT_NEAR(model.residualScale, 1.4826 * spread / 2, 0.2 * spread) << "spread " << spread;
    }
}

TEST(Detection, LightChangeDoesNotCountButWhatMovesInItDoes)
{
    Detection detection = with([](DetectionSettings& s) { s.light = true; });
    const Bitmap base = scene();
    for (auto [gain, offset] : {std::pair{1.5, 0.0}, {0.6, 0.0}, {1.0, 35.0}, {1.3, -10.0}}) {
        const Cycle lamp = run(detection, base, lit(base, gain, offset));
        EXPECT_GT(lamp.compared.BrightCount + lamp.compared.DarkCount, minimal) << "gain " << gain;
        EXPECT_FALSE(lamp.detected.moving) << "gain " << gain << " counted " << lamp.detected.changed();
        EXPECT_EQ(lamp.detected.rejection, Rejection::LightChange);
        EXPECT_TRUE(lamp.detected.lightChange);

        // A person walks in as the light changes: seen in that very cycle, about whole.
        const Cycle walk = run(detection, base, withPerson(lit(base, gain, offset), 60, 40));
        EXPECT_TRUE(walk.detected.moving) << "gain " << gain;
        EXPECT_GT(walk.detected.changed(), 16 * 36 * 8 / 10) << "gain " << gain;
        EXPECT_LT(walk.detected.changed(), 16 * 36 * 12 / 10) << "gain " << gain;
    }
    // Without a light change the compensation stays out of the way: the comparison's counts.
    const Cycle walk = run(detection, base, withPerson(base, 60, 40));
    EXPECT_FALSE(walk.detected.lightChange);
    EXPECT_EQ(walk.detected.changed(), walk.compared.BrightCount + walk.compared.DarkCount);
}

TEST(Detection, InfraredSwitchIsALightChange)
{
    Detection detection = with([](DetectionSettings& s) { s.light = true; });
    const Bitmap day = scene();
    run(detection, day, day, colourOf(day, true));
    // Infrared: the colour is gone and the gray levels no longer follow one line.
    Bitmap night = lit(day, 0.8, 30);
    std::mt19937 random(5);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            night.row(y)[x] = std::uint8_t(std::clamp(int(night.row(y)[x]) + int(random() % 13) - 6, 0, 255));
    const Cycle gray = run(detection, day, night, colourOf(night, false));
    EXPECT_TRUE(gray.detected.infrared);
    EXPECT_FALSE(gray.detected.moving) << gray.detected.changed();
    EXPECT_EQ(gray.detected.rejection, Rejection::LightChange);
    // Gray stays gray: no switch in the next cycle.
    const Cycle still = run(detection, night, night, colourOf(night, false));
    EXPECT_FALSE(still.detected.infrared);
}

TEST(Detection, NoiseIsLearntPerTileAndMovementStillCounts)
{
    // Alone, without the speck removal to clear the few noisy pixels that pass, the
    // noise needs a higher factor than in the robust detection.
    Detection detection = with([](DetectionSettings& s) {
        s.noise = true;
        s.noiseFactor = 4;
    });
    std::mt19937 random(11);
    // Night: heavy noise in the left two fifths (whole tiles) only.
    const Bitmap base = lit(scene(), 0.5, 0);
    auto night = [&] {
        Bitmap b = base;
        const Bitmap n = noisy(base, 9, random);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < 64; ++x)
                b.row(y)[x] = n.row(y)[x];
        return b;
    };
    Bitmap earlier = night();
    int moving = 0;
    for (int cycle = 0; cycle < 10; ++cycle) {
        const Bitmap later = night();
        const Cycle c = run(detection, earlier, later);
        EXPECT_GT(c.compared.BrightCount + c.compared.DarkCount, minimal);
        moving += cycle >= 3 && c.detected.moving;
        earlier = later;
    }
    EXPECT_EQ(moving, 0);
    EXPECT_GT(detection.noise().level(0, 0), 5.0);
    EXPECT_LT(detection.noise().level(detection.noise().columns() - 1, 0), 1.0);
    // A person in the noisy half is still seen; in the quiet half the user's threshold holds.
    const Cycle walk = run(detection, earlier, withPerson(night(), 20, 40, 24, 40, 110));
    EXPECT_TRUE(walk.detected.moving) << walk.detected.changed();
    const Bitmap quiet = night();
    const Cycle right = run(detection, quiet, withPerson(quiet, 110, 40, 16, 36, 150));
    EXPECT_GE(right.detected.changed(), 16 * 36 - 40);
}

TEST(Detection, SpecksDoNotCountAPersonDoes)
{
    Detection detection = with([](DetectionSettings& s) { s.specks = true; });
    const Bitmap base = scene();
    Bitmap rain = base;
    std::mt19937 random(2);
    for (int drop = 0; drop < 300; ++drop) {
        const int x = int(random() % (W - 2)), y = int(random() % (H - 4));
        for (int k = 0; k < 3; ++k)
            rain.row(y + k)[x + (k == 2)] = 250;
    }
    const Cycle wet = run(detection, base, rain);
    EXPECT_GT(wet.compared.BrightCount, minimal);
    EXPECT_LE(wet.detected.changed(), 20); // where drops happen to pile up
    EXPECT_EQ(wet.detected.rejection, Rejection::Specks);

    const Cycle walk = run(detection, base, withPerson(rain, 60, 40));
    EXPECT_TRUE(walk.detected.moving);
    EXPECT_GE(walk.detected.darkCount, 16 * 36 - 40);
    // The difference picture keeps every changed pixel; the rain fades, the person does not.
    Bitmap faded = walk.difference;
    detection.fadeDiscounted(faded);
    int fadedPixels = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            if (faded.pixel(x, y) != walk.difference.pixel(x, y)) {
                ++fadedPixels;
                EXPECT_FALSE(detection.counted(x, y));
                EXPECT_GT(greenOf(faded.pixel(x, y)), 150);
            }
    EXPECT_GT(fadedPixels, 300);
    EXPECT_EQ(faded.pixel(65, 50), walk.difference.pixel(65, 50));
}

TEST(Detection, MaskedPixelsDoNotCount)
{
    Detection detection = with([](DetectionSettings& s) { s.mask = true; });
    Bitmap mask(W / 2, H / 2, PixelFormat::Bits8); // half the frame's size: scaled up
    for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x)
            mask.row(y)[x] = x < mask.width() / 2 ? 0 : 255;
    detection.setMask(mask);
    const Bitmap base = scene();
    const Cycle leaves = run(detection, base, withPerson(base, 10, 10, 40, 60, 250));
    EXPECT_EQ(leaves.detected.changed(), 0);
    EXPECT_EQ(leaves.detected.rejection, Rejection::Masked);
    const Cycle walk = run(detection, base, withPerson(base, 100, 40));
    EXPECT_EQ(walk.detected.changed(), walk.compared.BrightCount + walk.compared.DarkCount);

    // A frame of another size takes the mask scaled.
    const Bitmap big = scene(2 * W, 2 * H);
    const Cycle bigLeaves = run(detection, big, withPerson(big, 20, 20, 80, 120, 250));
    EXPECT_EQ(bigLeaves.detected.changed(), 0);
    const Cycle bigWalk = run(detection, big, withPerson(big, 200, 80));
    EXPECT_TRUE(bigWalk.detected.moving);
}

TEST(Detection, ConfirmationNeedsKOfTheLastNCycles)
{
    struct Case {
        int needed, window;
        const char* moves;
        const char* confirmed;
    } cases[] = {
        {2, 3, "10100110001", "00100010000"},
        {1, 1, "1011", "1011"},
        {3, 3, "11101111", "00100011"},
        {2, 5, "1000100001", "0000100000"},
    };
    for (const Case& c : cases) {
        Detection detection = with([](DetectionSettings& s) { s.confirm = true; });
        DetectionSettings s = detection.settings();
        s.confirmNeeded = c.needed;
        s.confirmWindow = c.window;
        detection.setSettings(s);
        // A still cycle compares a new picture, as a camera's noise makes it: one level off.
        const Bitmap still = scene(), moved = withPerson(still, 60, 40), stillAgain = withPerson(still, 5, 5, 1, 1, 99);
        std::string got;
        for (const char* m = c.moves; *m; ++m) {
            const Cycle cycle = run(detection, still, *m == '1' ? moved : stillAgain);
            got += cycle.detected.confirmed ? '1' : '0';
            if (cycle.detected.moving && !cycle.detected.confirmed) {
                EXPECT_EQ(cycle.detected.rejection, Rejection::NotConfirmed);
            }
        }
        EXPECT_EQ(got, c.confirmed) << c.needed << " of " << c.window << " on " << c.moves;
    }
}

TEST(Detection, PicturesSentAgainRepeatTheVerdict)
{
    // A camera at two pictures a second, grabbed five times a second: each new picture
    // comes with repeats of itself. The person walking through them is confirmed at the
    // second picture that shows it (against the scene, a camera this slow has them counted
    // at the first), and the repeats keep that verdict.
    for (const bool scene : {false, true}) {
        Detection detection = with([](DetectionSettings& s) { s.light = s.noise = s.specks = s.confirm = true; });
        DetectionSettings settings = detection.settings();
        settings.scene = scene;
        detection.setSettings(settings);
        const Bitmap base = ::scene();
        std::vector<Bitmap> pictures{base};
        for (int step = 0; step < 4; ++step)
            pictures.push_back(withPerson(base, 20 + 6 * step, 40));
        std::string got;
        for (int repeat = 0; repeat < 4; ++repeat)
            run(detection, base, base);
        for (std::size_t i = 1; i < pictures.size(); ++i) {
            const Cycle moved = run(detection, pictures[i - 1], pictures[i]);
            got += moved.detected.confirmed ? '1' : '0';
            for (int repeat = 0; repeat < 4; ++repeat) {
                const Cycle again = run(detection, pictures[i], pictures[i]);
                EXPECT_EQ(again.detected.changed(), moved.detected.changed());
                EXPECT_EQ(again.detected.rejection, moved.detected.rejection);
                got += again.detected.confirmed ? '1' : '0';
            }
        }
        EXPECT_EQ(got, std::string(scene ? "11111" : "00000") + "11111" "11111" "11111") << "scene " << scene;
    }

    // With everything off the repeats are cycles like any other: the plain comparison.
    Detection plain;
    const Cycle again = run(plain, scene(), scene());
    EXPECT_FALSE(again.detected.moving);
    EXPECT_FALSE(again.detected.confirmed);
}

// The scene's tests run each picture against the one before, as the evaluation does.
struct Watch {
    Detection detection;
    Bitmap last;
    explicit Watch(const Bitmap& first) : last(first) { detection.setSettings(DetectionSettings::robust()); }
    DetectionResult next(const Bitmap& picture)
    {
        const Cycle c = run(detection, last, picture);
        last = picture;
        return c.detected;
    }
};

Bitmap shifted(const Bitmap& b, int dx, int dy)
{
    Bitmap out = b;
    for (int y = 0; y < b.height(); ++y)
        for (int x = 0; x < b.width(); ++x)
            out.row(y)[x] = b.row(std::clamp(y + dy, 0, b.height() - 1))[std::clamp(x + dx, 0, b.width() - 1)];
    return out;
}

TEST(SceneDetection, AShakingPictureAShadowAndFlakesCountNothing)
{
    const Bitmap base = scene();
    std::mt19937 random(11);
    // The mount shakes by up to two pixels each way.
    Watch shake(base);
    for (int cycle = 0; cycle < 30; ++cycle) {
        const DetectionResult r = shake.next(shifted(base, int(random() % 5) - 2, int(random() % 5) - 2));
        EXPECT_EQ(r.changed(), 0) << "cycle " << cycle;
    }
    // A soft-edged shadow darkens a region by 40 % and moves across: the region keeps its texture.
    Watch shadow(base);
    for (int cycle = 0; cycle < 15; ++cycle) {
        Bitmap dim = base;
        const double centre = -40 + 12.0 * cycle;
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const double depth = 0.4 * std::clamp((50 - std::abs(x - centre)) / 16, 0.0, 1.0);
                dim.row(y)[x] = std::uint8_t(std::lround(base.row(y)[x] * (1 - depth)));
            }
        EXPECT_FALSE(shadow.next(noisy(dim, 1.5, random)).confirmed) << "cycle " << cycle;
    }
    // Bright flakes close to the lens, somewhere new in every picture; so many that now
    // and then one lands where another was. From a camera that sends each picture four
    // times as well, which makes what moves seem to go further.
    for (const int times : {1, 4}) {
        Watch snow(base);
        for (int cycle = 0; cycle < 80; ++cycle) {
            Bitmap flakes = base;
            for (int flake = 0; flake < 16; ++flake) {
                const int size = 4 + int(random() % 5);
                const int x0 = int(random() % unsigned(W - size)), y0 = int(random() % unsigned(H - size));
                for (int y = y0; y < y0 + size; ++y)
                    for (int x = x0; x < x0 + size; ++x)
                        flakes.row(y)[x] = 250;
            }
            for (int repeat = 0; repeat < times; ++repeat)
                EXPECT_FALSE(snow.next(flakes).confirmed) << "cycle " << cycle << ", each picture " << times << "x";
        }
    }
}

TEST(SceneDetection, AFaintPersonInTheDarkCountsFromTheSecondCycleAndWhileStanding)
{
    // The yard at a quarter of its light with sensor noise; the person only 12 levels
    // darker than the ground, less than the Pixel Variations.
    const Bitmap dark = lit(scene(), 0.25, 0);
    std::mt19937 random(3);
    Watch watch(noisy(dark, 3, random));
    for (int cycle = 0; cycle < 12; ++cycle)
        EXPECT_FALSE(watch.next(noisy(dark, 3, random)).confirmed) << "cycle " << cycle;
    auto person = [&](int x0) {
        Bitmap b = dark;
        for (int y = 40; y < 76; ++y)
            for (int x = x0; x < x0 + 16; ++x)
                b.row(y)[x] = std::uint8_t(std::max(0, b.row(y)[x] - 12));
        return noisy(b, 3, random);
    };
    std::string got;
    for (int step = 0; step < 8; ++step) // walks in slowly, two pixels a cycle
        got += watch.next(person(30 + 2 * step)).confirmed ? '1' : '0';
    for (int step = 0; step < 8; ++step) // and stands
        got += watch.next(person(44)).confirmed ? '1' : '0';
    EXPECT_EQ(got, "0111111111111111");
    EXPECT_LE(watch.detection.stateBytes(), std::size_t(4 * W * H + 4096)) << "a few bytes a pixel, a few per block";
}

// Every instruction set's kernels give the plain ones' scene, cycle by cycle, on pictures
// that take each path: every binning, a shake, a lamp, clipped light, a mask and a walker.
TEST(SceneDetection, EveryInstructionSetCountsAsThePlainKernels)
{
    std::mt19937 random(5);
    for (const auto& [w, h] : {std::pair{320, 240}, std::pair{640, 480}, std::pair{960, 720}, std::pair{1600, 1200}}) {
        const int b = SceneModel::binningFor(w, h);
        std::vector<Bitmap> pictures;
        for (int cycle = 0; cycle < 14; ++cycle) {
            Bitmap p(w, h, PixelFormat::Bits8);
            const double gain = cycle == 9 ? 1.6 : 1.0; // a lamp: part of the scene clips
            const int dx = cycle % 3 == 2 ? 1 : 0, walker = w / 8 + cycle * w / 40;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    double level = 60 + 50 * std::sin((x + dx * b) * 0.07) + 0.2 * y * 240 / h + int(random() % 7);
                    if (x >= walker && x < walker + w / 12 && y > h / 3 && y < 2 * h / 3)
                        level = 30;
                    p.row(y)[x] = std::uint8_t(std::clamp(gain * level, 0.0, 255.0));
                }
            pictures.push_back(std::move(p));
        }
        std::vector<std::uint8_t> watched(std::size_t(w / b) * std::size_t(h / b), 1);
        std::fill_n(watched.begin(), watched.size() / 5, 0);
        SceneModel plain, fast;
        for (std::size_t cycle = 0; cycle < pictures.size(); ++cycle) {
            SceneCounts expected;
            {
                CpuVariantCeiling ceiling(CpuVariant::portable);
                expected = plain.update(pictures[cycle], watched, {});
            }
            const SceneCounts got = fast.update(pictures[cycle], watched, {});
            ASSERT_EQ(std::tie(got.bright, got.dark, got.found, got.specks, got.lightChange),
                      std::tie(expected.bright, expected.dark, expected.found, expected.specks, expected.lightChange))
                << w << " x " << h << ", cycle " << cycle;
            for (int y = 0; y < plain.height(); ++y)
                for (int x = 0; x < plain.width(); ++x)
                    ASSERT_EQ(fast.counted(x, y), plain.counted(x, y)) << w << " x " << h << ", cycle " << cycle;
        }
    }
    // The light's rounding and the binning's division, against the library's; every total
    // a bin can hold.
    const kernels::SceneKernels& k = kernels::bestSceneKernels();
    for (int bin = 3; bin <= 16; ++bin)
        for (int total = 0; total <= 255 * bin * bin; ++total) {
            std::vector<std::uint16_t> sums(static_cast<std::size_t>(bin));
            for (int j = 0, left = total; j < bin; left -= sums[std::size_t(j)], ++j)
                sums[std::size_t(j)] = std::uint16_t(std::min(left, 255 * bin));
            std::uint8_t mean = 0;
            k.binColumns(sums.data(), &mean, 1, bin);
            ASSERT_EQ(mean, (total + bin * bin / 2) / (bin * bin)) << "binning " << bin << ", total " << total;
        }
    for (int round = 0; round < 200; ++round) {
        const float gain = float(random() % 4000) / 1000.0f, offset = float(int(random() % 400) - 200) / 3.0f;
        std::uint8_t e[40], unknown[40];
        float gains[40], offsets[40];
        for (int x = 0; x < 40; ++x) {
            e[x] = std::uint8_t(random());
            gains[x] = gain;
            offsets[x] = offset;
        }
        const std::vector<std::uint8_t> before(e, e + 40);
        k.applyLight(e, gains, offsets, unknown, 40);
        for (int x = 0; x < 40; ++x)
            ASSERT_EQ(e[x], std::clamp(std::lround(gain * float(before[std::size_t(x)]) + offset), 0L, 255L));
    }
    // The binning by four, against the rounded mean of its sixteen pixels, in every set the
    // processor runs (each has its own, with a plain tail).
    constexpr int groups = 40;
    std::vector<std::uint8_t> rows(4 * 4 * groups), quarter(groups);
    for (const CpuVariant variant : {CpuVariant::portable, CpuVariant::avx2, CpuVariant::avx512}) {
        const kernels::SceneKernels* set = kernels::sceneKernels(variant);
        for (int round = 0; round < 300 && set; ++round) {
            for (std::uint8_t& v : rows)
                v = round % 3 == 0 ? std::uint8_t(255 - random() % 4) : std::uint8_t(random());
            const std::uint8_t* r = rows.data();
            set->quarterRows(r, r + 4 * groups, r + 8 * groups, r + 12 * groups, quarter.data(), groups);
            for (int x = 0; x < groups; ++x) {
                int total = 0;
                for (int row = 0; row < 4; ++row)
                    for (int j = 0; j < 4; ++j)
                        total += rows[std::size_t(4 * groups * row + 4 * x + j)];
                ASSERT_EQ(quarter[std::size_t(x)], (total + 8) / 16) << "round " << round << ", x " << x;
            }
        }
    }
    // Each block's light and noise sums, in every set: over whole vectors, the plain tail and
    // a last block cut short, with clipped levels and a mask.
    std::vector<std::uint16_t> boxed(2 * 2 * 203);
    std::vector<std::int32_t> lightSums(8 * 26), noiseSums(4 * 26);
    std::vector<std::uint8_t> strip(3 * 8 * 203);
    for (const CpuVariant variant : {CpuVariant::portable, CpuVariant::avx2, CpuVariant::avx512}) {
        const kernels::SceneKernels* set = kernels::sceneKernels(variant);
        for (int n = 150; n <= 203 && set; ++n) {
            for (std::uint16_t& v : boxed)
                v = std::uint16_t(random() % (9 * 255 + 1));
            for (std::uint8_t& v : strip)
                v = random() % 5 == 0 ? std::uint8_t(random() % 2 ? 255 - random() % 8 : random() % 8) : std::uint8_t(random());
            const int stripRows = 1 + n % 8, noiseRows = 1 + n % 2;
            const std::ptrdiff_t watchedStride = n % 3 ? n : 0;
            const std::uint8_t *p = strip.data(), *e = p + 8 * n, *watched = e + 8 * n;
            const std::uint16_t *sums = boxed.data(), *expected = sums + 2 * n;
            set->lightSums(p, e, watched, n, watchedStride, stripRows, n, lightSums.data());
            set->noiseSums(sums, expected, e, watched, n, watchedStride, noiseRows, n, noiseSums.data());
            for (int block = 0; 8 * block < n; ++block) {
                std::int32_t light[8] = {}, noise[4] = {};
                for (int r = 0; r < stripRows; ++r)
                    for (int x = 8 * block; x < std::min(n, 8 * block + 8); ++x) {
                        if (!watched[r * watchedStride + x])
                            continue;
                        const int pv = p[r * n + x], ev = e[r * n + x];
                        if (r % 2 == 0 && pv > 5 && pv < 250 && ev > 5 && ev < 250)
                            for (const auto& [term, v] : {std::pair{0, 1}, {1, pv}, {2, ev}, {3, pv * pv}, {4, ev * ev}, {5, pv * ev}})
                                light[term] += v;
                        if (r < noiseRows)
                            for (const auto& [term, v] : {std::pair{0, std::abs(sums[r * n + x] - expected[r * n + x])}, {1, ev}, {2, 1}})
                                noise[term] += v;
                    }
                ASSERT_TRUE(std::equal(light, light + 8, lightSums.begin() + 8 * block)) << "width " << n << ", block " << block;
                ASSERT_TRUE(std::equal(noise, noise + 4, noiseSums.begin() + 4 * block)) << "width " << n << ", block " << block;
            }
        }
    }
    // The scene's learning in 16-bit lanes, in every set, against the same step in 32 bits:
    // every scene level, every picture level, each rate (the slow one where the pixel is
    // held); then which pixels are held, over whole vectors and a row's end.
    std::vector<std::uint16_t> learnt(256), before(256);
    std::vector<std::uint8_t> levels(256), none(256, 0), held(256, 1), pictures(256), ages(256), moved(256);
    std::iota(levels.begin(), levels.end(), 0);
    auto step = [](int s, int p, int rate) { return std::uint16_t(s + ((p * 256 - s + (1 << (rate - 1))) >> rate)); };
    for (const CpuVariant variant : {CpuVariant::portable, CpuVariant::avx2, CpuVariant::avx512}) {
        const kernels::SceneKernels* set = kernels::sceneKernels(variant);
        for (const int rate : {2, 4, 9})
            for (int s = 0; s < 65536 && set; ++s) {
                std::fill(learnt.begin(), learnt.end(), std::uint16_t(s));
                set->learnRow(learnt.data(), levels.data(), rate == 9 ? held.data() : none.data(), none.data(), 256,
                              255, rate == 9 ? 4 : rate, 9);
                for (int p = 0; p < 256; ++p)
                    ASSERT_EQ(learnt[std::size_t(p)], step(s, p, rate))
                        << "rate " << rate << ", scene " << s << ", picture " << p;
            }
        for (const int absorbed : {0, 1, 200, 255, 256})
            for (int round = 0; round < 20 && set; ++round) {
                for (std::size_t x = 0; x < 256; ++x) {
                    before[x] = learnt[x] = std::uint16_t(random());
                    pictures[x] = std::uint8_t(random());
                    ages[x] = random() % 2 ? 0 : std::uint8_t(random() % 3 ? random() : 254 + random() % 2);
                    moved[x] = std::uint8_t(random() % 3 == 0);
                }
                const std::size_t n = round % 2 ? 250 : 10 + std::size_t(round); // short rows too
                set->learnRow(learnt.data(), pictures.data(), ages.data(), moved.data(), int(n), absorbed, 4, 9);
                for (std::size_t x = 0; x < 256; ++x) {
                    const bool slow = (ages[x] > 0 || moved[x]) && ages[x] < absorbed;
                    ASSERT_EQ(learnt[x], x < n ? step(before[x], pictures[x], slow ? 9 : 4) : before[x])
                        << "absorbed " << absorbed << ", x " << x;
                }
            }
    }
    // Marking along rows laid end to end: a row's ends see only their own row's range.
    const int width = 5, count = 3 * width;
    std::vector<std::uint16_t> sums(count), low(count + 2), high(count + 2);
    std::vector<std::int16_t> limit(count, 10);
    std::vector<std::uint8_t> watched(count, 1), state(count);
    for (int round = 0; round < 500; ++round) {
        for (int x = 0; x < count; ++x) {
            sums[std::size_t(x)] = std::uint16_t(random() % 200);
            low[std::size_t(x) + 1] = std::uint16_t(random() % 200);
            high[std::size_t(x) + 1] = std::uint16_t(low[std::size_t(x) + 1] + random() % 40);
        }
        low.front() = low.back() = 0;
        high.front() = high.back() = 400;
        const int found = k.markRange(sums.data(), low.data() + 1, high.data() + 1, limit.data(), watched.data(),
                                      none.data(), state.data(), count, width);
        int expected = 0;
        for (int x = 0; x < count; ++x) {
            const int from = x / width * width, to = from + width - 1;
            int lo = 1000, hi = 0;
            for (int j = std::max(from, x - 1); j <= std::min(to, x + 1); ++j) {
                lo = std::min(lo, int(low[std::size_t(j) + 1]));
                hi = std::max(hi, int(high[std::size_t(j) + 1]));
            }
            const int s = sums[std::size_t(x)], want = s > hi + 10 ? 1 : s < lo - 10 ? 2 : 0;
            ASSERT_EQ(state[std::size_t(x)], want) << "round " << round << ", x " << x;
            expected += want != 0;
        }
        ASSERT_EQ(found, expected);
    }
}

TEST(Mask, RoundTripsThroughAPgmFile)
{
    const std::string file = temporaryFile("round.pgm");
    Bitmap mask(37, 21, PixelFormat::Bits8);
    for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x)
            mask.row(y)[x] = (x * y) % 3 ? 255 : 0;
    writeMaskPgm(mask, file);
    EXPECT_EQ(readMaskPgm(file), mask);

    // Written by another program: comments, gray levels, a maximum below 255.
    writeBytes(file, std::string("P5\n# made elsewhere\n3 1\n# levels\n100\n") + char(0) + char(49) + char(50));
    const Bitmap other = readMaskPgm(file);
    EXPECT_EQ(other.pixel(0, 0), 0u);
    EXPECT_EQ(other.pixel(1, 0), 0u);
    EXPECT_EQ(other.pixel(2, 0), 0xFFFFFFu);
    std::remove(file.c_str());
}

TEST(Mask, BadFilesAreRefusedAndTheOldMaskKept)
{
    const std::string file = temporaryFile("bad.pgm");
    const std::string pixels6(6, '\xff');
    struct Case {
        const char* what;
        std::string bytes;
        const char* message;
    } cases[] = {
        {"not PGM", "P6\n3 2\n255\n" + pixels6 + pixels6 + pixels6, "not a binary PGM"},
        {"text", "hello, world", "not a binary PGM"},
        {"empty", "", "not a binary PGM"},
        {"16-bit", "P5\n3 2\n65535\n" + pixels6 + pixels6, "16-bit"},
        {"truncated pixels", "P5\n3 2\n255\n" + pixels6.substr(0, 4), "truncated"},
        {"truncated header", "P5\n3 2", "truncated"},
        {"more pixels than its size", "P5\n3 2\n255\n" + pixels6 + "xx", "holds 2 bytes more"},
        {"one pixel more than its size", "P5\n3 2\n255\n" + pixels6 + "x", "holds 1 byte more than"},
        {"zero size", "P5\n0 2\n255\n", "size"},
        {"wrong shape for the frame", "P5\n20 20\n255\n" + std::string(400, '\xff'), "shape of the frame"},
    };
    Detection detection = with([](DetectionSettings& s) { s.mask = true; });
    const Bitmap base = scene();
    run(detection, base, base); // the frame's shape is known from now on
    Bitmap old(W, H, PixelFormat::Bits8);
    old.row(3)[4] = 255;
    detection.setMask(old);
    for (const Case& c : cases) {
        writeBytes(file, c.bytes);
        try {
            detection.loadMask(file);
            ADD_FAILURE() << c.what << " was taken";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.what << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << c.what << ": " << e.what();
        }
        EXPECT_EQ(detection.mask(), old) << c.what;
    }
    std::remove(file.c_str());
    EXPECT_THROW(detection.loadMask(file), std::runtime_error); // missing
    EXPECT_THROW(writeMaskPgm(old, "/nonexistent-folder/mask.pgm"), std::runtime_error);
}

TEST(Mask, OnlyARegularFileOfAMasksSizeIsRead)
{
    // Windows line ends in the header are taken as the one white-space byte they stand for.
    const std::string file = temporaryFile("crlf.pgm");
    writeBytes(file, std::string("P5\r\n2 1\r\n255\r\n") + char(0) + char(255));
    const Bitmap crlf = readMaskPgm(file);
    EXPECT_EQ(crlf.width(), 2);
    EXPECT_EQ(crlf.pixel(0, 0), 0u);
    EXPECT_EQ(crlf.pixel(1, 0), 0xFFFFFFu);

    // Larger than any mask: refused by its size, before it is read (sparse, so it takes no disk).
    const std::string huge = temporaryFile("huge.pgm");
    writeBytes(huge, "P5\n40000 40000\n255\n");
    std::filesystem::resize_file(huge, std::uintmax_t(2) << 30);

    const std::string fifo = temporaryFile("mask.fifo");
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, const char*> cases[] = {
        {fifo, "it is a FIFO, not a regular file"}, // nobody writes to it: opening must not wait
        {"/dev/zero", "it is a device, not a regular file"}, // never ends
        {huge, "more than the"},
        {std::filesystem::temp_directory_path().string(), "it is a folder"},
    };
    for (const auto& [name, message] : cases) {
        auto reading = std::async(std::launch::async, [name = name] {
            try {
                readMaskPgm(name);
                return std::string("taken");
            } catch (const std::runtime_error& e) {
                return std::string(e.what());
            }
        });
        if (reading.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK); // lets a blocked open go on
            ADD_FAILURE() << name << " is still being read";
            reading.wait();
            close(writer);
            continue;
        }
        const std::string said = reading.get();
        EXPECT_NE(said.find(message), std::string::npos) << name << ": " << said;
        EXPECT_NE(said.find("Cannot use " + name + " as a mask"), std::string::npos) << said;
    }
    std::remove(fifo.c_str());
    std::remove(huge.c_str());
    std::remove(file.c_str());
}
