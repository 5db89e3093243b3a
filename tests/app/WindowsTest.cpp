#include <cstdlib>
#include <vector>

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QSet>
#include <QStatusBar>
#include <QToolButton>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include "../support/NaiveLine.h"
#include "CameraMenu.h"
#include "CaptureWindow.h"
#include "DirectionUnit.h"
#include "ErrorBox.h"
#include "EventsWindow.h"
#include "ImageFormUnit.h"
#include "PictureView.h"
#include "MainVideo.h"
#include "RepeatTimer.h"
#include "Session.h"
#include "SpinEdit.h"
#include "VideoCap.h"
#include "VideoFormUnit.h"

using namespace app;

namespace {

using Pixels = std::set<std::pair<int, int>>;

constexpr std::uint8_t redEntry = 9, whiteEntry = 15;

Pixels pixelsOf(const TDirectionForm& form, std::uint8_t entry)
{
    Pixels found;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x)
            if (form.picture().row(y)[x] == entry)
                found.insert({x, y});
    return found;
}

int notWhite(const TDirectionForm& form)
{
    return 100 * 100 - int(pixelsOf(form, whiteEntry).size());
}

QColor captionColour(const QToolButton* button)
{
    return button->palette().color(QPalette::ButtonText);
}

} // namespace

TEST(Windows, TheWindowMenuBringsBackAClosedWindowWhereItWas)
{
    TVideo video;
    video.show();
    struct Item {
        const char* action;
        QWidget* window;
    } items[] = {{"LiveVideoWindow1", video.VideoForm},
                 {"MovementWindow1", video.ImageForm},
                 {"DirectionWindow1", video.DirectionForm},
                 {"EventsWindow1", video.EventsForm}};
    for (const Item& item : items) {
        auto* action = video.Window1->findChild<QAction*>(item.action);
        ASSERT_NE(action, nullptr) << item.action;
        QPointer<QWidget> window = item.window;
        action->trigger();
        ASSERT_TRUE(window->isVisible()) << item.action;
        window->move(window->pos() + QPoint(17, 11));
        const QRect placed = window->geometry();
        window->close();
        ASSERT_FALSE(window.isNull()) << item.action << ": closing destroyed it";
        EXPECT_FALSE(window->isVisible()) << item.action;
        EXPECT_TRUE(video.isVisible());

        action->trigger();
        EXPECT_TRUE(window->isVisible()) << item.action;
        EXPECT_EQ(window->geometry(), placed) << item.action;
    }
}

TEST(Windows, EachMenusMnemonicsAreUniqueAndTheFunctionKeysReachTheButtons)
{
    setenv("CAPTURE_SOURCES", "Test|videotestsrc is-live=true ! video/x-raw,width=320,height=240", 1);
    TVideo video;
    video.show();
    QApplication::setActiveWindow(&video);
    std::vector<QList<QAction*>> menus = {video.menuBar()->actions()};
    for (std::size_t i = 0; i < menus.size(); ++i) {
        QSet<QChar> taken;
        const QList<QAction*> actions = menus[i]; // a copy: submenus join the list as it is read
        for (QAction* action : actions) {
            if (action->isSeparator())
                continue;
            if (action->menu())
                menus.push_back(action->menu()->actions());
            const qsizetype amp = action->text().indexOf('&');
            ASSERT_GE(amp, 0) << action->text().toStdString() << " has no mnemonic";
            const QChar key = action->text().at(amp + 1).toLower();
            EXPECT_FALSE(taken.contains(key)) << action->text().toStdString() << " shares its mnemonic";
            taken.insert(key);
        }
    }

    QTest::keyClick(&video, Qt::Key_F6);
    EXPECT_TRUE(video.Timer1->enabled()) << "F6 starts Auto";
    QTest::keyClick(&video, Qt::Key_F6);
    EXPECT_FALSE(video.Timer1->enabled()) << "F6 stops Auto";
    unsetenv("CAPTURE_SOURCES");
}

TEST(Windows, SpinBoxRules)
{
    TVideo video;
    video.show();
    QApplication::setActiveWindow(&video);
    SpinEdit* threshold = video.VariatLimitSpinBox;

    struct Case {
        const char* typed;
        const char* shownWhileFocused;
        int valueWhileFocused;
        const char* shownAfter;
    } cases[] = {
        {"300", "300", 300, "255"},
        {"-5", "-5", -5, "0"},
        {"1a2b", "12", 12, "12"}, // letters are refused
        {"", "", 0, ""}, // reads as 0, inside the bounds: left as it is
    };
    for (const Case& k : cases) {
        threshold->setFocus();
        threshold->selectAll();
        QTest::keyClick(threshold, Qt::Key_Delete);
        QTest::keyClicks(threshold, k.typed);
        EXPECT_EQ(threshold->text(), k.shownWhileFocused) << k.typed;
        EXPECT_EQ(threshold->value(), k.valueWhileFocused) << k.typed;
        video.MinMoveSpinBox->setFocus(); // leaving the box enforces its bounds
        EXPECT_EQ(threshold->text(), k.shownAfter) << k.typed;
    }

    threshold->setValue(255);
    threshold->setFocus();
    QTest::keyClick(threshold, Qt::Key_Up);
    EXPECT_EQ(threshold->value(), 255) << "stepping keeps to the bounds";
    QTest::keyClick(threshold, Qt::Key_Down);
    EXPECT_EQ(threshold->value(), 254);
    threshold->setFocus();
    threshold->selectAll();
    QTest::keyClicks(threshold, "9999");
    EXPECT_EQ(threshold->text(), "999") << "at most three characters";

    SpinEdit* minimal = video.MinMoveSpinBox;
    minimal->setFocus();
    minimal->selectAll();
    QTest::keyClicks(minimal, "-70000");
    video.CapSpeedSpinBox->setFocus();
    EXPECT_EQ(minimal->value(), -70000) << "a box without bounds keeps what was typed";
}

TEST(Windows, AutoTogglesTheTimerAndItsCaptionColour)
{
    setenv("CAPTURE_SOURCES", "Test|videotestsrc is-live=true ! video/x-raw,width=320,height=240", 1);
    TVideo video;
    QTest::mouseClick(video.AutoBut, Qt::LeftButton);
    EXPECT_TRUE(video.Timer1->enabled());
    EXPECT_TRUE(video.Timer1->ticking());
    EXPECT_EQ(captionColour(video.AutoBut), QColor(255, 0, 0));
    QTest::mouseClick(video.AutoBut, Qt::LeftButton);
    EXPECT_FALSE(video.Timer1->enabled());
    EXPECT_FALSE(video.Timer1->ticking());
    EXPECT_EQ(captionColour(video.AutoBut), QColor(0, 0, 0));
    EXPECT_NE(capWindow(), nullptr) << "Auto off leaves the video on";
    QTest::mouseClick(video.SpeedButton7, Qt::LeftButton);
    unsetenv("CAPTURE_SOURCES");
}

TEST(Windows, PeriodFollowsTheSpinBoxWithinTheCommandLinesBounds)
{
    setenv("CAPTURE_SOURCES", "Test|videotestsrc is-live=true ! video/x-raw,width=320,height=240", 1);
    TVideo video;
    video.show();
    QApplication::setActiveWindow(&video);
    video.CapSpeedSpinBox->setValue(100);
    EXPECT_EQ(video.Timer1->interval(), 100u) << "also while Auto is off";
    QTest::mouseClick(video.AutoBut, Qt::LeftButton);
    ASSERT_TRUE(video.Timer1->ticking());
    for (int refused : {0, -1}) {
        video.CapSpeedSpinBox->setValue(refused);
        EXPECT_TRUE(video.Timer1->ticking()) << refused << ": Auto never shows red without ticks";
        EXPECT_EQ(video.Timer1->interval(), 100u) << refused;
        EXPECT_TRUE(video.statusBar()->currentMessage().contains("1 ms or more"))
            << video.statusBar()->currentMessage().toStdString();
    }
    video.CapSpeedSpinBox->setFocus();
    video.MinMoveSpinBox->setFocus(); // leaving the box puts it within its bounds
    EXPECT_EQ(video.CapSpeedSpinBox->text(), "1");
    EXPECT_EQ(video.Timer1->interval(), 1u);
    video.CapSpeedSpinBox->setValue(30);
    EXPECT_EQ(video.Timer1->interval(), 30u);
    EXPECT_TRUE(video.VideoLabel->text().endsWith("Auto every 30 ms")) << video.VideoLabel->text().toStdString();
    QTest::mouseClick(video.SpeedButton7, Qt::LeftButton);
    unsetenv("CAPTURE_SOURCES");
}

TEST(Windows, DisplayModeItemsAreRadioItems)
{
    TVideo video;
    EXPECT_TRUE(video.Preview1->isChecked());
    video.Overlay1->trigger();
    EXPECT_TRUE(video.Overlay1->isChecked());
    EXPECT_FALSE(video.Preview1->isChecked());
    video.Preview1->trigger();
    EXPECT_TRUE(video.Preview1->isChecked());
}

TEST(Windows, ClosingASecondaryWindowOnlyHidesIt)
{
    TVideo video;
    video.show();
    QPointer<TImageForm> image = video.ImageForm;
    image->close();
    EXPECT_FALSE(image->isVisible());
    EXPECT_FALSE(image.isNull());
    EXPECT_TRUE(video.isVisible());
}

TEST(Windows, ClosingEndsTheSessionFirstAndEvaluatesNoMore)
{
    setenv("CAPTURE_SOURCES", "Test|videotestsrc is-live=true ! video/x-raw,width=320,height=240", 1);
    auto* video = new TVideo;
    video->show();
    QTest::mouseClick(video->SpeedButton3, Qt::LeftButton);
    ASSERT_NE(capWindow(), nullptr);
    video->CapSpeedSpinBox->setValue(1);
    QTest::mouseClick(video->AutoBut, Qt::LeftButton);
    for (int waited = 0; video->evaluations() == 0 && waited < 3000; waited += 10)
        QTest::qWait(10);
    EXPECT_GT(video->evaluations(), 0);

    bool sessionOpenWhenWindowsWent = true;
    QObject::connect(video->VideoForm, &QObject::destroyed, [&] { sessionOpenWhenWindowsWent = capWindow() != nullptr; });
    const int evaluations = video->evaluations();
    video->close();
    EXPECT_FALSE(sessionOpenWhenWindowsWent);
    EXPECT_EQ(capWindow(), nullptr);
    EXPECT_EQ(video->ReferenceFrame, nullptr);
    QTest::qWait(50);
    EXPECT_EQ(video->evaluations(), evaluations);
    delete video;
    unsetenv("CAPTURE_SOURCES");
}

TEST(Windows, StartVideoAgainReplacesTheSession)
{
    setenv("CAPTURE_SOURCES", "Test|videotestsrc is-live=true ! video/x-raw,width=320,height=240", 1);
    TVideo video;
    video.show();
    QTest::mouseClick(video.SpeedButton3, Qt::LeftButton);
    const CaptureWindow* first = capWindow();
    ASSERT_NE(first, nullptr);
    QTest::mouseClick(video.SpeedButton3, Qt::LeftButton);
    ASSERT_NE(capWindow(), nullptr);
    EXPECT_EQ(video.VideoForm->VideoArea->findChildren<CaptureWindow*>().size(), 1) << "one capture window at a time";
    EXPECT_EQ(capWindow()->geometry(), QRect(0, 0, 320, 240));
    QTest::mouseClick(video.SpeedButton7, Qt::LeftButton);
    EXPECT_EQ(capWindow(), nullptr);
    EXPECT_NE(video.VideoLabel->text(), "Idle") << "the label keeps the last status text";
    unsetenv("CAPTURE_SOURCES");
}

TEST(Direction, FirstCallsAndEqualCentres)
{
    TDirectionForm form(nullptr);
    EXPECT_EQ(form.LastCentre, (analysis::Point{50, 50}));
    EXPECT_EQ(form.LineEnd, (analysis::Point{0, 0}));
    EXPECT_EQ(notWhite(form), 0);

    form.ShowDirection(50, 50);
    EXPECT_EQ(pixelsOf(form, redEntry), naiveLine(50, 50, 0, 0, 100, 100)) << "towards the top-left corner";
    EXPECT_EQ(form.LineEnd, (analysis::Point{0, 0}));
    form.ShowDirection(50, 50);
    EXPECT_EQ(pixelsOf(form, redEntry), naiveLine(50, 50, 0, 0, 100, 100));
    EXPECT_EQ(notWhite(form), 50);
}

TEST(Direction, EachCallErasesTheLineBefore)
{
    struct Case {
        int x, y;
    } calls[] = {{50, 50}, {20, 40}, {160, 120}, {200, 150}, {350, -200}, {0, 0}, {-90'000, 70'000}, {10, 10}};
    TDirectionForm form(nullptr);
    analysis::Point last{50, 50};
    for (const Case& c : calls) {
        form.ShowDirection(c.x, c.y);
        const auto ex = static_cast<std::int32_t>(static_cast<std::uint32_t>(last.x) - static_cast<std::uint32_t>(c.x));
        const auto ey = static_cast<std::int32_t>(static_cast<std::uint32_t>(last.y) - static_cast<std::uint32_t>(c.y));
        const Pixels expected = naiveLine(50, 50, ex, ey, 100, 100);
        EXPECT_EQ(pixelsOf(form, redEntry), expected) << "centre " << c.x << "," << c.y;
        EXPECT_EQ(notWhite(form), int(expected.size())) << "only the newest line is left";
        EXPECT_EQ(form.LineEnd, (analysis::Point{ex, ey}));
        last = {c.x, c.y};
    }
}

TEST(Direction, HiddenItStillUpdates)
{
    TDirectionForm form(nullptr);
    form.hide();
    form.ShowDirection(20, 40);
    EXPECT_EQ(form.LineEnd, (analysis::Point{30, 10}));
    EXPECT_EQ(form.Image->picture().pixel(40, 30), QColor(255, 0, 0).rgb())
        << "the shown picture has the line";
}

TEST(ErrorBox, PeriodRule)
{
    struct Case {
        const char* text;
        const char* shown;
    } cases[] = {{"Cannot create file images/0.5.bmp", "Cannot create file images/0.5.bmp."},
                 {"Done.", "Done."},
                 {"Stop!", "Stop!"},
                 {"(see above)", "(see above)"},
                 {"trailing ", "trailing "},
                 {"", ""},
                 {"Number 5", "Number 5."},
                 {"dash-", "dash-"}};
    for (const Case& k : cases)
        EXPECT_EQ(errorBoxText(k.text), k.shown) << k.text;
}

TEST(Direction, ExtremeCentresWrapLikeThirtyTwoBitArithmetic)
{
    TDirectionForm form(nullptr);
    form.ShowDirection(-2'147'483'647 - 1, 2'147'483'647);
    EXPECT_EQ(form.LineEnd, (analysis::Point{-2'147'483'647 + 49, -2'147'483'647 + 50})); // 50 - X and 50 - Y, wrapped
    form.ShowDirection(0, 0);
    EXPECT_EQ(form.LineEnd, (analysis::Point{-2'147'483'647 - 1, 2'147'483'647}));
    EXPECT_EQ(pixelsOf(form, redEntry).size(), 50u) << "the far line is gone, the new one drawn";
}

TEST(Windows, TheCamerasWindowShowsEveryCameraLiveAndAClickSwitchesTheMainWindow)
{
    setenv("CAPTURE_SOURCES",
           "Ball|videotestsrc is-live=true pattern=ball ! video/x-raw,width=320,height=240,framerate=10/1;"
           "Bars|videotestsrc is-live=true pattern=smpte ! video/x-raw,width=320,height=240,framerate=10/1",
           1);
    TVideo video;
    video.show();
    QTest::mouseClick(video.SpeedButton3, Qt::LeftButton); // the first camera that answers: Ball
    QAction* item = video.Video1->findChild<QAction*>("Cameras1");
    ASSERT_NE(item, nullptr);
    item->trigger();
    auto* window = video.findChild<QWidget*>("CamerasWindow");
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(window->isVisible());

    auto* ball = window->findChild<QToolButton*>("Camera0");
    auto* bars = window->findChild<QToolButton*>("Camera1");
    ASSERT_TRUE(ball && bars);
    EXPECT_EQ(ball->text(), "Ball");
    EXPECT_EQ(bars->text(), "Bars");
    auto* ballState = window->findChild<QLabel*>("CameraState0");
    auto* barsState = window->findChild<QLabel*>("CameraState1");
    // Both live at once: the main window's camera through its session, the other on its own.
    const auto bothLive = [&] {
        return !ball->icon().isNull() && !bars->icon().isNull() && ballState->text() == "watching" &&
               barsState->text() == "watching";
    };
    for (int waited = 0; !bothLive() && waited < 30000; waited += 50)
        QTest::qWait(50);
    ASSERT_TRUE(bothLive()) << ballState->text().toStdString() << ", " << barsState->text().toStdString();
    const QImage barsPicture = bars->icon().pixmap(bars->iconSize()).toImage();
    EXPECT_NE(barsPicture.pixelColor(2, barsPicture.height() / 4), barsPicture.pixelColor(barsPicture.width() - 3,
                                                                                         barsPicture.height() / 4))
        << "the bars' own picture, not an empty one";

    QTest::mouseClick(bars, Qt::LeftButton);
    for (int waited = 0; video.session()->source().name() != "Bars" && waited < 30000; waited += 50)
        QTest::qWait(50);
    EXPECT_EQ(video.session()->source().name(), "Bars");
    EXPECT_EQ(video.cameraMenu()->choice().name, "Bars");
    for (int waited = 0; ballState->text() != "watching" && waited < 30000; waited += 50)
        QTest::qWait(50);
    EXPECT_EQ(ballState->text(), "watching") << "the camera the main window left is watched on its own again";
    video.cameraMenu()->choose({}); // the choice holds for the whole process: the next test starts afresh
    unsetenv("CAPTURE_SOURCES");
}
