// What watching for events costs: process CPU time of a live test source (raw, and
// MJPEG as a USB camera sends it) at 25 frames a second alone, and with the pre-event
// buffer filled from every packet (a raw source encoded for it) and a cycle
// summary handed to the event watcher ten times a second; phases interleaved, at
// 640 x 480 and 1920 x 1080. Then how long the GUI thread spends on an event's records:
// the log's two writes, and the whole start and end of an event with its thumbnail.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <gst/gst.h>
#include <sys/resource.h>

#include "CaptureDrivers.h"
#include "CapturePipeline.h"
#include "ClipboardFrame.h"
#include "CoreShare.h"
#include "EventLog.h"
#include "EventWatcher.h"

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void measureWatching(int width, int height, double seconds, const QString& folder, bool mjpeg)
{
    platform::Driver driver;
    driver.name = "Ball";
    driver.description = "videotestsrc pattern=ball is-live=true ! video/x-raw,width=" + std::to_string(width) +
                         ",height=" + std::to_string(height) + ",framerate=25/1" + (mjpeg ? " ! jpegenc" : "");
    std::string error;
    const std::atomic<bool> never = false;
    auto pipeline = platform::CapturePipeline::start(platform::makeSourceElement(driver, error), nullptr, 1,
                                                     std::chrono::seconds(10), never, error);
    if (!pipeline) {
        std::fprintf(stderr, "the test source does not start: %s\n", error.c_str());
        std::exit(1);
    }
    events::EventWatcher watcher;
    QString why;
    if (!watcher.open(folder, why)) {
        std::fprintf(stderr, "%s\n", why.toStdString().c_str());
        std::exit(1);
    }
    std::atomic<bool> watching = false;
    // Stands in for the live source's packet tap: every packet of the clip stream.
    pipeline->setPacketListener([&](const platform::Packet& packet) {
        if (watching)
            watcher.pushPacket(packet);
    });
    QTimer cycles;
    QObject::connect(&cycles, &QTimer::timeout, [&] {
        events::CycleSummary quiet;
        quiet.time = events::now();
        watcher.cycleEvaluated(quiet);
    });

    std::vector<double> alone, with;
    for (int round = 0; round < 2; ++round) {
        watching = false;
        pipeline->setClipsWanted(false);
        cycles.stop();
        alone.push_back(coreShare(seconds / 2));
        watching = true;
        pipeline->setClipsWanted(true);
        cycles.start(100);
        with.push_back(coreShare(seconds / 2));
    }
    watching = false;
    cycles.stop();
    const std::size_t frames = watcher.bufferedFrames();
    std::printf("%d x %d, 25 fps %s: source alone %.1f %% of a core, with the event buffer and watching %.1f %% "
                "(the events add %.1f %%; goal <= %d %%); buffer holds %zu frames, %.1f MB\n",
                width, height, mjpeg ? "MJPEG" : "raw", 100 * median(alone), 100 * median(with), 100 * (median(with) - median(alone)),
                width > 640 ? 40 : 15, frames,
                double(watcher.bufferedBytes()) / 1e6);
    pipeline->setPacketListener({});
}

void measureRecords(const QString& folder)
{
    std::string error;
    auto log = events::EventLog::open(QDir(folder).filePath("bench.sqlite").toStdString(), error);
    std::vector<double> writes;
    for (int i = 0; i < 200; ++i) {
        events::Event e;
        e.start = events::now();
        e.end = e.start;
        e.path.assign(100, events::PathPoint{0.5f, 0.5f});
        QElapsedTimer timer;
        timer.start();
        log->addStarted(e);
        e.ended = true;
        log->saveEnded(e);
        writes.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::vector<double> sorted = writes;
    std::sort(sorted.begin(), sorted.end());
    std::printf("log writes of an event (start and end) on the GUI thread: median %.2f ms, 90th percentile %.2f ms, "
                "longest %.2f ms (goal <= 5 ms)\n",
                median(writes), sorted[sorted.size() * 9 / 10], sorted.back());

    // The whole start and end: log, thumbnail, clip set-up, without a source.
    events::EventWatcher watcher;
    events::EventSettings settings;
    settings.recordClips = false;
    watcher.setSettings(settings);
    QString why;
    watcher.open(folder, why);
    const auto frame = std::make_shared<const analysis::Bitmap>(640, 480, analysis::PixelFormat::Bgr24);
    std::vector<double> starts, ends;
    for (int i = 0; i < 50; ++i) {
        events::CycleSummary moving;
        moving.time = events::now();
        moving.moving = moving.confirmed = true;
        moving.changed = 1000;
        moving.frame = frame;
        QElapsedTimer timer;
        timer.start();
        watcher.cycleEvaluated(moving);
        starts.push_back(double(timer.nsecsElapsed()) / 1e6);
        timer.restart();
        watcher.finish();
        ends.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::printf("an event's start with its 640 x 480 thumbnail: median %.2f ms; its end: median %.2f ms\n",
                median(starts), median(ends));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    gst_init(nullptr, nullptr);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
    QTemporaryDir dir;
    for (const bool mjpeg : {false, true}) {
        measureWatching(640, 480, seconds, dir.path(), mjpeg);
        measureWatching(1920, 1080, seconds, dir.path(), mjpeg);
    }
    measureRecords(dir.path());
    return 0;
}
