// The main window's commands from menus and keys, the edges of its spin boxes, the
// secondary windows' sizes, pictures and icon, and the window's end as the session's end.

#include <climits>
#include <cstdlib>

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>
#include <QToolButton>
#include <QWheelEvent>
#include <QWindow>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include "../support/ModalBox.h"
#include "CameraMenu.h"
#include "CaptureDrivers.h"
#include "CaptureWindow.h"
#include "DetectionControl.h"
#include "DirectionUnit.h"
#include "EventsWindow.h"
#include "FrameClipboard.h"
#include "ImageFormUnit.h"
#include "MainVideo.h"
#include "PictureView.h"
#include "RepeatTimer.h"
#include "SpinEdit.h"
#include "VideoCap.h"
#include "VideoFormUnit.h"

using namespace app;

namespace {

// A live test source for the capture session while it lives.
struct TestSource {
    TestSource() { setenv("CAPTURE_SOURCES", "Test|videotestsrc is-live=true ! video/x-raw,width=320,height=240", 1); }
    ~TestSource() { unsetenv("CAPTURE_SOURCES"); }
};

void activate(QWidget& window)
{
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
}

// Closes the menu a mnemonic opened, so the next key goes to the window again.
void closePopups()
{
    while (QWidget* popup = QApplication::activePopupWidget())
        popup->close();
}

} // namespace

TEST(Commands, DestroyingTheMainWindowEndsTheSessionAsClosingDoes)
{
    TestSource source;
    auto video = std::make_unique<TVideo>();
    QTest::mouseClick(video->SpeedButton3, Qt::LeftButton);
    ASSERT_NE(capWindow(), nullptr);
    bool sessionOpenWhenWindowsWent = true;
    QObject::connect(video->VideoForm, &QObject::destroyed, [&] { sessionOpenWhenWindowsWent = capWindow() != nullptr; });
    video.reset();
    EXPECT_FALSE(sessionOpenWhenWindowsWent);
    EXPECT_EQ(capWindow(), nullptr);
}

TEST(Commands, WindowItemsShowAndRaiseTheirWindows)
{
    TVideo video;
    video.show();
    const struct {
        QAction* item;
        QWidget* window;
    } items[] = {{video.LiveVideoWindow1, video.VideoForm},
                 {video.MovementWindow1, video.ImageForm},
                 {video.DirectionWindow1, video.DirectionForm}};
    for (const auto& [item, window] : items) {
        window->close();
        ASSERT_FALSE(window->isVisible());
        item->trigger();
        EXPECT_TRUE(window->isVisible()) << item->text().toStdString();
        window->showMinimized();
        item->trigger();
        EXPECT_FALSE(window->isMinimized()) << item->text().toStdString();
    }
}

TEST(Commands, StartStopAndQuitItemsDoWhatTheirButtonsDo)
{
    TestSource source;
    TVideo video;
    video.show();
    video.Start1->trigger();
    ASSERT_NE(capWindow(), nullptr);
    EXPECT_FALSE(video.ReferenceFrame->empty()) << "Start takes the first reference as the button does";
    video.Stop1->trigger();
    EXPECT_EQ(capWindow(), nullptr);
    video.Start1->trigger();
    video.Quit1->trigger();
    EXPECT_FALSE(video.isVisible());
    EXPECT_EQ(capWindow(), nullptr);
    EXPECT_EQ(video.VideoForm, nullptr);
}

TEST(Commands, CopyFramePutsTheLastGrabOnTheDesktopClipboard)
{
    QGuiApplication::clipboard()->setText("the user's text");
    platform::frameClipboard().clear();
    TestSource source;
    TVideo video;
    video.CopyFrame1->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "the user's text") << "nothing grabbed yet";
    EXPECT_FALSE(video.statusBar()->currentMessage().isEmpty()) << "says why nothing was copied";

    QTest::mouseClick(video.SpeedButton3, Qt::LeftButton);
    QTest::mouseClick(video.SpeedButton12, Qt::LeftButton);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "the user's text") << "grabs leave it alone";
    const QImage last = platform::frameClipboard().image();
    ASSERT_EQ(last.size(), QSize(320, 240));
    video.CopyFrame1->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->image().convertToFormat(QImage::Format_RGB32),
              last.convertToFormat(QImage::Format_RGB32));
    QTest::mouseClick(video.SpeedButton7, Qt::LeftButton);
}

TEST(Commands, KeysReachTheButtonsAndNeverTypeIntoASpinBox)
{
    TestSource source;
    ModalWatcher boxes;
    TVideo video;
    activate(video);
    SpinEdit* period = video.CapSpeedSpinBox;
    period->setFocus();

    const struct {
        QToolButton* button;
        const char* key;
    } keys[] = {{video.SpeedButton3, "F3"}, {video.SpeedButton7, "F4"}, {video.SpeedButton12, "F5"},
                {video.AutoBut, "F6"}};
    for (const auto& [button, key] : keys)
        EXPECT_EQ(button->toolTip().toStdString(), (button->text() + " (" + key + ")").toStdString());
    EXPECT_EQ(video.Start1->shortcut(), QKeySequence(Qt::Key_F3)) << "the menu shows the key too";

    QTest::keyClick(period, Qt::Key_F3);
    EXPECT_NE(capWindow(), nullptr);
    QTest::keyClick(period, Qt::Key_F5);
    EXPECT_EQ(video.evaluations(), 1);
    QTest::keyClick(period, Qt::Key_F6);
    EXPECT_TRUE(video.Timer1->enabled());
    QTest::keyClick(period, Qt::Key_F6);
    EXPECT_FALSE(video.Timer1->enabled());
    QTest::keyClick(period, Qt::Key_F4);
    EXPECT_EQ(capWindow(), nullptr);

    // Mnemonics of the menus and keys that nothing takes alike.
    for (Qt::Key key : {Qt::Key_V, Qt::Key_F, Qt::Key_W, Qt::Key_X, Qt::Key_5}) {
        period->setFocus();
        QTest::keyClick(period, key, Qt::AltModifier);
        closePopups();
        EXPECT_EQ(period->text().toStdString(), "250") << "Alt+" << QKeySequence(key).toString().toStdString();
    }
    EXPECT_EQ(video.Timer1->interval(), 250u);
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join("; ").toStdString();

    period->setFocus();
    QTest::keyClick(period, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_FALSE(video.isVisible()) << "Ctrl+Q quits";
    EXPECT_EQ(video.VideoForm, nullptr);
}

TEST(Commands, TheFunctionKeysWorkInEveryWindowOfTheProgram)
{
    TestSource source;
    ModalWatcher boxes;
    TVideo video;
    video.show();
    QWidget* graph = video.detection()->graph();
    struct Step {
        QWidget* window;
        Qt::Key key;
    } steps[] = {{video.ImageForm, Qt::Key_F3}, {video.VideoForm, Qt::Key_F5}, {graph, Qt::Key_F6},
                 {video.DirectionForm, Qt::Key_F6}, {video.EventsForm, Qt::Key_F4}};
    for (const Step& step : steps) {
        activate(*step.window);
        QTest::keyClick(step.window, step.key);
        const std::string where = step.window->objectName().toStdString();
        switch (step.key) {
        case Qt::Key_F3: EXPECT_NE(capWindow(), nullptr) << where; break;
        case Qt::Key_F5: EXPECT_EQ(video.evaluations(), 1) << where; break;
        case Qt::Key_F6: EXPECT_EQ(video.Timer1->enabled(), step.window == graph) << where; break;
        default: EXPECT_EQ(capWindow(), nullptr) << where; break;
        }
    }
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join("; ").toStdString();
}

TEST(Auto, BeforeStartVideoItStartsTheVideoAndStopVideoEndsIt)
{
    TestSource source;
    ModalWatcher boxes;
    TVideo video;
    video.show();
    EXPECT_EQ(video.VideoLabel->text(), "Idle");
    QTest::mouseClick(video.AutoBut, Qt::LeftButton);
    ASSERT_NE(capWindow(), nullptr) << "Auto started the video";
    EXPECT_TRUE(video.statusBar()->currentMessage().contains("starts the video"))
        << video.statusBar()->currentMessage().toStdString();
    EXPECT_TRUE(video.Timer1->ticking());
    EXPECT_EQ(video.VideoLabel->text(), "Live window: Test; Auto every 250 ms");
    ASSERT_TRUE(QTest::qWaitFor([&] { return video.evaluations() > 1; }, 20000));
    EXPECT_NE(video.PixNumLab->text(), "0123456") << "the readouts show what Auto evaluated";

    QTest::mouseClick(video.AutoBut, Qt::LeftButton);
    EXPECT_EQ(video.VideoLabel->text(), "Live window: Test; Auto off");
    QTest::mouseClick(video.AutoBut, Qt::LeftButton);
    QTest::mouseClick(video.SpeedButton7, Qt::LeftButton);
    EXPECT_EQ(capWindow(), nullptr);
    EXPECT_FALSE(video.Timer1->enabled()) << "Stop Video ends Auto";
    EXPECT_FALSE(video.Timer1->ticking());
    EXPECT_EQ(video.AutoBut->palette().color(QPalette::ButtonText), QColor(0, 0, 0));
    EXPECT_EQ(video.VideoLabel->text(), "No video");
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join("; ").toStdString();
}

TEST(Auto, WithoutACameraStaysOffAndSaysWhy)
{
    setenv("CAPTURE_SOURCES", "", 1); // no source at all
    ModalWatcher boxes;
    TVideo video;
    video.show();
    QTest::mouseClick(video.AutoBut, Qt::LeftButton);
    EXPECT_FALSE(video.Timer1->enabled());
    EXPECT_EQ(video.AutoBut->palette().color(QPalette::ButtonText), QColor(0, 0, 0));
    EXPECT_EQ(video.VideoLabel->text(), "No camera");
    EXPECT_EQ(video.statusBar()->currentMessage(), "Auto needs video: No camera");
    unsetenv("CAPTURE_SOURCES");
}

TEST(Auto, EndsWhenTheVideoFailsForGood)
{
    setenv("CAPTURE_SOURCES", "Test|videotestsrc is-live=true ! video/x-raw,width=320,height=240;Bad|nosuchelement", 1);
    ModalWatcher boxes;
    TVideo video;
    video.show();
    QTest::mouseClick(video.AutoBut, Qt::LeftButton);
    ASSERT_TRUE(video.Timer1->ticking());
    QAction* bad = nullptr;
    for (QAction* action : video.cameraMenu()->menu()->actions())
        if (action->data().toString() == "Bad")
            bad = action;
    ASSERT_NE(bad, nullptr);
    bad->trigger(); // switches at once, as the video runs
    EXPECT_FALSE(video.Timer1->enabled());
    EXPECT_EQ(video.AutoBut->palette().color(QPalette::ButtonText), QColor(0, 0, 0));
    EXPECT_EQ(video.statusBar()->currentMessage(), "Auto stopped: the video failed");
    EXPECT_TRUE(video.VideoLabel->text().contains("nosuchelement")) << video.VideoLabel->text().toStdString();
    QTest::mouseClick(video.SpeedButton7, Qt::LeftButton);
    platform::setDriverChoice({});
    unsetenv("CAPTURE_SOURCES");
}

TEST(StatusLine, ALongMessageIsShownWholeOnAsManyLinesAsItNeeds)
{
    TVideo video;
    video.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&video));
    QStatusBar* line = video.statusBar();
    const int oneLine = line->height();
    const QString message = "The disk of the save folder /home/someone/Videos/courtyard is full: No space left on "
                            "the device; the clip is dropped whole and the event ends without it";
    line->showMessage(message);
    // The bar grows, and the window with it.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return line->height() > oneLine && video.rect().contains(line->geometry()); }, 10000))
        << line->height() << " in " << video.height();
    const QRect needed = line->fontMetrics().boundingRect(QRect(0, 0, line->width() - 8, 10000),
                                                          Qt::TextWordWrap, message);
    EXPECT_GE(line->height(), needed.height());
    EXPECT_EQ(line->toolTip(), message);
    EXPECT_EQ(line->currentMessage(), message);
}

TEST(SpinBoxes, NumbersBeyondTheIntegersAreTakenAtTheNearestBound)
{
    TVideo video;
    activate(video);
    SpinEdit* minimal = video.MinMoveSpinBox;
    const struct {
        const char* typed;
        int value;
    } cases[] = {
        {"99999999999999", INT_MAX},  {"-99999999999999", INT_MIN}, {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},      {"-2147483648", INT_MIN},     {"-2147483649", INT_MIN},
        {"99999999999999999999999999", INT_MAX}, {"+12", 12},       {"007", 7},
        {"-0", 0},                    {"1.5", 0},                   {"--5", 0},
        {"", 0},                      {"5-", 0},
    };
    for (const auto& [typed, value] : cases) {
        minimal->setFocus();
        minimal->selectAll();
        QTest::keyClick(minimal, Qt::Key_Delete);
        QTest::keyClicks(minimal, typed);
        ASSERT_EQ(minimal->text().toStdString(), typed);
        EXPECT_EQ(minimal->value(), value) << typed;
    }
}

TEST(SpinBoxes, OnlyUpDownAndTheArrowsStep)
{
    SpinEdit box(250, 0, 0);
    activate(box);
    box.setFocus();
    QTest::keyClick(&box, Qt::Key_PageUp);
    QTest::keyClick(&box, Qt::Key_PageDown);
    QTest::keyClick(&box, Qt::Key_PageDown);
    EXPECT_EQ(box.value(), 250) << "page keys";
    const QPointF centre(box.width() / 2.0, box.height() / 2.0);
    QWheelEvent wheel(centre, box.mapToGlobal(centre), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(&box, &wheel);
    EXPECT_EQ(box.value(), 250) << "mouse wheel";
    QTest::keyClick(&box, Qt::Key_Up);
    EXPECT_EQ(box.value(), 251);
    box.stepUp(); // the up arrow
    EXPECT_EQ(box.value(), 252);
}

TEST(SpinBoxes, AssistiveToolsReadTheValue)
{
    TVideo video;
    for (SpinEdit* box : {video.VariatLimitSpinBox, video.MinMoveSpinBox, video.CapSpeedSpinBox}) {
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(box);
        ASSERT_NE(accessible, nullptr);
        ASSERT_NE(accessible->valueInterface(), nullptr);
        EXPECT_EQ(accessible->valueInterface()->currentValue().toInt(), box->value()) << box->objectName().toStdString();
        box->setValue(77);
        EXPECT_EQ(accessible->valueInterface()->currentValue().toInt(), 77);
        EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty()) << "named by its caption";
    }
}

TEST(Pictures, LargerOnesAreScaledDownToFitKeepingTheirAspect)
{
    PictureView view;
    view.resize(320, 240);
    // A 768 x 576 frame, black but for a white square in its bottom-right corner.
    QImage frame(768, 576, QImage::Format_RGB32);
    frame.fill(Qt::black);
    for (int y = 576 - 48; y < 576; ++y)
        for (int x = 768 - 48; x < 768; ++x)
            frame.setPixel(x, y, qRgb(255, 255, 255));
    view.setPicture(frame);
    EXPECT_EQ(view.pictureRect(), QRect(0, 0, 320, 240));
    const QImage shown = view.grab().toImage();
    EXPECT_EQ(shown.pixel(312, 232), qRgb(255, 255, 255)) << "the corner of the frame is on the screen";
    EXPECT_EQ(shown.pixel(160, 120), qRgb(0, 0, 0));

    view.setPicture(QImage(1000, 100, QImage::Format_RGB32));
    EXPECT_EQ(view.pictureRect(), QRect(0, 104, 320, 32)) << "a wide one, centred";
    view.setPicture(QImage(100, 600, QImage::Format_RGB32));
    EXPECT_EQ(view.pictureRect(), QRect(140, 0, 40, 240)) << "a tall one, centred";
}

TEST(Pictures, ThoseThatFitArePixelExact)
{
    PictureView view;
    view.resize(320, 240);
    QImage frame(320, 240, QImage::Format_RGB32);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x)
            frame.setPixel(x, y, qRgb(x % 256, y, (x * y) % 251));
    view.setPicture(frame);
    EXPECT_EQ(view.grab().toImage().convertToFormat(QImage::Format_RGB32), frame);
    view.resize(400, 300); // bigger windows never stretch it
    EXPECT_EQ(view.pictureRect(), QRect(40, 30, 320, 240));
    EXPECT_EQ(view.grab().toImage().copy(40, 30, 320, 240).convertToFormat(QImage::Format_RGB32), frame);
}

TEST(Windows, SecondaryOnesOpenAtTheirSizesCanBeResizedAndBelongToTheMainWindow)
{
    TestSource source;
    TVideo video;
    video.show();
    QTest::mouseClick(video.SpeedButton3, Qt::LeftButton);
    ASSERT_NE(capWindow(), nullptr);
    const struct {
        QWidget* window;
        QSize size;
    } windows[] = {{video.VideoForm, {320, 240}}, {video.ImageForm, {320, 240}}, {video.DirectionForm, {121, 120}}};
    for (const auto& [window, size] : windows) {
        const std::string name = window->objectName().toStdString();
        EXPECT_EQ(window->size(), size) << name;
        window->resize(480, 360);
        EXPECT_EQ(window->size(), QSize(480, 360)) << name;
        window->resize(size / 2);
        EXPECT_EQ(window->size(), size / 2) << name;
        EXPECT_FALSE(window->windowIcon().pixmap(32).isNull()) << name;
        ASSERT_NE(window->windowHandle(), nullptr);
        EXPECT_EQ(window->windowHandle()->transientParent(), video.windowHandle()) << name << " grouped with its owner";
    }
    EXPECT_FALSE(video.windowIcon().pixmap(32).isNull());
    video.VideoForm->resize(400, 300);
    QApplication::processEvents();
    EXPECT_EQ(video.VideoForm->VideoArea->size(), QSize(400, 300));
    EXPECT_EQ(capWindow()->geometry(), QRect(0, 0, 400, 300)) << "the live picture fills the window";
    QTest::mouseClick(video.SpeedButton7, Qt::LeftButton);
}
