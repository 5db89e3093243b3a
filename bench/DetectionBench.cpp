// The cost of the detection stage against CompareFrames and OpenCV's MOG2 at camera
// sizes, single thread. bench/detection_cost.py turns the medians into ratios.

#include <map>
#include <random>
#include <tuple>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/video/background_segm.hpp>

#include "CompareFrames.h"
#include "CpuVariant.h"
#include "Detection.h"
#include "VelkoGraph.h"

using namespace analysis;

namespace {

// Width, height, and the best instruction set the run may use: 0 the processor's, 1 AVX2
// at most (what an AVX2-only machine runs, measured where AVX-512 is at hand too).
void forEachSize(benchmark::internal::Benchmark* b)
{
    for (int ceiling : {0, 1}) {
        if (ceiling == 1 && !cpuRuns(CpuVariant::avx512))
            continue;
        b->Args({640, 480, ceiling});
        b->Args({1920, 1080, ceiling});
    }
    b->Unit(benchmark::kMicrosecond);
}

CpuVariant ceilingOf(const benchmark::State& state)
{
    return state.range(2) == 1 ? CpuVariant::avx2 : CpuVariant::avx512;
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

// The person moved by `step` pixels between the frames (0: a still scene with fresh noise).
struct Frames {
    Bitmap earlierColour, laterColour, earlier, later;
};

// Made once for each kind: the noise costs far more to draw than the stage to run.
const Frames& framesOf(int w, int h, double gain, int step)
{
    static std::map<std::tuple<int, int, double, int>, Frames> made;
    const auto key = std::make_tuple(w, h, gain, step);
    auto found = made.find(key);
    if (found == made.end()) {
        Frames f{colourFrame(w, h, 1, w / 3), colourFrame(w, h, 2, w / 3 + step, gain), {}, {}};
        f.earlier = grayOf(f.earlierColour);
        f.later = grayOf(f.laterColour);
        found = made.emplace(key, std::move(f)).first;
    }
    return found->second;
}

void CompareFramesAlone(benchmark::State& state)
{
    const Frames& f = framesOf(int(state.range(0)), int(state.range(1)), 1.0, int(state.range(0)) / 40);
    Bitmap difference;
    MovementResult result;
    const CpuVariantCeiling ceiling(ceilingOf(state));
    for (auto _ : state) {
        CompareFrames(f.earlier, f.later, difference, 20, result);
        benchmark::DoNotOptimize(result);
    }
}

// `settings` with a mask that watches three quarters of the frame. The cycles go back and
// forth between the two frames, so that every cycle sees the person move (and, with a
// gain, the light change): a scene that holds still would cost the stage less.
void DetectionStage(benchmark::State& state, const DetectionSettings& settings, double gain, int step,
                    CpuVariant best = CpuVariant::avx512)
{
    const int w = int(state.range(0)), h = int(state.range(1));
    const Frames& f = framesOf(w, h, gain, step);
    Bitmap difference;
    MovementResult forth, back;
    CompareFrames(f.earlier, f.later, difference, 20, forth);
    CompareFrames(f.later, f.earlier, difference, 20, back);
    Detection detection;
    detection.setSettings(settings);
    Bitmap mask(w, h, PixelFormat::Bits8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            mask.row(y)[x] = x < w / 4 && y < h / 2 ? 0 : 255;
    detection.setMask(mask);
    for (int i = 0; i < 5; ++i) // the noise learnt, the mask scaled
        detection.evaluate(f.earlier, f.earlier, f.earlierColour, 20, 400, {});
    const CpuVariantCeiling ceiling(best);
    bool forward = true;
    for (auto _ : state) {
        DetectionResult r = forward ? detection.evaluate(f.earlier, f.later, f.laterColour, 20, 400, forth)
                                    : detection.evaluate(f.later, f.earlier, f.earlierColour, 20, 400, back);
        forward = !forward;
        benchmark::DoNotOptimize(r);
    }
    state.counters["state_bytes_per_pixel"] = double(detection.stateBytes()) / (double(w) * h);
}

// Every mechanism on.
void DetectionSteadyLight(benchmark::State& state)
{
    DetectionStage(state, DetectionSettings::robust(), 1.0, int(state.range(0)) / 40, ceilingOf(state));
}

void DetectionLightChange(benchmark::State& state)
{
    DetectionStage(state, DetectionSettings::robust(), 1.3, int(state.range(0)) / 40, ceilingOf(state));
}

// Where the stage's time goes: one mechanism on (the row pass runs with any), in a still
// scene, one where the person moves, and one where the light changes as well.
// Arguments: width, height, mechanism (light, noise, specks, mask, all), scene.
void DetectionMechanism(benchmark::State& state)
{
    DetectionSettings s;
    switch (state.range(2)) {
    case 0: s.light = true; break;
    case 1: s.noise = true; break;
    case 2: s.specks = true; break;
    case 3: s.mask = true; break;
    default: s = DetectionSettings::robust();
    }
    const int step = state.range(3) == 0 ? 0 : int(state.range(0)) / 40;
    DetectionStage(state, s, state.range(3) == 2 ? 1.3 : 1.0, step);
}

void forEachMechanism(benchmark::internal::Benchmark* b)
{
    for (int size : {0, 1})
        for (int mechanism = 0; mechanism < 5; ++mechanism)
            for (int scene = 0; scene < 3; ++scene)
                b->Args({size ? 1920 : 640, size ? 1080 : 480, mechanism, scene});
    b->ArgNames({"w", "h", "mechanism", "scene"});
    b->Unit(benchmark::kMicrosecond);
}

void OpenCvMog2(benchmark::State& state)
{
    const Frames& f = framesOf(int(state.range(0)), int(state.range(1)), 1.0, int(state.range(0)) / 40);
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
BENCHMARK(OpenCvMog2)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
BENCHMARK(DetectionMechanism)->Apply(forEachMechanism);

int main(int argc, char** argv)
{
    cv::setNumThreads(1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
