// How long after a person steps into a network camera's picture the MQTT event message
// arrives: an RTSP camera inside this program (H.264 or MJPEG, 25 pictures a second, 320 x 240)
// shows a still scene, then a bright figure at a moment it notes, and a subscriber notes
// when the headless program's event start reaches the broker. Median of N events.
//
//     network_latency VIDEO_PROGRAM [EVENTS] [PERIOD_MS] [h264|mjpeg]

// GLib's D-Bus headers name a field "signals", which Qt's headers make a keyword.
#include <gst/app/gstappsrc.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "../tests/support/MqttBroker.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int width = 320, height = 240, rate = 25;

// The camera's picture: a still gray scene, with a bright upright figure while `person` is set.
struct Scene {
    std::mutex mutex;
    GstElement* feed = nullptr; // the appsrc of the camera's running stream
    std::atomic<bool> person{false};
    Clock::time_point entered{};
    std::atomic<bool> stop{false};

    void run()
    {
        auto next = Clock::now();
        while (!stop) {
            next += std::chrono::milliseconds(1000 / rate);
            std::this_thread::sleep_until(next);
            const bool shown = person;
            GstBuffer* buffer = gst_buffer_new_allocate(nullptr, width * height * 3 / 2, nullptr);
            GstMapInfo map;
            gst_buffer_map(buffer, &map, GST_MAP_WRITE);
            std::fill(map.data, map.data + width * height, 90);
            std::fill(map.data + width * height, map.data + map.size, 128);
            if (shown)
                for (int y = 60; y < 200; ++y)
                    std::fill(map.data + y * width + 130, map.data + y * width + 190, 235);
            gst_buffer_unmap(buffer, &map);
            std::lock_guard lock(mutex);
            if (!feed) {
                gst_buffer_unref(buffer);
                continue;
            }
            if (shown && entered == Clock::time_point{})
                entered = Clock::now();
            gst_app_src_push_buffer(GST_APP_SRC(feed), buffer);
        }
    }
};

void onMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer data)
{
    auto* scene = static_cast<Scene*>(data);
    GstElement* element = gst_rtsp_media_get_element(media);
    std::lock_guard lock(scene->mutex);
    if (scene->feed)
        gst_object_unref(scene->feed);
    scene->feed = gst_bin_get_by_name_recurse_up(GST_BIN(element), "feed");
    gst_object_unref(element);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s VIDEO_PROGRAM [EVENTS] [PERIOD_MS] [h264|mjpeg]\n", argv[0]);
        return 2;
    }
    const int events = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    const int period = argc > 3 ? std::max(1, std::atoi(argv[3])) : 100;
    const bool jpeg = argc > 4 && std::string(argv[4]) == "mjpeg";
    gst_init(&argc, &argv);

    Scene scene;
    GstRTSPServer* server = gst_rtsp_server_new();
    gst_rtsp_server_set_address(server, "127.0.0.1");
    gst_rtsp_server_set_service(server, "0");
    GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(
        factory, ("( appsrc name=feed is-live=true do-timestamp=true format=time caps=video/x-raw,format=I420,width=" +
                  std::to_string(width) + ",height=" + std::to_string(height) + ",framerate=" + std::to_string(rate) +
                  "/1 ! " + (jpeg ? std::string("jpegenc ! rtpjpegpay name=pay0 pt=26 )")
                        // Without its rate control, which starves a still scene's pictures.
                        : "openh264enc rate-control=off gop-size=" + std::to_string(rate) +
                              " ! rtph264pay name=pay0 pt=96 config-interval=1 )"))
                     .c_str());
    gst_rtsp_media_factory_set_shared(factory, TRUE);
    g_signal_connect(factory, "media-configure", G_CALLBACK(onMediaConfigure), &scene);
    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server);
    gst_rtsp_mount_points_add_factory(mounts, "/cam", factory);
    g_object_unref(mounts);
    GMainContext* context = g_main_context_new();
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    GSource* source = gst_rtsp_server_create_source(server, nullptr, nullptr);
    g_source_attach(source, context);
    const int rtspPort = gst_rtsp_server_get_bound_port(server);
    std::thread serving([&] {
        g_main_context_push_thread_default(context);
        g_main_loop_run(loop);
        g_main_context_pop_thread_default(context);
    });
    std::thread camera([&] { scene.run(); });

    MqttBroker broker;
    if (!broker.start()) {
        std::fprintf(stderr, "mosquitto does not start\n");
        return 1;
    }
    // The event messages as they arrive: start or end, and when.
    struct Arrivals {
        std::mutex mutex;
        std::vector<std::pair<std::string, Clock::time_point>> list;
    } arrived;
    auto& arrivalsMutex = arrived.mutex;
    auto& arrivals = arrived.list;
    mosquitto_lib_init();
    mosquitto* subscriber = mosquitto_new("latency", true, &arrived);
    mosquitto_connect_callback_set(subscriber,
                                   [](mosquitto* m, void*, int) { mosquitto_subscribe(m, nullptr, "video/+/event", 0); });
    mosquitto_message_callback_set(subscriber, [](mosquitto*, void* self, const mosquitto_message* m) {
        const auto now = Clock::now();
        const std::string payload(static_cast<const char*>(m->payload), std::size_t(m->payloadlen));
        auto* to = static_cast<Arrivals*>(self);
        std::lock_guard lock(to->mutex);
        to->list.push_back({payload.find("\"event\":\"start\"") != std::string::npos ? "start" : "end", now});
    });
    mosquitto_connect(subscriber, "127.0.0.1", broker.port(), 30);
    mosquitto_loop_start(subscriber);

    QTemporaryDir home;
    QDir().mkpath(home.filePath("config/Video"));
    QDir().mkpath(home.filePath("events"));
    QFile settings(home.filePath("config/Video/video-headless.conf"));
    settings.open(QIODevice::WriteOnly);
    settings.write("[General]\nformat=Video settings 1\n[events]\ngapSeconds=1\nbeforeSeconds=1\nafterSeconds=0\n");
    settings.close();
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.setStandardOutputFile(QProcess::nullDevice());
    program.start(argv[1], {"--headless", "--camera", QStringLiteral("rtsp://127.0.0.1:%1/cam").arg(rtspPort),
                            "--period", QString::number(period), "--min-movement", "500", "--save-dir",
                            home.filePath("events"), "--mqtt", QStringLiteral("127.0.0.1:%1").arg(broker.port())});

    // The time of the n-th message of a kind (counted from 1), waiting up to 30 s for it.
    auto waitFor = [&](const char* kind, std::size_t n) -> std::optional<Clock::time_point> {
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        for (; Clock::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
            std::lock_guard lock(arrivalsMutex);
            std::size_t seen = 0;
            for (const auto& [k, time] : arrivals)
                if (k == kind && ++seen == n)
                    return time;
        }
        return std::nullopt;
    };
    std::this_thread::sleep_for(std::chrono::seconds(5)); // connected, and the scene settled

    std::vector<double> latencies;
    std::size_t starts = 0;
    for (int i = 0; i < events; ++i) {
        {
            std::lock_guard lock(scene.mutex);
            scene.entered = {};
        }
        scene.person = true;
        const std::optional<Clock::time_point> started = waitFor("start", ++starts);
        if (!started) {
            std::fprintf(stderr, "no event for the person %d\n", i + 1);
            break;
        }
        {
            std::lock_guard lock(scene.mutex);
            latencies.push_back(std::chrono::duration<double, std::milli>(*started - scene.entered).count());
        }
        scene.person = false; // leaving is movement of the same event
        // Every event over (leaving may start one of its own), then a pause out of step
        // with the period.
        std::this_thread::sleep_for(std::chrono::milliseconds(2500 + 37 * (i % 7)));
        std::lock_guard arrivalsLock(arrivalsMutex);
        starts = std::size_t(
            std::count_if(arrivals.begin(), arrivals.end(), [](const auto& a) { return a.first == "start"; }));
    }
    program.terminate();
    program.waitForFinished(30000);
    scene.stop = true;
    camera.join();
    g_main_loop_quit(loop);
    serving.join();
    mosquitto_disconnect(subscriber);
    mosquitto_loop_stop(subscriber, false);
    mosquitto_destroy(subscriber);

    if (latencies.empty())
        return 1;
    std::printf("person entering -> MQTT event message, %s, %zu events, Capturing Period %d ms, RTSP over TCP, "
                "receiver latency %d ms:\n",
                jpeg ? "MJPEG" : "H.264", latencies.size(), period, 200);
    std::printf("  median %.0f ms, fastest %.0f ms, slowest %.0f ms; goal at most %d ms (period + 200 ms)\n",
                median(latencies), *std::min_element(latencies.begin(), latencies.end()),
                *std::max_element(latencies.begin(), latencies.end()), period + 200);
    return 0;
}
