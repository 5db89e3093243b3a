#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <QComboBox>
#include <QDir>
#include <QDialog>
#include <QImage>
#include <QTimer>
#include <QRadioButton>
#include <QSlider>
#include <QWidget>
#include <QtTest/QTest>
#include <gtest/gtest.h>
#include <unistd.h>

#include "../support/ModalBox.h"
#include "../support/SilentFifo.h"
#include "ApplicationTitle.h"
#include "CaptureDrivers.h"
#include "CapturePipeline.h"
#include "CaptureWindow.h"
#include "DriverDialogs.h"
#include "FrameClipboard.h"
#include "FakeCameraProvider.h"
#include "GstCaptureService.h"
#include "LiveSource.h"

using namespace platform;
using namespace capture;

namespace {

struct Report {
    std::int32_t id;
    std::string text;
};
std::vector<Report> reports;

std::int32_t record(CaptureWindow*, std::int32_t id, const char* text)
{
    reports.push_back({id, text});
    return 1;
}

bool reported(std::int32_t id)
{
    for (const Report& r : reports)
        if (r.id == id)
            return true;
    return false;
}

std::string errorsReported()
{
    std::string all;
    for (const Report& r : reports)
        if (r.id == statusError)
            all += r.text + "\n";
    return all;
}

std::string texts()
{
    std::string all;
    for (const Report& r : reports)
        all += std::to_string(r.id) + " " + r.text + "\n";
    return all;
}

// Handles events until a report containing `text` comes (false after a generous while).
bool waitForReport(const std::string& text)
{
    auto found = [&] {
        for (const Report& r : reports)
            if (r.text.find(text) != std::string::npos)
                return true;
        return false;
    };
    for (int waited = 0; !found() && waited < 20000; waited += 20)
        QTest::qWait(20);
    return found();
}

// A motion-JPEG clip in the temporary folder, removed when it goes.
struct Clip {
    Clip(int width, int height, int frames, int rate)
    {
        static int made = 0;
        path = (QDir::tempPath() + "/clip-" + QString::number(getpid()) + "-" + QString::number(++made) + ".avi")
                   .toStdString();
        const std::string description = "videotestsrc num-buffers=" + std::to_string(frames) +
                                        " ! video/x-raw,width=" + std::to_string(width) + ",height=" +
                                        std::to_string(height) + ",framerate=" + std::to_string(rate) +
                                        "/1 ! jpegenc ! avimux ! filesink location=" + path;
        GError* raw = nullptr;
        gst::Element writer(gst_parse_launch(description.c_str(), &raw));
        gst::Error error(raw);
        EXPECT_FALSE(error) << error->message;
        gst_element_set_state(writer.get(), GST_STATE_PLAYING);
        gst::Bus bus(gst_element_get_bus(writer.get()));
        gst::Message done(gst_bus_timed_pop_filtered(bus.get(), 20 * GST_SECOND,
                                                      GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
        EXPECT_TRUE(done && GST_MESSAGE_TYPE(done.get()) == GST_MESSAGE_EOS);
        gst_element_set_state(writer.get(), GST_STATE_NULL);
    }
    ~Clip() { std::remove(path.c_str()); }
    std::string path;
};

// A capture window in a panel on a service whose drivers are `sources`.
class ServiceTest : public ::testing::Test {
protected:
    void use(const char* sources)
    {
        if (sources)
            setenv("CAPTURE_SOURCES", sources, 1);
        else
            unsetenv("CAPTURE_SOURCES");
        reports.clear();
        window = service.createCaptureWindow("VELKO", windowChild | windowVisible, 0, 0, 320, 240, &panel, 0);
        ASSERT_NE(window, nullptr);
        service.setCallbackOnStatus(window, record);
    }
    void TearDown() override
    {
        if (window) {
            service.driverDisconnect(window);
            service.destroyWindow(window);
        }
        unsetenv("CAPTURE_SOURCES");
    }
    QImage grabbed()
    {
        service.grabFrame(window);
        service.editCopy(window);
        return platform::frameClipboard().image();
    }

    GstCaptureService service;
    QWidget panel;
    CaptureWindow* window = nullptr;
};

// Solid colour red 0x11, green 0x22, blue 0x33, offered in a packed RGB format so that
// no colour conversion rounds it.
constexpr const char* solid = "Solid|videotestsrc pattern=solid-color foreground-color=0xff112233 is-live=true "
                              "! video/x-raw,format=RGBx,width=33,height=17,framerate=30/1";

} // namespace

TEST(CaptureSources, Parsing)
{
    using S = std::vector<ConfiguredSource>;
    EXPECT_EQ(parseCaptureSources(""), S{});
    EXPECT_EQ(parseCaptureSources("Ball|videotestsrc pattern=ball is-live=true;Hall|filesrc location=hall.avi ! decodebin"),
              (S{{"Ball", "videotestsrc pattern=ball is-live=true"}, {"Hall", "filesrc location=hall.avi ! decodebin"}}));
    EXPECT_EQ(parseCaptureSources(" videotestsrc ;; |  ; Named | v4l2src "),
              (S{{"videotestsrc", "videotestsrc"}, {"Named", "v4l2src"}}));
    EXPECT_EQ(parseCaptureSources("|videotestsrc"), (S{{"videotestsrc", "videotestsrc"}}));
    EXPECT_EQ(parseCaptureSources("a;b;c;d;e;f;g;h;i;j;k;l").size(), 10u) << "drivers 0 to 9 only";
    // A list of sources keeps one a line: control characters are escaped in names and
    // white space in descriptions.
    EXPECT_EQ(parseCaptureSources("Hall\nCam\x01|videotestsrc\npattern=ball;|videotestsrc\tpattern=snow"),
              (S{{"Hall\\nCam\\x01", "videotestsrc pattern=ball"}, {"videotestsrc pattern=snow", "videotestsrc pattern=snow"}}));
}

TEST(ApplicationTitle, FromProgramPath)
{
    EXPECT_EQ(titleFromProgramPath("/usr/bin/Video"), "Video");
    EXPECT_EQ(titleFromProgramPath("/opt/VIDEO.bin.old"), "Video");
    EXPECT_EQ(titleFromProgramPath("video"), "video") << "the first character keeps its case";
    EXPECT_EQ(titleFromProgramPath("/x/.hidden"), "");
}

TEST_F(ServiceTest, DescribesConfiguredDrivers)
{
    use("First|videotestsrc;Second|videotestsrc");
    char name[80], version[100];
    ASSERT_TRUE(service.driverDescription(1, name, sizeof name, version, sizeof version));
    EXPECT_STREQ(name, "Second");
    EXPECT_FALSE(service.driverDescription(2, name, sizeof name, version, sizeof version));
    EXPECT_FALSE(service.driverDescription(10, name, sizeof name, version, sizeof version));
    char tiny[4];
    ASSERT_TRUE(service.driverDescription(0, tiny, sizeof tiny, version, sizeof version));
    EXPECT_STREQ(tiny, "Fir") << "cut to the buffer, terminated";
}

TEST_F(ServiceTest, GrabsTheExactPictureOnTheClipboard)
{
    use(solid);
    ASSERT_EQ(service.driverConnect(window, 0), 1) << errorsReported();
    EXPECT_TRUE(reported(statusConnected));
    const QImage image = grabbed();
    ASSERT_EQ(image.width(), 33);
    ASSERT_EQ(image.height(), 17);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ASSERT_EQ(image.pixel(x, y) & 0xFFFFFF, 0x112233u) << x << "," << y;
}

TEST_F(ServiceTest, RowsAndChannelsKeepTheirPlaces)
{
    // Seven vertical colour bars: white, yellow, cyan, green, magenta, red, blue.
    use("Bars|videotestsrc pattern=smpte100 is-live=true ! video/x-raw,format=RGBx,width=81,height=7,framerate=30/1");
    ASSERT_EQ(service.driverConnect(window, 0), 1) << errorsReported();
    const QImage image = grabbed();
    ASSERT_EQ(image.width(), 81);
    const QRgb expected[] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00, 0xFF00FF, 0xFF0000, 0x0000FF};
    for (int y = 0; y < image.height(); ++y)
        for (int bar = 0; bar < 7; ++bar) {
            const int x = (2 * bar + 1) * 81 / 14;
            EXPECT_EQ(image.pixel(x, y) & 0xFFFFFF, expected[bar]) << "bar " << bar << " row " << y;
        }
}

TEST_F(ServiceTest, TwoGrabsNeverHandOverTheSameFrame)
{
    use("Snow|videotestsrc pattern=snow is-live=true ! video/x-raw,width=64,height=48,framerate=30/1");
    ASSERT_EQ(service.driverConnect(window, 0), 1) << errorsReported();
    const QImage first = grabbed();
    const QImage second = grabbed();
    ASSERT_FALSE(first.isNull());
    EXPECT_NE(first, second);
}

TEST_F(ServiceTest, MissingFileAndDeviceRefuseWithReadableText)
{
    use("Gone|filesrc location=/no/such/file.avi ! decodebin;Cam|v4l2src device=/dev/video-none;Bad|nosuchelement");
    // Each reason names what is missing, not only GStreamer's generic message.
    const char* missing[] = {"/no/such/file.avi", "/dev/video-none", "nosuchelement"};
    for (int index : {0, 1, 2}) {
        reports.clear();
        EXPECT_EQ(service.driverConnect(window, static_cast<std::uint16_t>(index)), 0);
        const std::string errors = errorsReported();
        EXPECT_NE(errors.find(missing[index]), std::string::npos) << errors;
        EXPECT_EQ(window->pipeline(), nullptr);
    }
}

TEST_F(ServiceTest, EndedSourceFailsTheGrabSaysWhyAndClearsTheClipboard)
{
    use("Short|videotestsrc num-buffers=3 ! video/x-raw,width=32,height=24,framerate=30/1");
    ASSERT_EQ(service.driverConnect(window, 0), 1) << errorsReported();
    platform::frameClipboard().setImage(QImage(5, 5, QImage::Format_RGB32));
    // Grab until the three frames are used up: the grab that finds none fails and says why.
    reports.clear();
    int got = 0;
    while (got < 5 && service.grabFrame(window) == 1)
        ++got;
    EXPECT_LE(got, 3);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().id, statusReconnecting);
    EXPECT_NE(reports.back().text.find("reconnecting in 1 s"), std::string::npos) << reports.back().text;
    service.editCopy(window);
    EXPECT_TRUE(platform::frameClipboard().image().isNull()) << "no stale frame stays on the clipboard";
}

TEST_F(ServiceTest, LostSourceIsReconnectedAfterGrowingPausesInANewStream)
{
    use("Failing|videotestsrc is-live=true ! video/x-raw,width=32,height=24,framerate=30/1 ! identity error-after=8");
    ASSERT_EQ(service.driverConnect(window, 0), 1) << errorsReported();
    grabbed();
    const std::uint64_t firstStream = platform::frameClipboard().frame().stream;
    EXPECT_NE(firstStream, 0u);
    // The error comes after eight frames; the window reports it on its own.
    ASSERT_TRUE(waitForReport("reconnecting in 1 s")) << texts();
    EXPECT_NE(reports.back().text.find("Failing: "), std::string::npos) << "names the source and the reason";
    EXPECT_EQ(service.grabFrame(window), 0);
    service.editCopy(window);
    EXPECT_TRUE(platform::frameClipboard().image().isNull());
    service.setPreview(window, 1);
    EXPECT_NE(reports.back().text, "Live window");

    ASSERT_TRUE(waitForReport("Reconnected to Failing")) << texts();
    const QImage again = grabbed();
    ASSERT_FALSE(again.isNull());
    EXPECT_NE(platform::frameClipboard().frame().stream, firstStream) << "a new connection is a new stream";
    // It fails again after eight frames: the pause doubles.
    EXPECT_TRUE(waitForReport("reconnecting in 2 s")) << texts();
}

TEST(Reconnect, PausesDoubleUpToHalfAMinute)
{
    using std::chrono::seconds;
    const std::chrono::milliseconds expected[] = {seconds(1), seconds(2), seconds(4), seconds(8), seconds(16),
                                                  seconds(30), seconds(30)};
    for (int failures = 1; failures <= 7; ++failures)
        EXPECT_EQ(reconnectDelay(failures), expected[failures - 1]) << failures;
    EXPECT_EQ(reconnectDelay(1000), seconds(30));
}

TEST_F(ServiceTest, FileSourceStartsAgainAtItsEnd)
{
    // Ten frames of a 50 frames-a-second clip: it ends after 0.2 s, and keeps playing.
    const Clip clip(48, 32, 10, 50);
    use(("Clip|filesrc location=" + clip.path + " ! decodebin").c_str());
    ASSERT_EQ(service.driverConnect(window, 0), 1) << errorsReported();
    for (int i = 0; i < 30; ++i)
        ASSERT_EQ(service.grabFrame(window), 1) << "grab " << i << " " << errorsReported();
    EXPECT_EQ(grabbed().size(), QSize(48, 32));
    EXPECT_TRUE(errorsReported().empty()) << errorsReported();
}

TEST_F(ServiceTest, WithoutDriverGrabAndCopyLeaveTheClipboard)
{
    use("Nothing|nosuchelement");
    QImage mark(3, 3, QImage::Format_RGB32);
    mark.fill(Qt::green);
    platform::frameClipboard().setImage(mark);
    EXPECT_EQ(service.grabFrame(window), 0);
    EXPECT_EQ(service.editCopy(window), 0);
    EXPECT_EQ(platform::frameClipboard().image().pixel(1, 1), QColor(Qt::green).rgb());
    EXPECT_EQ(service.dlgVideoFormat(window), 0);
    EXPECT_EQ(service.setPreview(nullptr, 1), 0) << "a message to no window does nothing";
}

TEST_F(ServiceTest, DisplayModesReportAndShowFrames)
{
    use(solid);
    ASSERT_EQ(service.driverConnect(window, 0), 1);
    service.setPreviewRate(window, 40);
    service.setPreview(window, 1);
    EXPECT_TRUE(window->previewing());
    EXPECT_EQ(reports.back().text, "Live window");
    service.setOverlay(window, 1);
    EXPECT_TRUE(window->overlaying());
    EXPECT_FALSE(window->previewing());
    EXPECT_EQ(reports.back().text, "Overlay window");
    QTest::qWait(200);
    EXPECT_EQ(window->shownImage().pixel(3, 3) & 0xFFFFFF, 0x112233u);
    service.grabFrame(window);
    EXPECT_FALSE(window->overlaying()) << "a grab shows the still";
}

TEST_F(ServiceTest, SequenceSetupIsKeptWhole)
{
    use("T|videotestsrc");
    CaptureParms parms;
    parms.wTimeLimit = 12;
    parms.fYield = -1;
    EXPECT_EQ(service.setSequenceSetup(window, sizeof parms, &parms), 1);
    CaptureParms read;
    EXPECT_EQ(service.getSequenceSetup(window, sizeof read, &read), 1);
    EXPECT_EQ(read.wTimeLimit, 12u);
    EXPECT_EQ(read.fYield, -1);
    EXPECT_EQ(service.getSequenceSetup(window, 3, &read), 0) << "a wrong size is refused";
}

TEST_F(ServiceTest, CamerasComeFromTheDeviceMonitor)
{
    registerFakeCameraProvider();
    use(nullptr);
    char name[80], version[100];
    ASSERT_EQ(service.driverConnect(window, 0), 1) << errorsReported();
    ASSERT_TRUE(service.driverDescription(0, name, sizeof name, version, sizeof version));
    EXPECT_STREQ(name, "Fake Camera");
    EXPECT_FALSE(grabbed().isNull());
}

TEST_F(ServiceTest, FormatDialogRenegotiates)
{
    use("Bars|videotestsrc is-live=true");
    ASSERT_EQ(service.driverConnect(window, 0), 1) << errorsReported();
    const FormatChoices choices = formatChoices(window->pipeline()->offeredCaps().get());
    ASSERT_FALSE(choices.sizes.empty());
    const QSize before = grabbed().size();
    whenModalOpens([](QWidget* dialog) { static_cast<QDialog*>(dialog)->accept(); });
    EXPECT_EQ(service.dlgVideoFormat(window), 1);
    EXPECT_EQ(grabbed().size(), before) << "OK alone keeps the format " << errorsReported();
    EXPECT_TRUE(errorsReported().empty()) << errorsReported();

    whenModalOpens([](QWidget* dialog) {
        auto* sizes = dialog->findChild<QComboBox*>("sizes");
        auto* formats = dialog->findChild<QComboBox*>("formats");
        ASSERT_TRUE(sizes && formats);
        sizes->setCurrentText("160 x 120");
        formats->setCurrentText("YUV 4:2:0 (I420)");
        static_cast<QDialog*>(dialog)->accept();
    });
    EXPECT_EQ(service.dlgVideoFormat(window), 1);
    EXPECT_EQ(grabbed().size(), QSize(160, 120)) << errorsReported();
    EXPECT_TRUE(std::any_of(reports.begin(), reports.end(), [](const auto& r) {
        return r.id == statusChangingFormat && r.text.find("the watching goes on") != std::string::npos;
    })) << "the status line says why the picture stops: " << texts();
}

TEST_F(ServiceTest, SourceAndDisplayDialogsChangeThePicture)
{
    use("Gray|videotestsrc pattern=solid-color foreground-color=0xff808080 is-live=true ! video/x-raw,format=RGBx,width=16,height=16");
    ASSERT_EQ(service.driverConnect(window, 0), 1) << errorsReported();
    const int before = qRed(grabbed().pixel(5, 5));
    whenModalOpens([](QWidget* dialog) {
        auto sliders = dialog->findChildren<QSlider*>();
        ASSERT_FALSE(sliders.empty());
        for (QSlider* s : sliders)
            if (s->objectName().contains("BRIGHTNESS", Qt::CaseInsensitive))
                s->setValue(s->maximum());
        static_cast<QDialog*>(dialog)->accept();
    });
    EXPECT_EQ(service.dlgVideoSource(window), 1);
    QTest::qWait(150); // frames taken before the change are not the point here
    grabbed();
    EXPECT_GT(qRed(grabbed().pixel(5, 5)), before + 50);

    window->setScale(false);
    whenModalOpens([](QWidget* dialog) {
        dialog->findChild<QRadioButton*>("scaled")->setChecked(true);
        static_cast<QDialog*>(dialog)->accept();
    });
    EXPECT_EQ(service.dlgVideoDisplay(window), 1);
    EXPECT_TRUE(window->scale());
}

TEST_F(ServiceTest, FailedSourceKeepsItsReasonInTheStatusLine)
{
    use("Gone|filesrc location=/no/such/file.avi ! decodebin");
    EXPECT_EQ(service.driverConnect(window, 0), 0);
    ASSERT_FALSE(reports.empty());
    const std::string reason = reports.back().text;
    EXPECT_EQ(reason.rfind("Gone: ", 0), 0u) << reason;
    // What the session does next must not paint over the reason.
    for (auto message : {&GstCaptureService::setOverlay, &GstCaptureService::setPreview}) {
        (service.*message)(window, 1);
        EXPECT_EQ(reports.back().text, reason);
    }
    EXPECT_EQ(service.grabFrame(window), 0);
    EXPECT_EQ(service.dlgVideoSource(window), 0);
    EXPECT_EQ(reports.back().text, "Video Source cannot open: " + reason);
}

TEST_F(ServiceTest, WithoutCamerasTheScanRunsOnceAndSaysNoCamera)
{
    registerFakeCameraProvider();
    setFakeCameraCount(0);
    use(nullptr);
    int before = fakeCameraProbes();
    EXPECT_EQ(service.driverConnect(window, 0), 0);
    const int perScan = fakeCameraProbes() - before;
    ASSERT_GT(perScan, 0);

    // The session's scan: connect 0 to 9, then describe.
    before = fakeCameraProbes();
    char name[80], version[100];
    for (std::uint16_t index = 0; index < 10; ++index)
        EXPECT_EQ(service.driverConnect(window, index), 0);
    for (std::uint16_t index = 0; index < 10; ++index)
        EXPECT_FALSE(service.driverDescription(index, name, sizeof name, version, sizeof version));
    EXPECT_EQ(fakeCameraProbes() - before, perScan) << "one device monitor run per scan";

    service.setOverlay(window, 1);
    EXPECT_EQ(reports.back().id, statusNoDriver);
    EXPECT_EQ(reports.back().text, "No camera");
    service.setPreview(window, 1);
    EXPECT_EQ(reports.back().text, "No camera");
    EXPECT_EQ(service.dlgVideoFormat(window), 0);
    EXPECT_EQ(reports.back().text, "Video Format cannot open: No camera");
    setFakeCameraCount(1);
}

TEST_F(ServiceTest, SourceThatNeverAnswersIsGivenUpWhileTheWindowKeepsRunning)
{
    const SilentFifo fifo;
    ASSERT_TRUE(fifo.made);
    use(fifo.source().c_str());
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);
    EXPECT_EQ(service.driverConnect(window, 0), 0);
    EXPECT_GT(ticks, 10) << "the GUI's events are handled while the source is waited for";
    ASSERT_FALSE(reports.empty());
    EXPECT_NE(reports.back().text.find("No frames arrive"), std::string::npos) << texts();
    EXPECT_EQ(window->pipeline(), nullptr);
    service.setPreview(window, 1);
    EXPECT_NE(reports.back().text, "Live window");
}

TEST_F(ServiceTest, ClosingTheWindowEndsAWaitForTheSource)
{
    const SilentFifo fifo;
    ASSERT_TRUE(fifo.made);
    use(fifo.source().c_str());
    CaptureWindow* connecting = window;
    bool late = false;
    QTimer closing, lateness;
    closing.setSingleShot(true);
    lateness.setSingleShot(true);
    QObject::connect(&closing, &QTimer::timeout, [&] {
        service.destroyWindow(window);
        window = nullptr;
    });
    // Far later than the wait should end, far sooner than the source is given up.
    QObject::connect(&lateness, &QTimer::timeout, [&] { late = true; });
    closing.start(50);
    lateness.start(2500);
    EXPECT_EQ(service.driverConnect(connecting, 0), 0);
    EXPECT_EQ(window, nullptr);
    EXPECT_FALSE(late);
    EXPECT_FALSE(waitingOnSource());
}

TEST_F(ServiceTest, FileOfOneSizeRunsInEverySizeTheFormatDialogOffers)
{
    const Clip clip(768, 576, 20, 25);
    use(("Hall|filesrc location=" + clip.path + " ! decodebin").c_str());
    ASSERT_EQ(service.driverConnect(window, 0), 1) << errorsReported();
    EXPECT_EQ(grabbed().size(), QSize(768, 576));

    QStringList sizes, formats;
    QString currentSize;
    whenModalOpens([&](QWidget* dialog) {
        auto* sizeBox = dialog->findChild<QComboBox*>("sizes");
        auto* formatBox = dialog->findChild<QComboBox*>("formats");
        ASSERT_TRUE(sizeBox && formatBox);
        for (int i = 0; i < sizeBox->count(); ++i)
            sizes << sizeBox->itemText(i);
        for (int i = 0; i < formatBox->count(); ++i)
            formats << formatBox->itemText(i);
        currentSize = sizeBox->currentText();
        sizeBox->setCurrentText("320 x 240");
        static_cast<QDialog*>(dialog)->accept();
    });
    EXPECT_EQ(service.dlgVideoFormat(window), 1);
    EXPECT_EQ(currentSize, "768 x 576") << "the size the source runs at is offered and chosen";
    EXPECT_TRUE(sizes.contains("320 x 240") && sizes.contains("1920 x 1080")) << sizes.join(", ").toStdString();
    EXPECT_TRUE(formats.contains("YUV 4:2:0 (I420)")) << formats.join(", ").toStdString();
    for (const QString& format : formats)
        EXPECT_FALSE(format.contains("video/")) << format.toStdString();
    EXPECT_EQ(grabbed().size(), QSize(320, 240)) << texts();
    EXPECT_TRUE(errorsReported().empty()) << errorsReported();
}

TEST_F(ServiceTest, FormatChangeWhoseRestoreFailsStopsTheSourceAndSaysSo)
{
    auto clip = std::make_unique<Clip>(64, 48, 20, 25);
    use(("Hall|filesrc location=" + clip->path + " ! decodebin").c_str());
    ASSERT_EQ(service.driverConnect(window, 0), 1) << errorsReported();
    ASSERT_FALSE(grabbed().isNull());
    clip.reset(); // the file is gone: neither the new format nor the old one can start
    whenModalOpens([](QWidget* dialog) {
        dialog->findChild<QComboBox*>("sizes")->setCurrentText("320 x 240");
        static_cast<QDialog*>(dialog)->accept();
    });
    EXPECT_EQ(service.dlgVideoFormat(window), 1);
    ASSERT_FALSE(reports.empty());
    const std::string stopped = reports.back().text;
    EXPECT_NE(stopped.find("the video source is stopped"), std::string::npos) << texts();
    EXPECT_EQ(window->source().state(), LiveSource::State::Stopped);
    // Grabs fail at once and repeat why; the window never claims to be live.
    EXPECT_EQ(service.grabFrame(window), 0);
    EXPECT_EQ(reports.back().text, stopped);
    service.setPreview(window, 1);
    EXPECT_EQ(reports.back().text, stopped);
}

TEST(FormatChoices, ListsAndRanges)
{
    gst_init(nullptr, nullptr);
    gst::Caps caps(gst_caps_from_string(
        "video/x-raw, format=(string){ YUY2, NV12 }, width=(int)640, height=(int)480, framerate=(fraction){ 30/1, 15/1 }; "
        "image/jpeg, width=(int)[ 100, 700 ], height=(int)[ 100, 500 ], framerate=(fraction)[ 1/1, 25/1 ]"));
    const FormatChoices c = formatChoices(caps.get());
    EXPECT_EQ(c.formats, (std::vector<std::string>{"video/x-raw, format=YUY2", "video/x-raw, format=NV12", "image/jpeg"}));
    using Size = FormatChoices::Size;
    EXPECT_EQ(c.sizes, (std::vector<Size>{{160, 120}, {176, 144}, {320, 240}, {352, 288}, {640, 360}, {640, 480}}));
    using Rate = FormatChoices::Rate;
    EXPECT_EQ(c.rates, (std::vector<Rate>{{5, 1}, {10, 1}, {15, 1}, {20, 1}, {25, 1}, {30, 1}}));
    EXPECT_TRUE(formatChoices(nullptr).sizes.empty());

    gst::Caps now(gst_caps_from_string("video/x-raw, format=(string)NV12, width=(int)640, height=(int)480, "
                                       "framerate=(fraction)15/1"));
    const FormatIndices at = formatIndices(c, now.get());
    EXPECT_EQ(at.format, 1);
    EXPECT_EQ(at.size, 5);
    EXPECT_EQ(at.rate, 2);
    EXPECT_EQ(formatIndices(c, nullptr).format, -1);

    // What the source runs at is offered even where the offered caps leave it out.
    gst::Caps hall(gst_caps_from_string("video/x-raw, format=(string)YUY2, width=(int)768, height=(int)576, "
                                        "framerate=(fraction)25/2"));
    const FormatChoices withHall = formatChoices(caps.get(), hall.get());
    EXPECT_EQ(withHall.sizes.back(), (Size{768, 576}));
    EXPECT_NE(std::find(withHall.rates.begin(), withHall.rates.end(), Rate{25, 2}), withHall.rates.end());
    EXPECT_EQ(formatIndices(withHall, hall.get()).size, int(withHall.sizes.size()) - 1);

    EXPECT_EQ(formatLabel("video/x-raw, format=I420"), "YUV 4:2:0 (I420)");
    EXPECT_EQ(formatLabel("image/jpeg"), "Motion JPEG");
    EXPECT_NE(formatLabel("video/x-raw, format=v210").find("(v210)"), std::string::npos) << "described by GStreamer";
}
