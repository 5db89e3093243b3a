// The analysis kernels against their plain versions, OpenCV and a memory floor, at the
// usual camera sizes, single thread. ToGrayscaleFast runs the best kernel of this
// processor (AVX-512 where it has byte permutations), ToGrayscaleAvx2 the AVX2 one. bench/ratios.py turns the medians into ratios.

#include <cstring>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "CompareFrames.h"
#include "Kernels.h"
#include "VelkoGraph.h"

using namespace analysis;

namespace {

struct Size {
    int width, height;
};
constexpr Size sizes[] = {{320, 240}, {640, 480}, {1920, 1080}, {3840, 2160}};

void forEachSize(benchmark::internal::Benchmark* b)
{
    for (const Size& s : sizes)
        b->Args({s.width, s.height});
    b->Unit(benchmark::kMicrosecond);
}

// A camera-like frame: smooth gradients with noise, so that both the gray ties and the
// compared changes occur at realistic rates.
Bitmap colourFrame(int w, int h, std::uint32_t seed)
{
    Bitmap b(w, h, PixelFormat::Bgr24);
    std::mt19937 random(seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                b.row(y)[3 * x + c] = std::uint8_t((x * (c + 1) + y * (3 - c)) / 8 + random() % 32);
    return b;
}

Bitmap grayOf(const Bitmap& colour)
{
    Bitmap gray;
    ToGrayscale(colour, gray);
    return gray;
}

cv::Mat matOf(const Bitmap& b)
{
    const int type = b.format() == PixelFormat::Bgr24 ? CV_8UC3 : CV_8UC1;
    cv::Mat m(b.height(), b.width(), type);
    for (int y = 0; y < b.height(); ++y)
        std::memcpy(m.ptr(y), b.row(y), m.cols * m.elemSize());
    return m;
}

void pixels(benchmark::State& state)
{
    state.SetItemsProcessed(state.iterations() * state.range(0) * state.range(1));
}

void ToGrayscaleFast(benchmark::State& state)
{
    const Bitmap colour = colourFrame(int(state.range(0)), int(state.range(1)), 1);
    Bitmap gray;
    for (auto _ : state) {
        ToGrayscale(colour, gray);
        benchmark::DoNotOptimize(gray.row(0));
    }
    pixels(state);
}

// One kernel over the whole frame as one row, as ToGrayscale calls it for widths
// divisible by four (all sizes here).
void GrayRows(benchmark::State& state, kernels::GrayRow row)
{
    const Bitmap colour = colourFrame(int(state.range(0)), int(state.range(1)), 1);
    Bitmap gray = grayOf(colour);
    if (!row) {
        state.SkipWithError("not on this processor");
        return;
    }
    for (auto _ : state) {
        row(colour.row(0), gray.row(0), colour.width() * colour.height());
        benchmark::DoNotOptimize(gray.row(0));
    }
    pixels(state);
}

void ToGrayscalePortable(benchmark::State& state) { GrayRows(state, kernels::grayRowPortable); }
void ToGrayscaleAvx2(benchmark::State& state) { GrayRows(state, kernels::grayRowAvx2()); }

void ToGrayscaleReference(benchmark::State& state)
{
    GrayRows(state, [](const std::uint8_t* bgr, std::uint8_t* gray, int width) {
        for (int x = 0; x < width; ++x)
            gray[x] = kernels::grayReference(bgr[3 * x + 2], bgr[3 * x + 1], bgr[3 * x]);
    });
}

void OpenCvCvtColor(benchmark::State& state)
{
    cv::setNumThreads(1);
    const cv::Mat colour = matOf(colourFrame(int(state.range(0)), int(state.range(1)), 1));
    cv::Mat gray;
    for (auto _ : state) {
        cv::cvtColor(colour, gray, cv::COLOR_BGR2GRAY);
        benchmark::DoNotOptimize(gray.data);
    }
    pixels(state);
}

// The memory floor: reading the bytes a kernel must read (the colour frame, or both
// gray frames) and writing those it must write (the gray frame, or the difference picture),
// with no work between. A copy of the input is no floor: it writes more than the kernel.
void StreamFloor(benchmark::State& state, int readPerPixel, int writePerPixel)
{
    const std::size_t pixelCount = std::size_t(state.range(0)) * state.range(1);
    std::vector<std::uint64_t> from((pixelCount * readPerPixel + 7) / 8, 1);
    std::vector<std::uint8_t> to(pixelCount * writePerPixel);
    for (auto _ : state) {
        std::uint64_t a = 0, b = 0, c = 0, d = 0;
        std::size_t i = 0;
        for (; i + 4 <= from.size(); i += 4) {
            a ^= from[i];
            b ^= from[i + 1];
            c ^= from[i + 2];
            d ^= from[i + 3];
        }
        for (; i < from.size(); ++i)
            a ^= from[i];
        std::memset(to.data(), int(a ^ b ^ c ^ d), to.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    pixels(state);
}

void FloorGrayFrame(benchmark::State& state) { StreamFloor(state, 3, 1); }
void FloorCompareFrames(benchmark::State& state) { StreamFloor(state, 2, 3); }

struct FramePair {
    Bitmap earlier, later;
    FramePair(int w, int h) : earlier(grayOf(colourFrame(w, h, 1))), later(grayOf(colourFrame(w, h, 2))) {}
};

void CompareFramesFast(benchmark::State& state)
{
    const FramePair frames(int(state.range(0)), int(state.range(1)));
    Bitmap picture;
    MovementResult result;
    for (auto _ : state) {
        CompareFrames(frames.earlier, frames.later, picture, 20, result);
        benchmark::DoNotOptimize(result);
    }
    pixels(state);
}

void CompareFramesPortable(benchmark::State& state)
{
    const FramePair frames(int(state.range(0)), int(state.range(1)));
    Bitmap picture;
    MovementResult result;
    CompareFrames(frames.earlier, frames.later, picture, 20, result);
    for (auto _ : state) {
        kernels::CompareSums sums;
        for (int y = 0; y < frames.earlier.height(); ++y)
            kernels::compareRowPortable(frames.earlier.row(y), frames.later.row(y), picture.row(y),
                                        frames.earlier.width(), 20, sums);
        benchmark::DoNotOptimize(sums);
    }
    pixels(state);
}

// What one would write with OpenCV for the counts and the weighted centres (no picture).
void OpenCvCountsAndCentres(benchmark::State& state)
{
    cv::setNumThreads(1);
    const FramePair frames(int(state.range(0)), int(state.range(1)));
    const cv::Mat earlier = matOf(frames.earlier), later = matOf(frames.later);
    cv::Mat up, down;
    for (auto _ : state) {
        cv::subtract(later, earlier, up);
        cv::subtract(earlier, later, down);
        cv::threshold(up, up, 20, 0, cv::THRESH_TOZERO);
        cv::threshold(down, down, 20, 0, cv::THRESH_TOZERO);
        const int brightCount = cv::countNonZero(up), darkCount = cv::countNonZero(down);
        const cv::Moments bright = cv::moments(up), dark = cv::moments(down);
        benchmark::DoNotOptimize(brightCount + darkCount);
        benchmark::DoNotOptimize(bright.m10 / bright.m00 + dark.m01 / dark.m00);
    }
    pixels(state);
}

} // namespace

BENCHMARK(ToGrayscaleFast)->Apply(forEachSize);
BENCHMARK(ToGrayscaleAvx2)->Apply(forEachSize);
BENCHMARK(ToGrayscalePortable)->Apply(forEachSize);
BENCHMARK(ToGrayscaleReference)->Apply(forEachSize);
BENCHMARK(OpenCvCvtColor)->Apply(forEachSize);
BENCHMARK(FloorGrayFrame)->Apply(forEachSize);
BENCHMARK(CompareFramesFast)->Apply(forEachSize);
BENCHMARK(CompareFramesPortable)->Apply(forEachSize);
BENCHMARK(OpenCvCountsAndCentres)->Apply(forEachSize);
BENCHMARK(FloorCompareFrames)->Apply(forEachSize);

BENCHMARK_MAIN();
