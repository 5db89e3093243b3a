// The program as a user starts it from a shell: the exit statuses of the command line,
// and watching without windows on a test source until SIGTERM, with the events on
// standard output.

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

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

// The topics a headless run publishes under, as its progress names them ("video/<camera>").
std::string topicBase(const QString& err)
{
    const QRegularExpressionMatch match = QRegularExpression(" on (video/[^ \n]+)/event").match(err);
    return match.hasMatch() ? match.captured(1).toStdString() : std::string();
}

// Reads a running program's standard error until it says `text` (or the wait ends).
bool waitForProgress(QProcess& program, QString& err, const QString& text)
{
    const QDeadlineTimer deadline(60000);
    while (!err.contains(text) && !deadline.hasExpired() && program.state() == QProcess::Running) {
        program.waitForReadyRead(200);
        err += program.readAllStandardError();
    }
    return err.contains(text);
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

    // Files named for a mask are read within bounds: a FIFO nobody writes to is refused at
    // once rather than waited on; a header with Windows line ends is a header.
    const QString fifo = home.filePath("mask.fifo");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const Outcome fifoMask = run({"--mask", fifo, "--list-cameras"}, environment);
    EXPECT_EQ(fifoMask.exitCode, 2) << fifoMask.err.toStdString();
    EXPECT_TRUE(fifoMask.err.startsWith("--mask")) << fifoMask.err.toStdString();
    QFile crlfMask(home.filePath("crlf.pgm"));
    ASSERT_TRUE(crlfMask.open(QIODevice::WriteOnly));
    crlfMask.write(QByteArray("P5\r\n2 2\r\n255\r\n") + QByteArray(4, '\xff'));
    crlfMask.close();
    const Outcome crlf = run({"--mask", crlfMask.fileName(), "--list-cameras"}, environment);
    EXPECT_EQ(crlf.exitCode, 0) << crlf.err.toStdString();

    // A source that can never work ends the headless mode at once, and a sink in it never runs.
    const QString written = home.filePath("written.raw");
    const std::pair<QString, QString> badSources[] = {
        {"videotestsrc ! nosuchelement", "no element \"nosuchelement\""},
        {"videotestsrc !! ,", "syntax error"},
        {"videotestsrc ! tee name=t ! queue ! filesink location=" + written + " t. ! queue", "holds the sink"},
    };
    for (const auto& [source, reason] : badSources) {
        const Outcome refused = run({"--headless", "--source", source}, environment);
        EXPECT_EQ(refused.exitCode, 2) << source.toStdString() << ": " << refused.err.toStdString();
        EXPECT_TRUE(refused.err.contains(reason)) << refused.err.toStdString();
        EXPECT_EQ(refused.err.count("Video: "), 1) << "told once: " << refused.err.toStdString();
        // Among several cameras too, before any of them starts.
        const Outcome listed = run({"--headless", "--source", movingSource, "--source", source}, environment);
        EXPECT_EQ(listed.exitCode, 2) << source.toStdString() << ": " << listed.err.toStdString();
        EXPECT_TRUE(listed.err.contains(reason)) << listed.err.toStdString();
        EXPECT_FALSE(listed.err.contains("watching")) << listed.err.toStdString();
    }
    const Outcome twice = run({"--headless", "--source", movingSource, "--source", movingSource}, environment);
    EXPECT_EQ(twice.exitCode, 2);
    EXPECT_TRUE(twice.err.contains("different names")) << twice.err.toStdString();
    EXPECT_FALSE(QFile::exists(written));

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
    const std::string base = topicBase(err);
    ASSERT_TRUE(base.starts_with("video/videotestsrc-")) << err.toStdString();
    const auto published = subscriber.waitFor([&](const MqttSubscriber::Message& m) {
        return m.topic == base + "/event" && m.payload.find("\"end\"") != std::string::npos;
    });
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(published.payload)).object()["id"], (*ended)["id"]);
    EXPECT_EQ(subscriber.waitFor([&](const MqttSubscriber::Message& m) {
                  return m.topic == base + "/status" && m.payload == "offline";
              }).payload,
              "offline");
    std::string lastMotion;
    for (const MqttSubscriber::Message& m : subscriber.messages())
        if (m.topic == base + "/motion")
            lastMotion = m.payload;
    EXPECT_EQ(lastMotion, "OFF");
}

TEST(Headless, AReaderThatGoesAwayEndsTheWatchingWithTheOpenEventFinished)
{
    struct Case {
        const char* what;
        QStringList options;
        int lines; // that the reader takes before it leaves
    };
    // As in `video --headless --log-cycles | head -n 5`, and in `video --headless | head -n 1`,
    // where no line follows the event's start while the movement goes on: the reader's
    // leaving is seen without a line to write.
    for (const Case& c : {Case{"with --log-cycles", {"--log-cycles"}, 5}, Case{"events only", {}, 1}}) {
        QTemporaryDir home;
        const QString folder = home.filePath("events");
        ASSERT_TRUE(QDir().mkpath(folder));
        QProcess head;
        QProcess program;
        program.setStandardOutputProcess(&head);
        head.start("head", {"-n", QString::number(c.lines)});
        ASSERT_TRUE(head.waitForStarted(10000));
        program.setProcessEnvironment(withoutDisplay(home));
        program.start(VIDEO_PROGRAM, QStringList{"--headless", "--source", movingSource, "--period", "100",
                                                 "--min-movement", "50", "--save-dir", folder} +
                                         c.options);
        ASSERT_TRUE(program.waitForStarted(10000));
        ASSERT_TRUE(head.waitForFinished(60000)) << c.what;
        EXPECT_EQ(head.readAllStandardOutput().count('\n'), c.lines) << c.what;

        ASSERT_TRUE(program.waitForFinished(30000)) << c.what << ": still running after its reader left";
        const QString err = program.readAllStandardError();
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << c.what << ": not killed by SIGPIPE";
        EXPECT_EQ(program.exitCode(), 0) << c.what << err.toStdString();
        EXPECT_EQ(err.count("standard output was closed"), 1) << c.what << err.toStdString();
        EXPECT_TRUE(err.contains("event 1 ended")) << c.what << err.toStdString();
        EXPECT_EQ(QDir(folder).entryList({"*.webm"}, QDir::Files).size(), 1)
            << c.what << ": the open event's clip is whole: " << err.toStdString();
    }
}

TEST(Headless, SourcesPublishUnderTopicsOfTheirOwnAndARestartSaysNoMotionAtOnce)
{
    QTemporaryDir home;
    const QString folder = home.filePath("events");
    ASSERT_TRUE(QDir().mkpath(folder));
    MqttBroker broker;
    ASSERT_TRUE(broker.start());
    MqttSubscriber subscriber(broker.port());
    ASSERT_TRUE(subscriber.waitSubscribed());
    const QString address = QStringLiteral("127.0.0.1:%1").arg(broker.port());
    auto start = [&](QProcess& program, const QString& source, const QString& minMovement) {
        program.setProcessEnvironment(withoutDisplay(home));
        program.start(VIDEO_PROGRAM, {"--headless", "--source", source, "--period", "100", "--min-movement",
                                      minMovement, "--save-dir", folder, "--mqtt", address});
        return program.waitForStarted(10000);
    };
    auto motionOf = [](const std::string& base, const char* state) {
        return [=](const MqttSubscriber::Message& m) { return m.topic == base + "/motion" && m.payload == state; };
    };

    // One camera sees movement all the time, another (a still picture) none.
    QProcess moving, still;
    QString movingErr, stillErr;
    ASSERT_TRUE(start(moving, movingSource, "50"));
    ASSERT_TRUE(waitForProgress(moving, movingErr, "event 1 started"))
        << movingErr.toStdString();
    const std::string movingBase = topicBase(movingErr);
    ASSERT_FALSE(subscriber.waitFor(motionOf(movingBase, "ON")).topic.empty()) << movingErr.toStdString();
    const QString stillSource = "videotestsrc pattern=smpte is-live=true ! video/x-raw,width=320,height=240,framerate=10/1";
    ASSERT_TRUE(start(still, stillSource, "50"));
    ASSERT_TRUE(waitForProgress(still, stillErr, "Connected to the MQTT broker")) << stillErr.toStdString();
    const std::string stillBase = topicBase(stillErr);
    EXPECT_NE(stillBase, movingBase) << "two sources, two cameras";
    EXPECT_FALSE(subscriber.waitFor(motionOf(stillBase, "OFF")).topic.empty());

    // What a newcomer reads: each camera's own state.
    {
        MqttSubscriber late(broker.port(), "late-subscriber");
        ASSERT_TRUE(late.waitSubscribed());
        EXPECT_EQ(late.waitFor([&](const MqttSubscriber::Message& m) { return m.topic == movingBase + "/motion"; })
                      .payload,
                  "ON")
            << "the still camera's OFF is not the moving one's";
    }

    // Killed in the middle of its event, the moving camera's ON stays behind; started again
    // on a quiet scene, it says OFF before it watches.
    moving.kill();
    ASSERT_TRUE(moving.waitForFinished(30000));
    QProcess again;
    QString againErr;
    ASSERT_TRUE(start(again, movingSource, "100000000"));
    ASSERT_TRUE(waitForProgress(again, againErr, "Connected to the MQTT broker")) << againErr.toStdString();
    EXPECT_EQ(topicBase(againErr), movingBase) << "the same source, the same topics";
    {
        MqttSubscriber late(broker.port(), "later-subscriber");
        ASSERT_TRUE(late.waitSubscribed());
        EXPECT_EQ(late.waitFor([&](const MqttSubscriber::Message& m) { return m.topic == movingBase + "/motion"; })
                      .payload,
                  "OFF");
    }
    for (QProcess* program : {&still, &again}) {
        program->terminate();
        EXPECT_TRUE(program->waitForFinished(30000));
        EXPECT_EQ(program->exitCode(), 0);
    }
}

TEST(Headless, AnnouncesItsCameraToTheHubAndGoesOfflineByItsLastWillWhenKilled)
{
    QTemporaryDir home;
    const QString folder = home.filePath("events");
    ASSERT_TRUE(QDir().mkpath(folder));
    MqttBroker broker;
    ASSERT_TRUE(broker.start());
    MqttSubscriber hub(broker.port(), "hub", {"video/#", "homeassistant/#"});
    ASSERT_TRUE(hub.waitSubscribed());
    QElapsedTimer running;
    running.start();
    QProcess program;
    program.setProcessEnvironment(withoutDisplay(home));
    program.start(VIDEO_PROGRAM, {"--headless", "--source", movingSource, "--period", "100", "--min-movement", "50",
                                  "--save-dir", folder, "--mqtt", QStringLiteral("127.0.0.1:%1").arg(broker.port())});
    ASSERT_TRUE(program.waitForStarted(10000));
    QString err;
    ASSERT_TRUE(waitForProgress(program, err, "event 1 started")) << err.toStdString();
    const std::string base = topicBase(err);
    ASSERT_FALSE(base.empty()) << err.toStdString();
    using Message = MqttSubscriber::Message;
    EXPECT_TRUE(hub.waitFor([&](const Message& m) { return m.topic == base + "/thumbnail"; }).payload.starts_with(
        "\xff\xd8"))
        << "the event's JPEG thumbnail";

    // The default prefix; the device is this machine's camera.
    auto config = [&](const std::string& component) {
        const std::string start = "homeassistant/" + component + "/";
        const Message m = hub.waitFor([&](const Message& message) { return message.topic.starts_with(start); });
        return QJsonDocument::fromJson(QByteArray::fromStdString(m.payload)).object();
    };
    const QJsonObject motion = config("binary_sensor");
    EXPECT_EQ(motion["state_topic"].toString().toStdString(), base + "/motion");
    EXPECT_EQ(motion["availability_topic"].toString().toStdString(), base + "/status");
    EXPECT_EQ(motion["device_class"], "motion");
    const QString host = QSysInfo::machineHostName().toLower().replace(QRegularExpression("[^a-z0-9_-]+"), "_");
    EXPECT_EQ(motion["device"]["identifiers"][0].toString().toStdString(),
              "video_" + host.toStdString() + "_" + base.substr(std::string("video/").size()));
    EXPECT_FALSE(motion["device"]["sw_version"].toString().isEmpty());

    program.kill(); // no goodbye: the broker says offline by the last will
    ASSERT_TRUE(program.waitForFinished(30000));
    const qint64 seconds = running.elapsed() / 1000;
    EXPECT_FALSE(hub.waitFor([&](const Message& m) { return m.topic == base + "/status" && m.payload == "offline"; })
                     .topic.empty());

    // In the order they came: online, OFF before the event and its ON; the changed pixels at
    // most once a second.
    std::vector<std::string> told;
    int changed = 0;
    for (const Message& m : hub.messages()) {
        if (m.topic == base + "/changed") {
            bool number = false;
            const double percent = QString::fromStdString(m.payload).toDouble(&number);
            EXPECT_TRUE(number && percent >= 0 && percent <= 100) << m.payload;
            ++changed;
        } else if (m.topic == base + "/status" || m.topic == base + "/motion") {
            told.push_back(m.payload);
        } else if (m.topic == base + "/event" && m.payload.find("\"start\"") != std::string::npos) {
            told.push_back("start");
        }
    }
    EXPECT_EQ(std::vector<std::string>(told.begin(), told.begin() + std::min<std::size_t>(told.size(), 4)),
              (std::vector<std::string>{"online", "OFF", "start", "ON"}));
    EXPECT_EQ(told.back(), "offline");
    EXPECT_GE(changed, 1);
    EXPECT_LE(changed, seconds + 2);
}

TEST(Headless, EachRunWatchesByItsOwnSettingsFileAndNeverByTheWindows)
{
    QTemporaryDir home;
    auto write = [](const QString& path, const QByteArray& bytes) {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    };
    auto settings = [&](const char* name, const QString& values) {
        const QString folder = home.filePath(name);
        return QDir().mkpath(folder) && write(home.filePath(QStringLiteral("config/Video/%1.conf").arg(name)),
                                              "[General]\nformat=Video settings 1\n[evaluation]\ncapturingPeriod=100\n"
                                              "saveDir=" + folder.toUtf8() + '\n' + values.toUtf8());
    };
    const QString mask = home.filePath("all-black.pgm"); // nothing is watched
    ASSERT_TRUE(write(mask, "P5\n320 240\n255\n" + QByteArray(320 * 240, '\0')));
    ASSERT_TRUE(settings("seen", "minimalMovement=50\n"));
    ASSERT_TRUE(settings("masked", "minimalMovement=50\n[detection]\nmask=true\n[detectionMask]\nfile=" + mask));
    // The windows saved settings that see the ball; the headless mode's own do not.
    ASSERT_TRUE(settings("Video", "minimalMovement=50\n"));
    ASSERT_TRUE(settings("video-headless", QStringLiteral("minimalMovement=%1\n").arg(320 * 240)));

    struct Run {
        QString out, err;
    };
    std::map<QString, Run> runs; // by settings file; the headless mode's own for ""
    for (const QString name : {"seen", "masked", ""}) {
        QStringList arguments{"--headless", "--log-cycles", "--source", movingSource};
        if (!name.isEmpty())
            arguments << "--config" << home.filePath("config/Video/" + name + ".conf");
        QProcess process;
        process.setProcessEnvironment(withoutDisplay(home));
        process.start(VIDEO_PROGRAM, arguments);
        Run& run = runs[name];
        // Ten evaluations: the ball moves in every one of them.
        for (const QDeadlineTimer deadline(60000); !deadline.hasExpired() && run.out.count("\"verdict\"") < 10;) {
            process.waitForReadyRead(100);
            run.out += process.readAllStandardOutput();
        }
        process.terminate();
        EXPECT_TRUE(process.waitForFinished(30000));
        run.out += process.readAllStandardOutput();
        run.err = process.readAllStandardError();
        EXPECT_EQ(process.exitCode(), 0) << run.err.toStdString();
        ASSERT_GE(run.out.count("\"verdict\""), 10) << name.toStdString() << ": " << run.err.toStdString();
    }

    const std::string seen = runs["seen"].err.toStdString(), masked = runs["masked"].err.toStdString();
    EXPECT_TRUE(runs["seen"].err.contains("every 100 ms, detection off; events in " + home.filePath("seen"))) << seen;
    EXPECT_TRUE(runs["seen"].out.contains("\"event\":\"end\"")) << seen;
    EXPECT_TRUE(runs["masked"].err.contains("detection on; events in " + home.filePath("masked"))) << masked;
    EXPECT_FALSE(runs["masked"].out.contains("\"event\"")) << "the mask hides all movement";
    EXPECT_FALSE(runs["masked"].out.contains("\"verdict\":\"movement\""));
    EXPECT_TRUE(runs[""].err.contains("events in " + home.filePath("video-headless"))) << runs[""].err.toStdString();
    EXPECT_FALSE(runs[""].out.contains("\"verdict\":\"movement\"")) << "the windows' Minimal Movement was not used";
    EXPECT_TRUE(QDir(home.filePath("Video")).isEmpty()) << "nothing went to the windows' save folder";
}

TEST(Headless, SaveOnMoveKeepsTheFolderWithinItsLimitThroughOneLongEvent)
{
    QTemporaryDir home;
    const QString folder = home.filePath("events");
    ASSERT_TRUE(QDir().mkpath(folder) && QDir().mkpath(home.filePath("config/Video")));
    QFile settings(home.filePath("config/Video/video-headless.conf"));
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
    // The clip's writer may lag its last check by a picture or two, and the log's writer
    // adds the journal pages of the changes still queued after it; before, the folder grew
    // to twice the limit and more.
    EXPECT_LE(largest, (2 << 20) + (256 << 10));

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

TEST(Headless, SeveralCamerasWatchEachByItsOwnGroupWithOwnLogAndTopicsAndOneFailingLeavesTheOthers)
{
    QTemporaryDir home;
    const QString folder = home.filePath("events");
    ASSERT_TRUE(QDir().mkpath(folder));
    MqttBroker broker;
    ASSERT_TRUE(broker.start());
    MqttSubscriber subscriber(broker.port());
    ASSERT_TRUE(subscriber.waitSubscribed());
    // Nothing is movement by the file's general value; the yard's own group says otherwise.
    // The hall is a still picture whose source ends every five seconds.
    const QString config = home.filePath("cameras.conf");
    QFile file(config);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[General]\nformat=Video settings 1\n[evaluation]\ncapturingPeriod=100\nminimalMovement=100000000\n"
               "[cameras]\nnames=Yard, Hall\n[camera.Yard]\nminMovement=50\nsource=" +
               movingSource.toUtf8() +
               "\n[camera.Hall]\nsource=videotestsrc pattern=blue is-live=true num-buffers=50 ! "
               "video/x-raw,width=320,height=240,framerate=10/1\n");
    file.close();

    QProcess program;
    program.setProcessEnvironment(withoutDisplay(home));
    program.start(VIDEO_PROGRAM, {"--headless", "--config", config, "--log-cycles", "--save-dir", folder, "--mqtt",
                                  QStringLiteral("127.0.0.1:%1").arg(broker.port())});
    ASSERT_TRUE(program.waitForStarted(10000));
    QString out, err;
    // The hall was lost and came back, and was evaluated meanwhile.
    for (const QDeadlineTimer deadline(120000); !deadline.hasExpired() && program.state() == QProcess::Running &&
                                                (!err.contains("Reconnected to Hall") ||
                                                 out.count("{\"camera\":\"Hall\",\"bright\":0,") < 4);) {
        program.waitForReadyRead(200);
        out += program.readAllStandardOutput();
        err += program.readAllStandardError();
    }
    ASSERT_TRUE(err.contains("Reconnected to Hall")) << err.toStdString();
    // The yard goes on watching while the hall comes and goes.
    const qsizetype yardBefore = out.count("{\"camera\":\"Yard\",\"bright");
    for (const QDeadlineTimer deadline(60000);
         !deadline.hasExpired() && out.count("{\"camera\":\"Yard\",\"bright") < yardBefore + 10;) {
        program.waitForReadyRead(200);
        out += program.readAllStandardOutput();
    }
    program.terminate();
    ASSERT_TRUE(program.waitForFinished(30000));
    out += program.readAllStandardOutput();
    err += program.readAllStandardError();
    EXPECT_EQ(program.exitCode(), 0) << err.toStdString();
    EXPECT_GE(out.count("{\"camera\":\"Yard\",\"bright"), yardBefore + 10) << err.toStdString();

    bool allJson = false;
    std::map<QString, std::map<QString, int>> seen; // camera -> event kind or verdict -> lines
    for (const QJsonObject& line : jsonLines(out, allJson))
        ++seen[line["camera"].toString()][line.contains("event") ? line["event"].toString() : line["verdict"].toString()];
    EXPECT_TRUE(allJson) << out.toStdString();
    EXPECT_EQ(seen.size(), 2u) << "every line names one of the two cameras: " << out.toStdString();
    EXPECT_EQ(seen["Yard"]["start"], 1);
    EXPECT_EQ(seen["Yard"]["end"], 1);
    EXPECT_GE(seen["Hall"]["still"], 3) << err.toStdString();
    EXPECT_EQ(seen["Hall"]["start"] + seen["Hall"]["movement"], 0) << "the still camera's general value held";

    // Each keeps its events in a folder of its own, named as its topics are.
    for (const auto& [level, rows] : {std::pair{"yard", 1}, std::pair{"hall", 0}}) {
        const QString log = QDir(folder).filePath(QStringLiteral("%1/events.sqlite").arg(level));
        ASSERT_TRUE(QFileInfo::exists(log)) << level;
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open_v2(log.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt* count = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM events", -1, &count, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(count, 0), rows) << level;
        sqlite3_finalize(count);
        sqlite3_close(db);
    }
    EXPECT_EQ(QDir(QDir(folder).filePath("yard")).entryList({"*.webm"}, QDir::Files).size(), 1);

    EXPECT_FALSE(subscriber.waitFor([](const MqttSubscriber::Message& m) {
                                return m.topic == "video/yard/event" && m.payload.find("\"end\"") != std::string::npos;
                            }).topic.empty());
    EXPECT_FALSE(subscriber.waitFor([](const MqttSubscriber::Message& m) {
                                return m.topic == "video/hall/status" && m.payload == "offline";
                            }).topic.empty());
    for (const MqttSubscriber::Message& m : subscriber.messages()) {
        EXPECT_NE(m.topic, "video/hall/event") << m.payload;
        EXPECT_FALSE(m.topic == "video/hall/motion" && m.payload == "ON");
    }
}
