// The program as a user starts it from a shell: the exit statuses of the command line,
// and watching without windows on a test source until SIGTERM, with the events on
// standard output.

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "../support/MqttBroker.h"

namespace {

// A source that moves all the time, at 10 frames a second.
const QString movingSource =
    "videotestsrc pattern=ball is-live=true ! video/x-raw,width=320,height=240,framerate=10/1";

// The program's environment without a display and with settings of its own.
QProcessEnvironment withoutDisplay(const QTemporaryDir& home)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "CAPTURE_SOURCES"})
        environment.remove(name);
    environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
    // Under the sanitizers: whole stacks for the leak report, so that the suppression of
    // GLib's load-time allocation matches when it happens on a GStreamer thread.
    if (environment.contains("ASAN_OPTIONS"))
        environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") + ":fast_unwind_on_malloc=0");
    return environment;
}

struct Outcome {
    int exitCode = -1;
    QString out;
    QString err;
};

Outcome run(const QStringList& arguments, const QProcessEnvironment& environment)
{
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(VIDEO_PROGRAM, arguments);
    program.waitForFinished(60000);
    return {program.exitCode(), program.readAllStandardOutput(), program.readAllStandardError()};
}

std::vector<QJsonObject> jsonLines(const QString& text, bool& allJson)
{
    std::vector<QJsonObject> lines;
    allJson = true;
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) {
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8());
        allJson = allJson && document.isObject();
        lines.push_back(document.object());
    }
    return lines;
}

} // namespace

TEST(CommandLineProgram, ExitStatusesAndMessages)
{
    QTemporaryDir home;
    const QProcessEnvironment environment = withoutDisplay(home);

    const Outcome help = run({"--help"}, environment);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("--headless"));

    const Outcome bad = run({"--threshold", "many"}, environment);
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_TRUE(bad.err.contains("--threshold")) << bad.err.toStdString();
    EXPECT_TRUE(bad.out.isEmpty());

    QFile notAMask(home.filePath("mask.pgm"));
    ASSERT_TRUE(notAMask.open(QIODevice::WriteOnly));
    notAMask.write("P2\n2 2\n255\n0 0 0 0\n"); // plain text PGM: not a mask this program reads
    notAMask.close();
    const Outcome badMask = run({"--mask", notAMask.fileName()}, environment);
    EXPECT_EQ(badMask.exitCode, 2);
    EXPECT_TRUE(badMask.err.startsWith("--mask")) << badMask.err.toStdString();

    QProcessEnvironment configured = environment;
    configured.insert("CAPTURE_SOURCES", "Ball|videotestsrc pattern=ball;Bars|videotestsrc");
    const Outcome cameras = run({"--list-cameras"}, configured);
    EXPECT_EQ(cameras.exitCode, 0);
    EXPECT_EQ(cameras.out, "0\tBall\tvideotestsrc pattern=ball\n1\tBars\tvideotestsrc\n");

    const Outcome unknown = run({"--headless", "--camera", "Hall"}, configured);
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_TRUE(unknown.err.startsWith("--camera: no camera \"Hall\"; the cameras are 0 \"Ball\", 1 \"Bars\"."))
        << "names the cameras there are: " << unknown.err.toStdString();
}

TEST(Headless, WatchesPrintsEventsAndEndsCleanlyOnSigterm)
{
    QTemporaryDir home;
    const QString folder = home.filePath("events");
    ASSERT_TRUE(QDir().mkpath(folder));
    MqttBroker broker;
    ASSERT_TRUE(broker.start());
    MqttSubscriber subscriber(broker.port());
    ASSERT_TRUE(subscriber.waitSubscribed());

    QProcess program;
    program.setProcessEnvironment(withoutDisplay(home));
    program.start(VIDEO_PROGRAM, {"--headless", "--source", movingSource, "--period", "100", "--min-movement", "50",
                                  "--log-cycles", "--save-dir", folder, "--mqtt",
                                  QStringLiteral("127.0.0.1:%1").arg(broker.port())});
    ASSERT_TRUE(program.waitForStarted(10000));

    // Watch until an event started and a few more evaluations passed.
    QString out;
    const QDeadlineTimer deadline(60000);
    int linesAfterStart = -1;
    while (!deadline.hasExpired() && linesAfterStart < 5 && program.state() == QProcess::Running) {
        program.waitForReadyRead(500);
        out += program.readAllStandardOutput();
        const qsizetype start = out.indexOf("\"event\":\"start\"");
        if (start >= 0)
            linesAfterStart = int(out.mid(start).count('\n'));
    }
    ASSERT_GE(linesAfterStart, 5) << "no event started: " << out.toStdString()
                                  << program.readAllStandardError().toStdString();

    program.terminate(); // SIGTERM
    ASSERT_TRUE(program.waitForFinished(30000));
    out += program.readAllStandardOutput();
    const QString err = program.readAllStandardError();
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0) << err.toStdString();

    bool allJson = false;
    const std::vector<QJsonObject> lines = jsonLines(out, allJson);
    EXPECT_TRUE(allJson) << out.toStdString();
    const QJsonObject* started = nullptr;
    const QJsonObject* ended = nullptr;
    int moving = 0;
    for (const QJsonObject& line : lines) {
        if (line["event"] == "start")
            started = &line;
        else if (line["event"] == "end")
            ended = &line;
        else if (line["verdict"] == "movement")
            ++moving;
    }
    ASSERT_TRUE(started && ended) << out.toStdString();
    EXPECT_EQ((*started)["id"], (*ended)["id"]);
    EXPECT_GT((*ended)["peak"].toInt(), 50);
    EXPECT_GE((*ended)["movingCycles"].toInt(), 1);
    EXPECT_GE(moving, 5);
    EXPECT_EQ(lines.front()["verdict"], "reference") << "the first frame only sets the reference";
    for (const char* key : {"time", "bright", "dark", "brightCounted", "darkCounted", "verdict", "reason"})
        EXPECT_TRUE(lines.front().contains(key)) << key;

    // The open event was finished: its clip is complete under its final name.
    const QStringList clips = QDir(folder).entryList({"*.webm"}, QDir::Files);
    EXPECT_EQ(clips.size(), 1) << QDir(folder).entryList(QDir::Files | QDir::Hidden).join(' ').toStdString();
    EXPECT_TRUE(QFileInfo::exists(folder + "/events.sqlite"));
    EXPECT_TRUE(err.contains("watching")) << err.toStdString();
    EXPECT_TRUE(err.contains("stopped")) << err.toStdString();

    // The same event reached the broker, and the motion state is off again at the end.
    const auto published = subscriber.waitFor([](const MqttSubscriber::Message& m) {
        return m.topic == "video/videotestsrc/event" && m.payload.find("\"end\"") != std::string::npos;
    });
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(published.payload)).object()["id"], (*ended)["id"]);
    EXPECT_EQ(subscriber.waitFor([](const MqttSubscriber::Message& m) {
                  return m.topic == "video/videotestsrc/status" && m.payload == "offline";
              }).payload,
              "offline");
    std::string lastMotion;
    for (const MqttSubscriber::Message& m : subscriber.messages())
        if (m.topic == "video/videotestsrc/motion")
            lastMotion = m.payload;
    EXPECT_EQ(lastMotion, "OFF");
}

TEST(Headless, AReaderThatGoesAwayEndsTheWatchingWithTheOpenEventFinished)
{
    QTemporaryDir home;
    const QString folder = home.filePath("events");
    ASSERT_TRUE(QDir().mkpath(folder));
    // As in `video --headless --log-cycles | head -n 5`: the reader leaves after five lines.
    QProcess head;
    QProcess program;
    program.setStandardOutputProcess(&head);
    head.start("head", {"-n", "5"});
    ASSERT_TRUE(head.waitForStarted(10000));
    program.setProcessEnvironment(withoutDisplay(home));
    program.start(VIDEO_PROGRAM, {"--headless", "--source", movingSource, "--period", "100", "--min-movement", "50",
                                  "--log-cycles", "--save-dir", folder});
    ASSERT_TRUE(program.waitForStarted(10000));
    ASSERT_TRUE(head.waitForFinished(60000));
    EXPECT_EQ(head.readAllStandardOutput().count('\n'), 5);

    ASSERT_TRUE(program.waitForFinished(30000));
    const QString err = program.readAllStandardError();
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << "not killed by SIGPIPE";
    EXPECT_EQ(program.exitCode(), 0) << err.toStdString();
    EXPECT_TRUE(err.contains("standard output was closed")) << err.toStdString();
    EXPECT_TRUE(err.contains("event 1 ended")) << err.toStdString();
    EXPECT_EQ(QDir(folder).entryList({"*.webm"}, QDir::Files).size(), 1)
        << "the open event's clip is whole: " << err.toStdString();
}

TEST(Headless, SaveOnMoveKeepsTheFolderWithinItsLimitThroughOneLongEvent)
{
    QTemporaryDir home;
    const QString folder = home.filePath("events");
    ASSERT_TRUE(QDir().mkpath(folder) && QDir().mkpath(home.filePath("config/Video")));
    QFile settings(home.filePath("config/Video/Video.conf"));
    ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
    settings.write("[General]\nformat=Video settings 1\n[evaluation]\nsaveOnMove=true\n[events]\nretentionMB=2\n");
    settings.close();
    const auto folderBytes = [&] {
        qint64 bytes = 0;
        for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden))
            bytes += file.size();
        return bytes;
    };

    QProcess program;
    program.setProcessEnvironment(withoutDisplay(home));
    program.start(VIDEO_PROGRAM, {"--headless", "--source", movingSource, "--period", "100", "--min-movement", "50",
                                  "--log-cycles", "--save-dir", folder});
    ASSERT_TRUE(program.waitForStarted(10000));
    // Every frame saved is 225 KiB: twenty of them are twice the limit.
    QString out;
    qint64 largest = 0;
    const QDeadlineTimer deadline(120000);
    while (!deadline.hasExpired() && out.count("\"saved\"") < 20 && program.state() == QProcess::Running) {
        program.waitForReadyRead(100);
        out += program.readAllStandardOutput();
        largest = std::max(largest, folderBytes());
    }
    program.terminate();
    ASSERT_TRUE(program.waitForFinished(30000));
    out += program.readAllStandardOutput();
    ASSERT_GE(out.count("\"saved\""), 20) << out.toStdString() << program.readAllStandardError().toStdString();
    EXPECT_LE(largest, (2 << 20) + (64 << 10)) << "the clip's writer may lag its last check by a picture or two";

    bool allJson = false;
    const std::vector<QJsonObject> lines = jsonLines(out, allJson);
    int saved = 0;
    const QJsonObject* ended = nullptr;
    for (const QJsonObject& line : lines) {
        saved += line.contains("saved");
        if (line["event"] == "end")
            ended = &line;
    }
    ASSERT_TRUE(ended) << out.toStdString();
    EXPECT_EQ((*ended)["savedFrames"].toInt(), saved) << "one event, every frame of it counted";
    EXPECT_EQ((*ended)["savedFramesFolder"].toString(), QDir(folder).absolutePath());
}
