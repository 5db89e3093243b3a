// The analysis kernels against their plain versions, OpenCV and a memory floor, at the
// usual camera sizes, single thread. bench/ratios.py turns the medians into ratios.

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

void GrayRows(benchmark::State& state, kernels::GrayRow row)
{
    const Bitmap colour = colourFrame(int(state.range(0)), int(state.range(1)), 1);
    Bitmap gray = grayOf(colour);
    for (auto _ : state) {
        for (int y = 0; y < colour.height(); ++y)
            row(colour.row(y), gray.row(y), colour.width());
        benchmark::DoNotOptimize(gray.row(0));
    }
    pixels(state);
}

void ToGrayscalePortable(benchmark::State& state) { GrayRows(state, kernels::grayRowPortable); }

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

// The memory floor: a copy of the bytes the kernel reads (the colour frame, or both gray frames).
void Memcpy(benchmark::State& state, int bytesPerPixel)
{
    const std::size_t bytes = std::size_t(state.range(0)) * state.range(1) * bytesPerPixel;
    std::vector<std::uint8_t> from(bytes, 1), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    pixels(state);
}

void MemcpyGrayFrame(benchmark::State& state) { Memcpy(state, 3); }
void MemcpyCompareFrames(benchmark::State& state) { Memcpy(state, 2); }

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
BENCHMARK(ToGrayscalePortable)->Apply(forEachSize);
BENCHMARK(ToGrayscaleReference)->Apply(forEachSize);
BENCHMARK(OpenCvCvtColor)->Apply(forEachSize);
BENCHMARK(MemcpyGrayFrame)->Apply(forEachSize);
BENCHMARK(CompareFramesFast)->Apply(forEachSize);
BENCHMARK(CompareFramesPortable)->Apply(forEachSize);
BENCHMARK(OpenCvCountsAndCentres)->Apply(forEachSize);
BENCHMARK(MemcpyCompareFrames)->Apply(forEachSize);

BENCHMARK_MAIN();
