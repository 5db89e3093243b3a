// The headless program watching an RTSP camera that goes away in the middle of an event
// and comes back showing another picture, as a camera restarted with a new exposure does.

// GLib's D-Bus headers name a field "signals", which Qt's headers make a keyword.
#include "../support/RtspServer.h"

#include <memory>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// Plays `clip` to its end: the number of pictures decoded, or -1 when it fails on the way.
int playedPictures(const QString& clip)
{
    const std::string launch = "filesrc location=\"" + clip.toStdString() +
                               "\" ! matroskademux ! h264parse ! avdec_h264 ! fakesink name=out signal-handoffs=true";
    GstElement* pipeline = gst_parse_launch(launch.c_str(), nullptr);
    if (!pipeline)
        return -1;
    int pictures = 0;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    g_signal_connect(sink, "handoff",
                     G_CALLBACK(+[](GstElement*, GstBuffer*, GstPad*, gpointer n) { ++*static_cast<int*>(n); }),
                     &pictures);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* end =
        gst_bus_timed_pop_filtered(bus, 30 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    const bool whole = end && GST_MESSAGE_TYPE(end) == GST_MESSAGE_EOS;
    if (end)
        gst_message_unref(end);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return whole ? pictures : -1;
}

} // namespace

TEST(NetworkCameraProgram, WatchingGoesOnAfterTheCameraRestartsWithoutAFalseEventOrABrokenClip)
{
    QTemporaryDir home;
    const QString folder = home.filePath("events");
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QDir().mkpath(home.filePath("config/Video")));
    // Short gaps, so that the event ends soon after the camera went still.
    QFile settings(home.filePath("config/Video/video-headless.conf"));
    ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
    settings.write("[General]\nformat=Video settings 1\n[events]\ngapSeconds=3\nafterSeconds=1\n");
    settings.close();

    auto camera = std::make_unique<RtspServer>(h264Camera("pattern=ball"), 0, "watcher", "s3cret");
    const int port = camera->port();
    ASSERT_GT(port, 0);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "CAPTURE_SOURCES"})
        environment.remove(name);
    environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
    if (environment.contains("ASAN_OPTIONS"))
        environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") + ":fast_unwind_on_malloc=0");
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(VIDEO_PROGRAM, {"--headless", "--camera", QString::fromStdString(camera->url("watcher:s3cret")),
                                  "--period", "100", "--min-movement", "50", "--log-cycles", "--save-dir", folder});
    ASSERT_TRUE(program.waitForStarted(10000));
    QString out, err;
    auto readUntil = [&](const QString& text, bool fromErr) {
        const QDeadlineTimer deadline(60000);
        while (!(fromErr ? err : out).contains(text) && !deadline.hasExpired() &&
               program.state() == QProcess::Running) {
            program.waitForReadyRead(200);
            out += program.readAllStandardOutput();
            err += program.readAllStandardError();
        }
        return (fromErr ? err : out).contains(text);
    };
    ASSERT_TRUE(readUntil("\"event\":\"start\"", false)) << err.toStdString();
    const QDeadlineTimer moving(60000);
    while (out.count("\"verdict\":\"movement\"") < 10 && !moving.hasExpired() && program.state() == QProcess::Running) {
        program.waitForReadyRead(200);
        out += program.readAllStandardOutput();
    }

    // The camera goes away in the middle of the event, and comes back with a still picture
    // unlike any it sent before: only a reference, never movement.
    camera.reset();
    ASSERT_TRUE(readUntil("reconnecting in", true)) << err.toStdString();
    camera = std::make_unique<RtspServer>(h264Camera("pattern=solid-color foreground-color=0xffe0e0e0"), port,
                                          "watcher", "s3cret");
    ASSERT_EQ(camera->port(), port);
    ASSERT_TRUE(readUntil("Reconnected to 127.0.0.1:" + QString::number(port) + "/cam", true)) << err.toStdString();
    ASSERT_TRUE(readUntil("\"event\":\"end\"", false)) << err.toStdString();
    // A few more seconds of the still picture.
    const qsizetype endAt = out.indexOf("\"event\":\"end\"");
    const QDeadlineTimer still(60000);
    while (out.mid(endAt).count("\"verdict\"") < 20 && !still.hasExpired()) {
        program.waitForReadyRead(200);
        out += program.readAllStandardOutput();
    }
    program.terminate();
    ASSERT_TRUE(program.waitForFinished(30000));
    out += program.readAllStandardOutput();
    err += program.readAllStandardError();
    EXPECT_EQ(program.exitCode(), 0) << err.toStdString();
    EXPECT_FALSE(out.contains("s3cret") || err.contains("s3cret")) << "the password never shows";

    int starts = 0;
    bool reconnected = false;
    QJsonObject ended;
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) {
        const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
        if (object["event"] == "start")
            ++starts;
        if (object["event"] == "end")
            ended = object;
        if (object["reason"] == "new connection" && starts > 0) {
            reconnected = true;
        } else if (reconnected) {
            EXPECT_NE(object["verdict"], "movement") << "after the reconnect: " << line.toStdString();
        }
    }
    EXPECT_TRUE(reconnected);
    EXPECT_EQ(starts, 1) << out.toStdString();
    // The event's clip is the camera's own H.264, whole: it plays to its end.
    QString clip;
    for (const QJsonValue file : ended["files"].toArray())
        if (file.toString().endsWith(".mkv"))
            clip = file.toString();
    ASSERT_FALSE(clip.isEmpty()) << "clip: " << ended["clipLost"].toString().toStdString();
    EXPECT_GT(playedPictures(clip), 5);
}
