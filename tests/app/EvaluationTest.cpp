#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QMimeData>
#include <QStatusBar>
#include <QToolButton>
#include <QtTest/QTest>
#include <gtest/gtest.h>
#include <unistd.h>

#include "../support/ModalBox.h"
#include "Beep.h"
#include "DiskSpace.h"
#include "DirectionUnit.h"
#include "EventLog.h"
#include "EventWatcher.h"
#include "FrameClipboard.h"
#include "ImageFormUnit.h"
#include "MainVideo.h"
#include "PictureView.h"
#include "RepeatTimer.h"
#include "Session.h"
#include "SpinEdit.h"
#include "VideoCap.h"

using namespace app;

namespace fs = std::filesystem;

namespace {

// A 320 x 240 gray frame of level 100 in which `brighter` pixels (from the top-left,
// row by row) are at 121 and `darker` pixels (from the bottom-right back) at 79.
QImage frame(int brighter, int darker = 0, int width = 320, int height = 240)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(100, 100, 100));
    for (int i = 0; i < brighter; ++i)
        image.setPixel(i % width, i / width, qRgb(121, 121, 121));
    for (int i = 0; i < darker; ++i)
        image.setPixel(width - 1 - i % width, height - 1 - i / width, qRgb(79, 79, 79));
    return image;
}

void onClipboard(const QImage& image)
{
    platform::frameClipboard().setImage(image);
}

// The program in a fresh working directory, without a capture session: each
// evaluation compares whatever the test put on the clipboard.
class Evaluation : public ::testing::Test {
protected:
    void SetUp() override
    {
        directory = fs::temp_directory_path() / ("evaluation-" + std::to_string(getpid()));
        fs::remove_all(directory);
        fs::create_directories(directory / "images");
        previous = fs::current_path();
        fs::current_path(directory);
        video = std::make_unique<TVideo>();
    }
    void TearDown() override
    {
        video.reset();
        fs::current_path(previous);
        fs::remove_all(directory);
        unsetenv("CAPTURE_SOURCES");
    }
    void evoluteOne() { QTest::mouseClick(video->SpeedButton12, Qt::LeftButton); }
    // The saved frames; the records of events kept beside them do not count.
    int savedFiles() const
    {
        if (!fs::exists("images"))
            return 0;
        return int(std::count_if(fs::directory_iterator("images"), fs::directory_iterator(),
                                 [](const fs::directory_entry& e) { return e.path().extension() == ".bmp"; }));
    }
    QString readouts() const { return video->PixNumLab->text() + " " + video->PercentLab->text(); }

    fs::path directory, previous;
    std::unique_ptr<TVideo> video;
    ModalWatcher boxes;
};

} // namespace

TEST_F(Evaluation, DefaultSettingsBeepAndSaveAbove400)
{
    video->BeepOMBox->setChecked(true);
    video->SaveOMBox->setChecked(true);
    onClipboard(frame(0));
    evoluteOne(); // only sets the reference
    const auto beeps = platform::beepsSoFar();
    onClipboard(frame(401));
    evoluteOne();
    EXPECT_EQ(readouts(), "401 0");
    EXPECT_EQ(platform::beepsSoFar(), beeps + 1);
    EXPECT_EQ(savedFiles(), 1);
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join("; ").toStdString();
}

TEST_F(Evaluation, TotalEqualToTheMinimumNeitherBeepsNorSaves)
{
    video->BeepOMBox->setChecked(true);
    video->SaveOMBox->setChecked(true);
    video->MinMoveSpinBox->setValue(1000);
    onClipboard(frame(0));
    evoluteOne();
    const auto beeps = platform::beepsSoFar();
    onClipboard(frame(600, 400)); // N = 1000
    evoluteOne();
    EXPECT_EQ(readouts(), "1000 1");
    EXPECT_EQ(platform::beepsSoFar(), beeps);
    EXPECT_EQ(savedFiles(), 0);
    onClipboard(frame(0)); // back again: N = 1000
    evoluteOne();
    EXPECT_EQ(platform::beepsSoFar(), beeps);
    onClipboard(frame(601, 400)); // N = 1001
    evoluteOne();
    EXPECT_EQ(readouts(), "1001 1");
    EXPECT_EQ(platform::beepsSoFar(), beeps + 1);
    EXPECT_EQ(savedFiles(), 1);
}

TEST_F(Evaluation, UncheckedBoxesStillUpdateEverything)
{
    onClipboard(frame(0));
    evoluteOne();
    const auto beeps = platform::beepsSoFar();
    onClipboard(frame(640, 640)); // rows 0-1 brighten, rows 238-239 darken
    evoluteOne();
    EXPECT_EQ(readouts(), "1280 1");
    EXPECT_EQ(video->ImageForm->picture().size(), QSize(320, 240));
    EXPECT_EQ(video->ImageForm->picture().pixel(100, 100), qRgb(255, 255, 255));
    EXPECT_EQ(video->ImageForm->picture().pixel(300, 0), qRgb(149, 0, 0));
    // Bright centre (159, 0), dark centre (160, 238): centre (159, 119); from (50, 50).
    EXPECT_EQ(video->DirectionForm->LineEnd, (analysis::Point{50 - 159, 50 - 119}));
    EXPECT_EQ(platform::beepsSoFar(), beeps);
    EXPECT_EQ(savedFiles(), 0);
    evoluteOne(); // the same frame again: the reference advanced, nothing changed
    EXPECT_EQ(readouts(), "0 0");
}

TEST_F(Evaluation, MissingImagesDirectoryShowsTheErrorOncePerMovingCycle)
{
    fs::remove_all("images");
    video->SaveOMBox->setChecked(true);
    onClipboard(frame(0));
    evoluteOne();
    EXPECT_EQ(readouts(), "0 0");
    onClipboard(frame(500));
    evoluteOne();
    ASSERT_EQ(boxes.texts.size(), 1);
    const QStringList lines = boxes.texts[0].split('\n');
    ASSERT_EQ(lines.size(), 2) << boxes.texts[0].toStdString();
    EXPECT_TRUE(lines[0].startsWith("Cannot create file images/")) << boxes.texts[0].toStdString();
    EXPECT_TRUE(lines[0].endsWith(".bmp.")) << "the period the box adds";
    EXPECT_EQ(lines[1], "No such file or directory.") << "the system's reason";
    EXPECT_EQ(readouts(), "0 0") << "the readouts keep their values";
    onClipboard(frame(500));
    evoluteOne(); // nothing moved against the new reference: no save, no box
    EXPECT_EQ(boxes.texts.size(), 1);
    onClipboard(frame(0));
    evoluteOne();
    EXPECT_EQ(boxes.texts.size(), 2);
    EXPECT_EQ(savedFiles(), 0);
}

TEST_F(Evaluation, FailedSaveStopsAutoBeforeTheBoxShows)
{
    fs::remove_all("images");
    std::ofstream("images") << "a file where the folder should be";
    video->SaveOMBox->setChecked(true);
    video->MinMoveSpinBox->setValue(-1); // every compared cycle is movement, and fails to save
    video->CapSpeedSpinBox->setValue(1);
    // Auto starts the video it compares.
    setenv("CAPTURE_SOURCES", "Test|videotestsrc is-live=true ! video/x-raw,width=320,height=240", 1);
    onClipboard(frame(0));
    evoluteOne();
    std::vector<bool> autoOnWithBox;
    std::vector<QColor> captionWithBox;
    boxes.look = [&](QWidget*) {
        autoOnWithBox.push_back(video->Timer1->enabled());
        captionWithBox.push_back(video->AutoBut->palette().color(QPalette::ButtonText));
    };
    QTest::mouseClick(video->AutoBut, Qt::LeftButton);
    for (int waited = 0; boxes.texts.isEmpty() && waited < 5000; waited += 10)
        QTest::qWait(10);
    QTest::qWait(100); // time for further ticks, were there any
    boxes.look = nullptr;
    ASSERT_EQ(boxes.texts.size(), 1) << boxes.texts.join("; ").toStdString();
    EXPECT_EQ(autoOnWithBox, std::vector<bool>{false}) << "Auto still ran while the box showed";
    EXPECT_EQ(captionWithBox, std::vector<QColor>{QColor(0, 0, 0)});
    EXPECT_TRUE(boxes.texts[0].endsWith("\nNot a directory.")) << boxes.texts[0].toStdString();
    EXPECT_FALSE(video->Timer1->enabled());
}

TEST_F(Evaluation, FullDiskSkipsSavesToldOnceInTheStatusLineWithoutABoxAndAutoGoesOn)
{
    // A disk with nothing free: no save can keep its floor of free space.
    video->session()->events().setDiskSpaceProbe(
        [](const std::string&) { return events::DiskSpace{0, std::int64_t(8) << 30}; });
    QStringList told;
    QObject::connect(video->session(), &watch::Session::statusText, [&](const QString& text) { told << text; });
    video->SaveOMBox->setChecked(true);
    video->MinMoveSpinBox->setValue(-1); // every compared cycle is movement
    video->CapSpeedSpinBox->setValue(1);
    // Auto starts the video it compares.
    setenv("CAPTURE_SOURCES", "Test|videotestsrc is-live=true ! video/x-raw,width=320,height=240", 1);
    onClipboard(frame(0));
    evoluteOne();
    QTest::mouseClick(video->AutoBut, Qt::LeftButton);
    const int from = video->evaluations();
    ASSERT_TRUE(QTest::qWaitFor([&] { return video->evaluations() >= from + 20; }, 60000));
    EXPECT_TRUE(video->Timer1->enabled()) << "Auto goes on";
    EXPECT_EQ(boxes.texts.size(), 0) << boxes.texts.join("; ").toStdString();
    EXPECT_EQ(savedFiles(), 0);
    EXPECT_EQ(told.filter("The save folder is full").size(), 1) << told.join("; ").toStdString();
    EXPECT_TRUE(video->statusBar()->currentMessage().startsWith("The save folder is full"))
        << video->statusBar()->currentMessage().toStdString();
    QTest::mouseClick(video->AutoBut, Qt::LeftButton);
}

TEST_F(Evaluation, RefusedComparisonNeverBeepsOrSaves)
{
    video->BeepOMBox->setChecked(true);
    video->SaveOMBox->setChecked(true);
    video->MinMoveSpinBox->setValue(-1);
    const auto beeps = platform::beepsSoFar();
    platform::frameClipboard().clear();
    evoluteOne(); // no reference, no frame
    onClipboard(frame(0));
    evoluteOne(); // no reference
    onClipboard(frame(0, 0, 160, 120));
    evoluteOne(); // another size
    EXPECT_EQ(readouts(), "0 0");
    EXPECT_EQ(platform::beepsSoFar(), beeps);
    EXPECT_EQ(savedFiles(), 0);
    evoluteOne(); // compared: nothing changed, yet more than -1
    EXPECT_EQ(platform::beepsSoFar(), beeps + 1);
    EXPECT_EQ(savedFiles(), 1);
}

TEST_F(Evaluation, FirstFrameAfterAReconnectOnlySetsTheReference)
{
    video->BeepOMBox->setChecked(true);
    video->SaveOMBox->setChecked(true);
    auto fromStream = [](QImage image, const char* stream) {
        image.setText("stream", stream);
        return image;
    };
    onClipboard(fromStream(frame(0), "1"));
    evoluteOne();
    const auto beeps = platform::beepsSoFar();
    onClipboard(fromStream(frame(5000, 5000), "2")); // the source came back with another picture
    evoluteOne();
    EXPECT_EQ(readouts(), "0 0");
    EXPECT_EQ(platform::beepsSoFar(), beeps);
    EXPECT_EQ(savedFiles(), 0);
    onClipboard(fromStream(frame(0), "2"));
    evoluteOne();
    EXPECT_EQ(readouts(), "10000 13");
    EXPECT_EQ(platform::beepsSoFar(), beeps + 1);
    EXPECT_EQ(savedFiles(), 1);
}

TEST_F(Evaluation, OneChangedPixelOfALargeFrameStaysVisibleInTheMovementWindow)
{
    for (QSize size : {QSize(640, 480), QSize(1920, 1080), QSize(1283, 961)}) {
        QImage still(size, QImage::Format_RGB32);
        still.fill(QColor(100, 100, 100));
        onClipboard(still);
        evoluteOne();
        QImage moved = still;
        const QPoint speck(size.width() * 2 / 3, size.height() / 3);
        moved.setPixel(speck, qRgb(200, 200, 200));
        onClipboard(moved);
        evoluteOne();
        ASSERT_EQ(readouts().section(' ', 0, 0), "1");
        PictureView* view = video->ImageForm->Image;
        const QRect where = view->pictureRect();
        const QImage shown = view->grab().toImage().convertToFormat(QImage::Format_RGB32).copy(where);
        int tinted = 0;
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x)
                tinted += shown.pixel(x, y) != qRgb(255, 255, 255);
        EXPECT_GT(tinted, 0) << size.width() << "x" << size.height() << ": the speck is gone";
        EXPECT_LT(tinted, 10) << size.width() << "x" << size.height();
    }
}

TEST_F(Evaluation, TheMovementWindowShowsEachCyclesPictureInOnePicturesMemory)
{
    onClipboard(frame(0));
    evoluteOne();
    const uchar* memory = nullptr;
    // Row 1 brightens as the second row of brighter pixels comes, and darkens as it goes.
    const struct {
        int brighter;
        QRgb row1;
    } cycles[] = {{320, qRgb(255, 255, 255)}, {640, qRgb(149, 0, 0)}, {0, qRgb(0, 0, 149)}, {320, qRgb(255, 255, 255)}};
    for (const auto& cycle : cycles) {
        onClipboard(frame(cycle.brighter));
        evoluteOne();
        const QImage shown = video->ImageForm->picture();
        ASSERT_EQ(shown.size(), QSize(320, 240));
        EXPECT_EQ(shown.pixel(5, 1), cycle.row1) << cycle.brighter;
        if (memory) {
            EXPECT_EQ(shown.constBits(), memory) << "the cycle took a second picture's memory";
        }
        memory = shown.constBits();
    }
}

TEST_F(Evaluation, EmptyClipboardThenGoodFrames)
{
    platform::frameClipboard().clear();
    evoluteOne();
    onClipboard(frame(0));
    evoluteOne(); // the reference was empty: this one only sets it
    EXPECT_EQ(readouts(), "0 0");
    onClipboard(frame(700));
    evoluteOne();
    EXPECT_EQ(readouts(), "700 0");
    EXPECT_TRUE(boxes.texts.isEmpty());
}

TEST_F(Evaluation, SavedFileIsTheGrabbedFrame)
{
    video->SaveOMBox->setChecked(true);
    onClipboard(frame(0));
    evoluteOne();
    QImage moved = frame(900);
    for (int x = 0; x < 320; ++x)
        moved.setPixel(x, 200, qRgb(x % 256, 255 - x % 256, (3 * x) % 256));
    onClipboard(moved);
    evoluteOne();
    ASSERT_EQ(savedFiles(), 1);
    fs::path file;
    for (const fs::directory_entry& e : fs::directory_iterator("images"))
        if (e.path().extension() == ".bmp")
            file = e.path();
    const QImage read(QString::fromStdString(file.string()));
    ASSERT_EQ(read.size(), moved.size());
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x)
            ASSERT_EQ(read.pixel(x, y), moved.pixel(x, y)) << x << "," << y;
}

TEST_F(Evaluation, PercentageOfTheRealFrameSize)
{
    onClipboard(frame(0, 0, 640, 480));
    evoluteOne();
    onClipboard(frame(640 * 480, 0, 640, 480));
    evoluteOne();
    EXPECT_EQ(readouts(), "307200 100");
    onClipboard(frame(0, 0, 320, 240));
    evoluteOne(); // a new size only sets the reference
    EXPECT_EQ(readouts(), "0 0");
    onClipboard(frame(767));
    evoluteOne();
    EXPECT_EQ(readouts(), "767 0");
    onClipboard(frame(768 + 767, 0)); // 768 more brightened
    evoluteOne();
    EXPECT_EQ(readouts(), "768 1");
}

TEST_F(Evaluation, ThresholdIsReadWithinTheBoxBounds)
{
    onClipboard(frame(0));
    evoluteOne();
    video->VariatLimitSpinBox->setValue(300); // as typed, before the box loses the focus
    QImage strong = frame(0);
    for (int x = 0; x < 10; ++x)
        strong.setPixel(x, 0, qRgb(255, 255, 255)); // d = 155
    onClipboard(strong);
    evoluteOne();
    EXPECT_EQ(readouts(), "0 0") << "300 acts as 255, not as its low eight bits (44)";
    video->VariatLimitSpinBox->setValue(-5);
    QImage slight = frame(0);
    for (int x = 0; x < 50; ++x)
        slight.setPixel(x, 100, qRgb(101, 101, 101)); // d = 1
    onClipboard(slight);
    evoluteOne();
    EXPECT_EQ(readouts(), "60 0") << "-5 acts as 0 (not as 251): the 10 that darkened and the 50 that brightened by 1";
}

TEST_F(Evaluation, ClipboardThatAnnouncesAnImageButHasNone)
{
    platform::frameClipboard().setDesktopClipboard(true);
    onClipboard(frame(0));
    evoluteOne();
    auto* data = new QMimeData;
    data->setData("application/x-qt-image", "not an image");
    QGuiApplication::clipboard()->setMimeData(data);
    evoluteOne();
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_EQ(boxes.texts[0], "Unsupported clipboard format.");
    onClipboard(frame(300));
    evoluteOne();
    EXPECT_EQ(readouts(), "300 0") << "the reference survived the failed cycle";
    platform::frameClipboard().setDesktopClipboard(false);
}

TEST_F(Evaluation, EveryImageFormatAndOddSizes)
{
    for (int f = QImage::Format_Mono; f < QImage::NImageFormats; ++f) {
        const auto format = static_cast<QImage::Format>(f);
        QImage image = frame(40, 40, 37, 23).convertToFormat(format);
        if (image.isNull())
            continue;
        onClipboard(image);
        evoluteOne();
        EXPECT_EQ(video->ReferenceFrame->width(), 37) << "format " << f;
        EXPECT_EQ(video->ReferenceFrame->height(), 23) << "format " << f;
    }
    for (QSize size : {QSize(1, 1), QSize(1, 4000), QSize(4000, 1), QSize(33, 7), QSize(7680, 4320), QSize(1, 1)}) {
        QImage image(size, QImage::Format_ARGB32);
        image.fill(qRgba(10, 200, 30, 128));
        onClipboard(image);
        evoluteOne();
        EXPECT_EQ(video->ReferenceFrame->width(), size.width());
        EXPECT_EQ(video->ReferenceFrame->height(), size.height());
    }
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join("; ").toStdString();
    onClipboard(QImage()); // an image that is no image: refused, the reference kept
    evoluteOne();
    EXPECT_EQ(boxes.texts, QStringList{"Unsupported clipboard format."});
    EXPECT_EQ(video->ReferenceFrame->width(), 1);
}

TEST_F(Evaluation, StartVideoThenEvoluteOneShowsTheLiveMovement)
{
    setenv("CAPTURE_SOURCES", "Snow|videotestsrc pattern=snow is-live=true ! video/x-raw,width=320,height=240", 1);
    QTest::mouseClick(video->SpeedButton3, Qt::LeftButton);
    ASSERT_NE(capWindow(), nullptr);
    EXPECT_FALSE(video->ReferenceFrame->empty()) << "Start Video takes the first reference";
    evoluteOne();
    EXPECT_NE(video->PixNumLab->text(), "0123456");
    EXPECT_GT(video->PixNumLab->text().toInt(), 10000) << "snow changes most pixels";
    EXPECT_EQ(video->ImageForm->picture().size(), QSize(320, 240));
    EXPECT_NE(video->DirectionForm->LineEnd, (analysis::Point{0, 0}));
    EXPECT_EQ(video->ReferenceFrame->width(), 320);
    QTest::mouseClick(video->SpeedButton7, Qt::LeftButton);
    EXPECT_EQ(capWindow(), nullptr);
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join("; ").toStdString();
}

TEST(AutomaticEvaluation, TicksGoOnWhileAModalWindowIsOpen)
{
    setenv("CAPTURE_SOURCES", "Test|videotestsrc is-live=true ! video/x-raw,width=320,height=240", 1);
    TVideo video;
    video.CapSpeedSpinBox->setValue(1);
    QTest::mouseClick(video.AutoBut, Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return video.evaluations() > 0; }, 20000));

    QMessageBox box;
    int duringBox = -1;
    QTimer::singleShot(0, [&] {
        const int before = video.evaluations();
        QTimer::singleShot(100, [&, before] {
            duringBox = video.evaluations() - before;
            box.close();
        });
    });
    box.exec();
    EXPECT_GT(duringBox, 0) << "a question never stops the watching";
    QTest::mouseClick(video.AutoBut, Qt::LeftButton);
    unsetenv("CAPTURE_SOURCES");
}

TEST_F(Evaluation, MovementSavedOnMoveIsKeptAsAnEventEndedOnClose)
{
    onClipboard(frame(0));
    evoluteOne();
    onClipboard(frame(900));
    evoluteOne();
    EXPECT_FALSE(fs::exists("images/events.sqlite")) << "no records without Save On Move";

    video->SaveOMBox->setChecked(true);
    onClipboard(frame(0, 500));
    evoluteOne();
    ASSERT_TRUE(video->eventWatcher()->eventOpen());
    onClipboard(frame(2000));
    evoluteOne();
    video->close();

    std::string error;
    const auto log = events::EventLog::open("images/events.sqlite", error);
    ASSERT_TRUE(log) << error;
    const std::vector<events::Event> list = log->events(0, 10);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_TRUE(list[0].ended && !list[0].interrupted);
    EXPECT_EQ(list[0].movingCycles, 2);
    EXPECT_EQ(list[0].peakCount, 2500);
    EXPECT_EQ(QImage(QString::fromStdString(list[0].thumbnail)).width(), 160);
}

TEST_F(Evaluation, LiveMovementSavedOnMoveLeavesAWholeClip)
{
    setenv("CAPTURE_SOURCES", "Snow|videotestsrc pattern=snow is-live=true ! video/x-raw,width=320,height=240", 1);
    video->SaveOMBox->setChecked(true);
    QTest::mouseClick(video->SpeedButton3, Qt::LeftButton);
    ASSERT_NE(capWindow(), nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return video->eventWatcher()->bufferedFrames() >= 10; }, 20000))
        << "the source's frames reach the pre-event buffer";
    evoluteOne();
    ASSERT_TRUE(video->eventWatcher()->eventOpen()) << "snow is movement";
    QTest::qWait(200);
    video->close(); // the open event ends and its clip is written

    std::string error;
    const auto log = events::EventLog::open("images/events.sqlite", error);
    ASSERT_TRUE(log) << error;
    const std::vector<events::Event> list = log->events(0, 10);
    ASSERT_EQ(list.size(), 1u);
    ASSERT_FALSE(list[0].clip.empty());
    EXPECT_GT(fs::file_size(list[0].clip), 1000u);
    for (const fs::directory_entry& e : fs::directory_iterator("images"))
        EXPECT_FALSE(e.path().filename().string().ends_with(".part")) << e.path();
}
