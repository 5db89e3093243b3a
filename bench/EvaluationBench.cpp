// One evaluation cycle against its two kernels, and each of its steps on its own, at
// 640 x 480 and 1920 x 1080. The camera is left out: the frame is already on the
// clipboard, as a grab leaves it, and alternates between two pictures so that every
// cycle finds movement. The windows are on screen, so that repaints really paint, and the
// times count the CPU of the whole process, as the painting may use threads of its own.

#include <cstdlib>
#include <memory>
#include <random>

#include <QApplication>
#include <QLabel>
#include <QWindow>
#include <benchmark/benchmark.h>

#include "ClipboardFrame.h"
#include "CompareFrames.h"
#include "FrameClipboard.h"
#include "ImageFormUnit.h"
#include "MainVideo.h"
#include "PictureView.h"
#include "FramePool.h"
#include "VelkoGraph.h"

using namespace app;

namespace {

QImage cameraLikeFrame(int w, int h, std::uint32_t seed)
{
    QImage image(w, h, QImage::Format_BGR888);
    std::mt19937 random(seed);
    for (int y = 0; y < h; ++y) {
        uchar* line = image.scanLine(y);
        for (int i = 0; i < 3 * w; ++i)
            line[i] = static_cast<uchar>((i / 3 + y) / 8 + random() % 40);
    }
    return image;
}

struct Frames {
    // As a grab leaves them: in the memory the capture service copied them into.
    platform::FramePool pictures;
    analysis::Frame frames[2];
    analysis::Bitmap colour[2], gray[2];
    Frames(int w, int h)
    {
        for (int i = 0; i < 2; ++i) {
            const QImage camera = cameraLikeFrame(w, h, std::uint32_t(i + 1));
            frames[i] = {pictures.copy(camera.constBits(), w, h, camera.bytesPerLine()), 1, std::uint64_t(i + 1), 0};
            colour[i] = *frames[i].pixels;
            analysis::ToGrayscale(colour[i], gray[i]);
        }
    }
};

// Lets a shown window come on screen, so that a repaint really paints.
void exposed(QWidget& window)
{
    for (int i = 0; i < 100 && !(window.windowHandle() && window.windowHandle()->isExposed()); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::processEvents();
}

void sizes(benchmark::internal::Benchmark* b)
{
    b->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();
}

void WholeCycle(benchmark::State& state)
{
    const Frames frames(int(state.range(0)), int(state.range(1)));
    TVideo video;
    exposed(*video.ImageForm);
    int i = 0;
    for (auto _ : state) {
        state.PauseTiming();
        platform::frameClipboard().setFrame(frames.frames[++i % 2]);
        state.ResumeTiming();
        video.EvaluateMovement();
    }
}

void BothKernels(benchmark::State& state)
{
    const Frames frames(int(state.range(0)), int(state.range(1)));
    analysis::Bitmap gray, picture;
    analysis::MovementResult result;
    int i = 0;
    for (auto _ : state) {
        ++i;
        analysis::ToGrayscale(frames.colour[i % 2], gray);
        analysis::CompareFrames(frames.gray[(i + 1) % 2], gray, picture, 20, result);
        benchmark::DoNotOptimize(result);
    }
}

void StepClipboardIntake(benchmark::State& state)
{
    const Frames frames(int(state.range(0)), int(state.range(1)));
    platform::frameClipboard().setFrame(frames.frames[0]);
    for (auto _ : state) {
        // A grabbed frame is taken where it lies, as the cycle takes it.
        analysis::Frame frame = platform::frameClipboard().frame();
        benchmark::DoNotOptimize(frame);
    }
}

void StepGray(benchmark::State& state)
{
    const Frames frames(int(state.range(0)), int(state.range(1)));
    analysis::Bitmap gray;
    for (auto _ : state)
        analysis::ToGrayscale(frames.colour[0], gray);
}

void StepCompare(benchmark::State& state)
{
    const Frames frames(int(state.range(0)), int(state.range(1)));
    analysis::Bitmap picture;
    analysis::MovementResult result;
    for (auto _ : state)
        analysis::CompareFrames(frames.gray[0], frames.gray[1], picture, 20, result);
}

void StepDisplay(benchmark::State& state)
{
    const Frames frames(int(state.range(0)), int(state.range(1)));
    auto picture = std::make_shared<analysis::Bitmap>();
    analysis::MovementResult result;
    analysis::CompareFrames(frames.gray[0], frames.gray[1], *picture, 20, result);
    TImageForm form(nullptr);
    form.show();
    exposed(form);
    for (auto _ : state) {
        form.setPicture(platform::sharedImage(picture));
        form.Image->repaint();
    }
}

} // namespace

BENCHMARK(WholeCycle)->Apply(sizes);
BENCHMARK(BothKernels)->Apply(sizes);
BENCHMARK(StepClipboardIntake)->Apply(sizes);
BENCHMARK(StepGray)->Apply(sizes);
BENCHMARK(StepCompare)->Apply(sizes);
BENCHMARK(StepDisplay)->Apply(sizes);

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
