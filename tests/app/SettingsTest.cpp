// The remembered settings: written and read back, the defaults without a file, damaged and
// foreign files ignored and left as they are, and command-line values holding for one run.

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "CommandLine.h"
#include "Detection.h"
#include "Settings.h"

using app::Settings;
using app::SettingsFile;

namespace {

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

Settings changedSettings()
{
    Settings s;
    s.pixelVariations = 31;
    s.minimalMovement = -7;
    s.capturingPeriod = 1000;
    s.beepOnMove = true;
    s.saveOnMove = true;
    s.camera = "Hall, east side|door";
    s.cameraFormat = "video/x-raw,format=I420,width=640,height=480,framerate=25/1";
    s.cameraControls = {{"brightness", -20}, {"contrast", 140}};
    s.detection = {{"robust", true}, {"confirmK", 2}};
    s.maskFile = "/home/someone/mask file.pgm";
    s.saveDir = "/srv/frames";
    s.mqtt = "[::1]:1884";
    s.mqttDiscoveryPrefix = ""; // not announced, which is no missing value
    s.windowGeometry = {{"Video", QRect(40, 50, 501, 165)}, {"ImageForm", QRect(600, 10, 640, 480)}};
    s.cameras = {{"Yard", "videotestsrc pattern=ball ! video/x-raw,width=320,height=240", "", 30, -1, true,
                  "/home/someone/yard mask.pgm", "/srv/yard"},
                 {"Hall door", "", "1", std::nullopt, std::nullopt, false, std::nullopt, std::nullopt}};
    return s;
}

} // namespace

TEST(Settings, WithoutAFileTheDefaultsAreTheWindowsStartingValues)
{
    QTemporaryDir folder;
    SettingsFile file(folder.filePath("Video/Video.conf"));
    const Settings s = file.load();
    EXPECT_EQ(s, Settings{});
    EXPECT_TRUE(file.problem().isEmpty());
    EXPECT_EQ(s.pixelVariations, 20);
    EXPECT_EQ(s.minimalMovement, 400);
    EXPECT_EQ(s.capturingPeriod, 250);
    EXPECT_FALSE(s.beepOnMove || s.saveOnMove);
}

TEST(Settings, WrittenSettingsReadBackEqual)
{
    QTemporaryDir folder;
    const QString path = folder.filePath("new folder/Video.conf");
    const Settings written = changedSettings();
    {
        SettingsFile file(path);
        file.load();
        ASSERT_TRUE(file.save(written)) << file.problem().toStdString();
    }
    SettingsFile again(path);
    const Settings read = again.load();
    EXPECT_TRUE(again.problem().isEmpty()) << again.problem().toStdString();
    EXPECT_EQ(read.camera, written.camera);
    EXPECT_EQ(read.cameraFormat, written.cameraFormat);
    EXPECT_EQ(read.cameraControls, written.cameraControls);
    EXPECT_EQ(read.windowGeometry, written.windowGeometry);
    EXPECT_EQ(read.mqtt, written.mqtt);
    EXPECT_EQ(read.mqttDiscoveryPrefix, "");
    EXPECT_EQ(read.pixelVariations, written.pixelVariations);
    EXPECT_EQ(read.minimalMovement, written.minimalMovement);
    EXPECT_EQ(read.detection.size(), 2u);
    EXPECT_EQ(read.detection.at("confirmK").toInt(), 2);
    EXPECT_TRUE(read.detection.at("robust").toBool());

    // A value no longer set is gone from the file, not left from before.
    Settings fewer = written;
    fewer.cameraControls.clear();
    fewer.windowGeometry.erase("ImageForm");
    ASSERT_TRUE(again.save(fewer));
    EXPECT_EQ(SettingsFile(path).load().cameraControls.size(), 0u);
    EXPECT_EQ(SettingsFile(path).load().windowGeometry.size(), 1u);
}

TEST(Settings, DamagedOrForeignFilesAreIgnoredAndLeftAsTheyAre)
{
    static const char junk[] = "\x7f" "ELF\x02\x01\x01\0\0\0[\xff\xfe=\x01\n\0\0";
    const struct {
        const char* what;
        QByteArray bytes;
    } cases[] = {
        {"binary junk", QByteArray(junk, sizeof junk - 1)},
        {"another program's INI", "[General]\ntheme=dark\n[recent]\nfile1=/tmp/a.txt\n"},
        {"a newer format", "[General]\nformat=Video settings 9\n[evaluation]\npixelVariations=20\n"},
        {"a threshold out of range", "[General]\nformat=Video settings 1\n[evaluation]\npixelVariations=300\n"},
        {"a period that is no number", "[General]\nformat=Video settings 1\n[evaluation]\ncapturingPeriod=fast\n"},
        {"a check box that is no flag", "[General]\nformat=Video settings 1\n[evaluation]\nbeepOnMove=maybe\n"},
        {"a window place that is no rectangle", "[General]\nformat=Video settings 1\n[windows]\nVideo=left\n"},
        {"a broker without a port", "[General]\nformat=Video settings 1\n[mqtt]\nbroker=host:\n"},
        {"a camera listed twice", "[General]\nformat=Video settings 1\n[cameras]\nnames=Hall, hall\n"},
        {"a camera with a source and a driver",
         "[General]\nformat=Video settings 1\n[cameras]\nnames=Hall\n[camera.Hall]\nsource=videotestsrc\ncamera=0\n"},
        {"a camera's detection that is neither",
         "[General]\nformat=Video settings 1\n[cameras]\nnames=Hall\n[camera.Hall]\ndetection=on\n"},
        {"a discovery prefix with a wildcard", "[General]\nformat=Video settings 1\n[mqtt]\ndiscoveryPrefix=ha/+\n"},
    };
    for (const auto& c : cases) {
        QTemporaryDir folder;
        const QString path = folder.filePath("Video.conf");
        write(path, c.bytes);
        SettingsFile file(path);
        const Settings s = file.load();
        EXPECT_EQ(s, Settings{}) << c.what;
        EXPECT_TRUE(file.problem().contains(path)) << c.what << ": " << file.problem().toStdString();
        EXPECT_FALSE(file.problem().contains('\n')) << c.what;
        EXPECT_FALSE(file.save(changedSettings())) << c.what;
        EXPECT_EQ(contents(path), c.bytes) << c.what;
    }
}

TEST(Settings, AnUnwritableFileIsReported)
{
    QTemporaryDir folder;
    const QString blocker = folder.filePath("plain");
    write(blocker, "not a folder");
    SettingsFile file(blocker + "/Video.conf");
    file.load();
    EXPECT_FALSE(file.save(changedSettings()));
    EXPECT_TRUE(file.problem().contains("cannot write")) << file.problem().toStdString();
}

TEST(Settings, CommandLineValuesHoldForTheirRunOnly)
{
    const Settings remembered = changedSettings();
    app::Options options;
    options.threshold = 50;
    options.period = 40;
    options.robustDetection = false;
    options.mqtt = app::BrokerAddress{"::1", 1999};
    options.source = "videotestsrc";
    options.discoveryPrefix = "site/hub";

    const Settings used = app::withOptions(remembered, options);
    EXPECT_EQ(used.pixelVariations, 50);
    EXPECT_EQ(used.capturingPeriod, 40);
    EXPECT_TRUE(used.detection.empty());
    EXPECT_EQ(used.mqtt, "[::1]:1999");
    EXPECT_EQ(used.mqttDiscoveryPrefix, "site/hub");
    EXPECT_EQ(used.minimalMovement, remembered.minimalMovement);

    // The run ends with the threshold as given, the period changed by the user and a
    // value no option touched changed too.
    Settings atEnd = used;
    atEnd.capturingPeriod = 500;
    atEnd.minimalMovement = 900;
    atEnd.camera = "videotestsrc";
    const Settings kept = app::toRemember(remembered, atEnd, options);
    EXPECT_EQ(kept.pixelVariations, remembered.pixelVariations);
    EXPECT_EQ(kept.capturingPeriod, 500);
    EXPECT_EQ(kept.minimalMovement, 900);
    EXPECT_EQ(kept.detection, remembered.detection);
    EXPECT_EQ(kept.mqtt, remembered.mqtt);
    EXPECT_EQ(kept.mqttDiscoveryPrefix, remembered.mqttDiscoveryPrefix);
    EXPECT_EQ(kept.camera, remembered.camera);
}

TEST(Settings, ACameraOfAListWatchesByItsOwnGroupOverTheRunsValues)
{
    Settings run = changedSettings();
    run.detection = {{"robust", true}};
    const Settings yard = app::forCamera(run, run.cameras[0]);
    EXPECT_EQ(yard.pixelVariations, 30);
    EXPECT_EQ(yard.minimalMovement, -1);
    EXPECT_EQ(yard.maskFile, "/home/someone/yard mask.pgm");
    EXPECT_TRUE(yard.detection.at("mask").toBool());
    EXPECT_EQ(yard.saveDir, "/srv/yard");
    EXPECT_TRUE(yard.cameras.empty());

    const Settings hall = app::forCamera(run, run.cameras[1]);
    EXPECT_EQ(hall.pixelVariations, run.pixelVariations);
    EXPECT_EQ(hall.minimalMovement, run.minimalMovement);
    EXPECT_EQ(hall.maskFile, run.maskFile);
    EXPECT_EQ(hall.saveDir, run.saveDir);
    EXPECT_TRUE(hall.detection.empty()) << "its own \"off\" holds over the run's robust detection";
}

TEST(Settings, TheSiteExampleOfACameraIsUsable)
{
    SettingsFile file(VIDEO_SOURCE_DIR "/dist/site/camera.conf");
    const Settings s = file.load();
    ASSERT_TRUE(file.problem().isEmpty()) << file.problem().toStdString();
    EXPECT_EQ(s.camera, "garage");
    EXPECT_TRUE(s.cameraSource.startsWith("rtspsrc "));
    EXPECT_EQ(s.mqtt, "broker.lan:1883");
    EXPECT_EQ(s.mqttDiscoveryPrefix, "homeassistant");
    EXPECT_EQ(s.detection.at("robust").toBool(), true);
    EXPECT_EQ(s.events.retentionAge, std::chrono::hours(24 * 30));
}

TEST(Settings, DetectionSettingsByName)
{
    const analysis::DetectionSettings robust = analysis::DetectionSettings::robust();
    EXPECT_EQ(app::detectionFromNames({{"robust", true}}), robust);
    EXPECT_EQ(app::detectionFromNames({}), analysis::DetectionSettings{});

    analysis::DetectionSettings mine;
    mine.noise = true;
    mine.noiseFactor = 6;
    mine.confirm = true;
    mine.confirmNeeded = 3;
    mine.confirmWindow = 5;
    EXPECT_EQ(app::detectionFromNames(app::detectionNames(mine)), mine);

    // Through the settings file, where every value comes back as text.
    QTemporaryDir folder;
    Settings written;
    written.detection = app::detectionNames(mine);
    SettingsFile file(folder.filePath("Video.conf"));
    ASSERT_TRUE(file.save(written));
    EXPECT_EQ(app::detectionFromNames(SettingsFile(folder.filePath("Video.conf")).load().detection), mine);

    // Values of the wrong kind are left at their defaults; numbers are held within bounds.
    const analysis::DetectionSettings odd =
        app::detectionFromNames({{"noise", "perhaps"}, {"speckSize", "many"}, {"confirmWindow", 1000}});
    EXPECT_FALSE(odd.noise);
    EXPECT_EQ(odd.speckSize, analysis::DetectionSettings{}.speckSize);
    EXPECT_LE(odd.confirmWindow, 32);

    // A mask given on the command line is used.
    app::Options options;
    options.mask = "/somewhere/mask.pgm";
    EXPECT_TRUE(app::detectionFromNames(app::withOptions({}, options).detection).mask);
}
