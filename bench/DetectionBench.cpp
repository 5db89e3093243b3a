// The cost of the detection stage against CompareFrames and OpenCV's MOG2 at camera
// sizes, single thread. bench/detection_cost.py turns the medians into ratios.

#include <random>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/video/background_segm.hpp>

#include "CompareFrames.h"
#include "Detection.h"
#include "VelkoGraph.h"

using namespace analysis;

namespace {

void forEachSize(benchmark::internal::Benchmark* b)
{
    b->Args({640, 480});
    b->Args({1920, 1080});
    b->Unit(benchmark::kMicrosecond);
}

// A camera-like colour frame: smooth gradients, sensor noise, and a person-sized dark
// block at `personX`; `gain` scales the whole scene as a lamp would.
Bitmap colourFrame(int w, int h, std::uint32_t seed, int personX, double gain = 1.0)
{
    Bitmap b(w, h, PixelFormat::Bgr24);
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0, 2.0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool person = x >= personX && x < personX + w / 20 && y >= h / 3 && y < h / 3 + h / 4;
            for (int c = 0; c < 3; ++c) {
                const double level = person ? 30 : 40 + (x * (c + 1) + y * (3 - c)) * 120.0 / (w + h) + (x * 7 % 13);
                b.row(y)[3 * x + c] = std::uint8_t(std::clamp(gain * level + noise(random), 0.0, 255.0));
            }
        }
    return b;
}

Bitmap grayOf(const Bitmap& colour)
{
    Bitmap gray;
    ToGrayscale(colour, gray);
    return gray;
}

struct Frames {
    Bitmap earlierColour, laterColour, earlier, later;
    Frames(int w, int h, double gain)
        : earlierColour(colourFrame(w, h, 1, w / 3)), laterColour(colourFrame(w, h, 2, w / 3 + w / 40, gain)),
          earlier(grayOf(earlierColour)), later(grayOf(laterColour))
    {
    }
};

void CompareFramesAlone(benchmark::State& state)
{
    const Frames f(int(state.range(0)), int(state.range(1)), 1.0);
    Bitmap difference;
    MovementResult result;
    for (auto _ : state) {
        CompareFrames(f.earlier, f.later, difference, 20, result);
        benchmark::DoNotOptimize(result);
    }
}

// Every mechanism on, a mask that watches three quarters of the frame.
void DetectionStage(benchmark::State& state, double gain)
{
    const int w = int(state.range(0)), h = int(state.range(1));
    const Frames f(w, h, gain);
    Bitmap difference;
    MovementResult compared;
    CompareFrames(f.earlier, f.later, difference, 20, compared);
    Detection detection;
    detection.setSettings(DetectionSettings::robust());
    Bitmap mask(w, h, PixelFormat::Bits8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            mask.row(y)[x] = x < w / 4 && y < h / 2 ? 0 : 255;
    detection.setMask(mask);
    for (int i = 0; i < 5; ++i) // the noise learnt, the mask scaled
        detection.evaluate(f.earlier, f.earlier, f.earlierColour, 20, 400, {});
    for (auto _ : state) {
        DetectionResult r = detection.evaluate(f.earlier, f.later, f.laterColour, 20, 400, compared);
        benchmark::DoNotOptimize(r);
    }
    state.counters["state_bytes_per_pixel"] = double(detection.stateBytes()) / (double(w) * h);
}

void DetectionSteadyLight(benchmark::State& state)
{
    DetectionStage(state, 1.0);
}

void DetectionLightChange(benchmark::State& state)
{
    DetectionStage(state, 1.3);
}

void OpenCvMog2(benchmark::State& state)
{
    const Frames f(int(state.range(0)), int(state.range(1)), 1.0);
    auto matOf = [](const Bitmap& b) {
        cv::Mat m(b.height(), b.width(), CV_8UC3);
        for (int y = 0; y < b.height(); ++y)
            std::copy(b.row(y), b.row(y) + 3 * b.width(), m.ptr<std::uint8_t>(y));
        return m;
    };
    const cv::Mat a = matOf(f.earlierColour), b = matOf(f.laterColour);
    cv::Ptr<cv::BackgroundSubtractor> mog2 = cv::createBackgroundSubtractorMOG2();
    cv::Mat foreground;
    bool odd = false;
    for (auto _ : state) {
        mog2->apply(odd ? a : b, foreground);
        odd = !odd;
        benchmark::DoNotOptimize(foreground.data);
    }
}

} // namespace

BENCHMARK(CompareFramesAlone)->Apply(forEachSize);
BENCHMARK(DetectionSteadyLight)->Apply(forEachSize);
BENCHMARK(DetectionLightChange)->Apply(forEachSize);
BENCHMARK(OpenCvMog2)->Apply(forEachSize);

int main(int argc, char** argv)
{
    cv::setNumThreads(1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
