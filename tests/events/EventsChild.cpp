// A program the fault tests start and kill: it records events and clips into a folder
// without end, telling on standard output what it has finished.
//   events_child log DIR          events into DIR/events.sqlite
//   events_child clip DIR         clips of a live test source into DIR
//   events_child full DIR BYTES   both, with files limited to BYTES (a full disk)
//   events_child event DIR        long clips of noise, each an event in DIR/events.sqlite

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <sys/resource.h>

#include "ClipRecorder.h"
#include "EventLog.h"
#include "GstHandles.h"
#include "Packet.h"

using namespace events;
namespace gst = platform::gst;

namespace {

void say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

Event sample(int n)
{
    Event e;
    e.start = now();
    e.end = e.start;
    e.peakCount = n;
    e.movingCycles = 1;
    return e;
}

// One event after another; each ended event is announced once it is in the log. Stops
// at the first change the log cannot write.
int logEvents(const std::string& dir, int count)
{
    std::string error;
    auto log = EventLog::open(dir + "/events.sqlite", error);
    if (!log) {
        say("error " + error);
        return 1;
    }
    std::atomic<bool> failing = false;
    log->setWriterListener([&failing](bool written, const std::string& text) {
        failing = !written;
        say((written ? "written " : "error ") + text);
    });
    for (int n = 1; count < 0 || n <= count; ++n) {
        Event e = sample(n);
        log->addStarted(e);
        e.movingCycles = n;
        e.path.assign(static_cast<std::size_t>(n % 50), PathPoint{float(n % 7) / 7, 0.5f});
        e.end = now();
        e.ended = true;
        log->saveEnded(e);
        while (!log->waitWritten(std::chrono::milliseconds(100)))
            if (failing)
                return 0;
        say("ended " + std::to_string(e.id) + " " + std::to_string(n));
    }
    return 0;
}

// Clips of about half a second of event each (several seconds with a log, each an event
// in it), from a live test source encoded as the capture pipeline encodes a raw camera.
int recordClips(const std::string& dir, const std::string& pattern, EventLog* log = nullptr)
{
    const int every = log ? 250 : 25, last = log ? 200 : 22;
    Event event;
    gst_init(nullptr, nullptr);
    ClipRecorder recorder(std::chrono::milliseconds(300), std::chrono::milliseconds(300),
                          [](const ClipRecorder::Result& r) {
                              say(r.complete ? "complete " + r.path : "error " + r.error);
                          });
    GError* raw = nullptr;
    const gst::Element pipeline = gst::adoptFloating(gst_parse_launch(
        ("videotestsrc is-live=true pattern=" + pattern +
         " ! video/x-raw,format=I420,width=320,height=240,framerate=25/1"
         " ! vp8enc deadline=1 cpu-used=16 keyframe-max-dist=25 ! appsink name=sink").c_str(), &raw));
    if (raw) {
        say(std::string("error ") + raw->message);
        return 1;
    }
    const gst::Element sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    int clip = 0;
    std::shared_ptr<GstCaps> caps;
    for (int frame = 0;; ++frame) {
        const gst::Sample sample(gst_app_sink_pull_sample(GST_APP_SINK(sink.get())));
        if (!sample)
            return 1;
        GstBuffer* buffer = gst_sample_get_buffer(sample.get());
        if (!caps || !gst_caps_is_equal(caps.get(), gst_sample_get_caps(sample.get())))
            caps = platform::sharedCaps(gst_caps_ref(gst_sample_get_caps(sample.get())));
        platform::Packet packet;
        packet.buffer = gst::Buffer(gst_buffer_ref(buffer));
        packet.caps = caps;
        packet.keyFrame = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
        packet.ptsNs = static_cast<std::int64_t>(GST_BUFFER_PTS(buffer));
        packet.stream = 1;
        recorder.pushPacket(packet);
        if (frame % every == 10) {
            std::string path, error;
            clip = recorder.begin(dir + "/clip" + std::to_string(frame), path, error);
            say(clip ? "recording " + path : "error " + error);
            event = Event{};
            event.start = event.end = now();
            event.clip = clip ? path : "";
            if (log)
                log->addStarted(event);
        } else if (frame % every == last && clip) {
            recorder.end(clip);
            event.ended = true;
            event.end = now();
            if (log)
                log->saveEnded(event);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    const std::string mode = argv[1];
    const std::string dir = argv[2];
    if (mode == "log")
        return logEvents(dir, -1);
    if (mode == "clip")
        return recordClips(dir, "ball");
    if (mode == "event") {
        std::string error;
        auto log = EventLog::open(dir + "/events.sqlite", error);
        if (!log) {
            say("error " + error);
            return 1;
        }
        return recordClips(dir, "snow", log.get());
    }
    if (mode == "full" && argc == 4) {
        // A file-size limit stands in for a full disk; writes beyond it fail with EFBIG
        // instead of ending the program.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{std::strtoull(argv[3], nullptr, 10), std::strtoull(argv[3], nullptr, 10)};
        setrlimit(RLIMIT_FSIZE, &limit);
        const int logged = logEvents(dir, 200);
        say("done");
        // Noise does not compress, so the clips soon reach the limit.
        return logged == 0 ? recordClips(dir, "snow") : logged;
    }
    return 2;
}
