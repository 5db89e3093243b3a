#include <filesystem>
#include <fstream>

#include <QAction>
#include <QMouseEvent>
#include <QCheckBox>
#include <QLabel>
#include <QSpinBox>
#include <QToolButton>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QtTest/QTest>
#include <gtest/gtest.h>
#include <unistd.h>

#include "../support/ModalBox.h"
#include "DetectionControl.h"
#include "Evaluation.h"
#include "FrameClipboard.h"
#include "ImageFormUnit.h"
#include "MainVideo.h"
#include "MaskPainter.h"
#include "MovementGraph.h"
#include "PictureView.h"
#include "SpinEdit.h"

using namespace app;

namespace fs = std::filesystem;

namespace {

QImage frame(int level, int brighter = 0)
{
    QImage image(320, 240, QImage::Format_RGB32);
    image.fill(QColor(level, level, level));
    for (int i = 0; i < brighter; ++i)
        image.setPixel(i % 320, i / 320, qRgb(level + 40, level + 40, level + 40));
    return image;
}

// A drag with the left button, as the window system delivers it.
void drag(QWidget* view, QPoint from, QPoint to)
{
    auto send = [view](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
        QMouseEvent event(type, at, view->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(view, &event);
    };
    send(QEvent::MouseButtonPress, from, Qt::LeftButton);
    for (int step = 1; step <= 4; ++step)
        send(QEvent::MouseMove, from + (to - from) * step / 4, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, to, Qt::NoButton);
}

class DetectionWindows : public ::testing::Test {
protected:
    void SetUp() override
    {
        directory = fs::temp_directory_path() / ("detection-windows-" + std::to_string(getpid()));
        fs::remove_all(directory);
        fs::create_directories(directory / "images");
        previous = fs::current_path();
        fs::current_path(directory);
        video = std::make_unique<TVideo>();
        control = video->detection();
        dialog = control->dialog();
    }
    void TearDown() override
    {
        video.reset();
        fs::current_path(previous);
        fs::remove_all(directory);
    }
    void evaluate(const QImage& image)
    {
        platform::frameClipboard().setImage(image);
        QTest::mouseClick(video->SpeedButton12, Qt::LeftButton);
    }
    const analysis::DetectionSettings& settings() const { return video->evaluation()->detection().settings(); }
    int savedFrames() const
    {
        int n = 0;
        for (const auto& e : fs::directory_iterator("images"))
            n += e.path().extension() == ".bmp";
        return n;
    }

    fs::path directory, previous;
    std::unique_ptr<TVideo> video;
    DetectionControl* control = nullptr;
    DetectionDialog* dialog = nullptr;
    ModalWatcher boxes;
};

} // namespace

TEST_F(DetectionWindows, DialogTurnsMechanismsOnAndOffAndRobustTurnsOnAll)
{
    EXPECT_FALSE(settings().anyOn());
    video->Detection1->trigger();
    ASSERT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->RobustBox->isChecked());

    dialog->RobustBox->click();
    EXPECT_EQ(settings(), analysis::DetectionSettings::robust());
    for (QCheckBox* box : {dialog->LightBox, dialog->NoiseBox, dialog->SpecksBox, dialog->MaskBox, dialog->ConfirmBox})
        EXPECT_TRUE(box->isChecked()) << box->objectName().toStdString();

    dialog->LightBox->click();
    EXPECT_FALSE(settings().light);
    EXPECT_FALSE(dialog->RobustBox->isChecked());
    dialog->ConfirmWindowBox->setValue(5);
    dialog->ConfirmNeededBox->setValue(4);
    EXPECT_EQ(settings().confirmNeeded, 4);
    EXPECT_EQ(settings().confirmWindow, 5);
    dialog->ConfirmWindowBox->setValue(2); // needed follows the window down
    EXPECT_EQ(settings().confirmNeeded, 2);
    EXPECT_EQ(dialog->ConfirmNeededBox->value(), 2);

    dialog->RobustBox->click();
    dialog->RobustBox->click();
    EXPECT_FALSE(settings().anyOn());

    // Settings that came from elsewhere show when the dialog opens.
    dialog->close();
    analysis::DetectionSettings given = analysis::DetectionSettings::robust();
    given.speckSize = 4;
    video->evaluation()->detection().setSettings(given);
    video->Detection1->trigger();
    EXPECT_TRUE(dialog->RobustBox->isChecked() == false && dialog->LightBox->isChecked());
    EXPECT_EQ(dialog->SpeckSizeBox->value(), 4);
}

TEST_F(DetectionWindows, ReadoutsCountAfterDetectionAndTheStatusLineSaysWhy)
{
    // The pair-wise mechanisms: their verdicts on these flat frames are exact.
    analysis::DetectionSettings pairWise = analysis::DetectionSettings::robust();
    pairWise.scene = false;
    video->evaluation()->detection().setSettings(pairWise);
    video->SaveOMBox->setChecked(true);
    evaluate(frame(100));
    evaluate(frame(160)); // the lamp goes on
    EXPECT_EQ(video->PixNumLab->text(), "0");
    EXPECT_EQ(video->statusBar()->currentMessage(), "Not counted: light change");
    EXPECT_EQ(savedFrames(), 0);
    // The picture still shows every changed pixel, faded.
    const QImage picture = video->ImageForm->picture();
    ASSERT_EQ(picture.size(), QSize(320, 240));
    EXPECT_GT(qGreen(picture.pixel(100, 100)), 128);

    // A person walks in: seen, but confirmed only in the second such cycle.
    evaluate(frame(160, 3000));
    EXPECT_NEAR(video->PixNumLab->text().toInt(), 3000, 8); // an area loses at most its corners
    EXPECT_EQ(video->statusBar()->currentMessage(), "Not counted: not confirmed yet");
    EXPECT_EQ(savedFrames(), 0);
    evaluate(frame(160));
    EXPECT_EQ(savedFrames(), 1);
    EXPECT_EQ(video->statusBar()->currentMessage(), "") << "the reason no longer holds";

    // The graph has every cycle (the first only took the reference) with its counts
    // before and after.
    const auto& points = control->graph()->points();
    ASSERT_EQ(points.size(), 4u);
    EXPECT_EQ(points[1].brightBefore, 320 * 240);
    EXPECT_EQ(points[1].brightAfter, 0);
    EXPECT_EQ(points[1].reason, "light change");
    EXPECT_FALSE(points[2].confirmed);
    EXPECT_TRUE(points[3].confirmed);
    EXPECT_EQ(points[3].minimalMovement, 400);
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join("; ").toStdString();
}

TEST_F(DetectionWindows, MovementGraphWindowPlotsTheCycles)
{
    QAction* item = video->findChild<QAction*>("MovementGraph1");
    ASSERT_TRUE(item);
    item->trigger();
    MovementGraph* graph = control->graph();
    EXPECT_TRUE(graph->isVisible());
    EXPECT_EQ(graph->windowTitle(), "Movement Graph");
    const QImage empty = graph->grab().toImage();
    evaluate(frame(100));
    for (int i = 0; i < 6; ++i)
        evaluate(frame(100, i % 2 ? 5000 : 0));
    EXPECT_EQ(graph->points().size(), 7u);
    EXPECT_NE(graph->grab().toImage(), empty);
}

TEST_F(DetectionWindows, MaskIsPaintedWithTheMouseAndKeptInFiles)
{
    evaluate(frame(100));
    evaluate(frame(100, 500)); // the movement picture now shows a frame
    video->ImageForm->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(video->ImageForm));
    PictureView* view = video->ImageForm->Image;
    ASSERT_EQ(view->pictureRect().size(), QSize(320, 240));
    video->Detection1->trigger();
    dialog->BrushSizeBox->setValue(20);
    dialog->PaintButton->click();
    EXPECT_TRUE(settings().mask); // painting a mask means using it
    // While painting, the scene shows behind the tint: the last frame (gray 100), dimmed.
    const QColor scene = view->overlay().pixelColor(200, 200);
    EXPECT_EQ(scene.alpha(), 255);
    EXPECT_TRUE(scene.red() > 30 && scene.red() < 100) << scene.red();

    const QPoint origin = view->pictureOrigin();
    drag(view, origin + QPoint(50, 50), origin + QPoint(90, 50));
    const analysis::Bitmap& mask = video->evaluation()->detection().mask();
    ASSERT_EQ(mask.width(), 320);
    EXPECT_EQ(mask.row(50)[70], 0);   // under the stroke: ignored
    EXPECT_EQ(mask.row(200)[200], 255); // elsewhere: watched

    // A quick hand: events far apart still paint the whole way between them.
    const auto sendMouse = [view](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
        QMouseEvent event(type, at, view->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(view, &event);
    };
    sendMouse(QEvent::MouseButtonPress, origin + QPoint(50, 150), Qt::LeftButton);
    sendMouse(QEvent::MouseMove, origin + QPoint(250, 150), Qt::LeftButton);
    sendMouse(QEvent::MouseButtonRelease, origin + QPoint(250, 150), Qt::NoButton);
    for (int x : {50, 100, 150, 200, 250})
        EXPECT_EQ(video->evaluation()->detection().mask().row(150)[x], 0) << x;
    EXPECT_EQ(video->evaluation()->detection().mask().row(100)[150], 255);

    // Erasing gives the pixels back.
    dialog->EraseRadio->click();
    drag(view, origin + QPoint(70, 50), origin + QPoint(70, 50));
    EXPECT_EQ(video->evaluation()->detection().mask().row(50)[70], 255);
    EXPECT_EQ(video->evaluation()->detection().mask().row(50)[50], 0);

    // Painting done (or the dialog closed), the movement picture shows again under the tint alone.
    dialog->PaintButton->click();
    EXPECT_EQ(view->overlay().pixelColor(200, 200).alpha(), 0);
    EXPECT_GT(view->overlay().pixelColor(70, 150).alpha(), 0);
    dialog->PaintButton->click();
    dialog->close();
    EXPECT_FALSE(dialog->PaintButton->isChecked());
    EXPECT_EQ(view->overlay().pixelColor(200, 200).alpha(), 0);

    // Changes under the mask do not count.
    evaluate(frame(100));
    evaluate(frame(100, 320 * 60)); // the top 60 rows, which the stroke crossed
    EXPECT_LT(video->PixNumLab->text().toInt(), 320 * 60 - 500);

    // Saved and loaded; a bad file is refused and the mask stays.
    const QString file = QString::fromStdString((directory / "mask.pgm").string());
    EXPECT_EQ(dialog->saveMask(file, false), "");
    const analysis::Bitmap painted = video->evaluation()->detection().mask();
    dialog->ClearMaskButton->click();
    EXPECT_TRUE(video->evaluation()->detection().mask().empty());
    EXPECT_EQ(control->loadMask(file), "");
    EXPECT_EQ(video->evaluation()->detection().mask(), painted);
    std::ofstream(directory / "bad.pgm") << "P5\n320 240\n65535\n";
    const QString refused = control->loadMask(QString::fromStdString((directory / "bad.pgm").string()));
    EXPECT_TRUE(refused.contains("16-bit")) << refused.toStdString();
    EXPECT_EQ(video->evaluation()->detection().mask(), painted);
    EXPECT_EQ(control->maskFile(), file);
}

TEST(MovementGraph, LinesBreakWhereNoCyclesCameAndResumeAfter)
{
    // Five seconds of cycles, a minute without any (the video was stopped), five more.
    MovementGraph graph(nullptr);
    graph.resize(640, 300);
    const auto start = std::chrono::system_clock::now() - std::chrono::seconds(70);
    auto add = [&](std::chrono::milliseconds at, bool newStream) {
        watch::Cycle cycle;
        cycle.time = start + at;
        cycle.newStream = newStream;
        cycle.result.BrightCount = 3000;
        cycle.brightCounted = 1000; // the red line, a third of the way up
        graph.addCycle(cycle, 400);
    };
    for (int i = 0; i <= 20; ++i)
        add(std::chrono::milliseconds(250 * i), false);
    for (int i = 0; i <= 20; ++i)
        add(std::chrono::milliseconds(65000 + 250 * i), i == 0);

    const QImage picture = graph.grab().toImage();
    auto red = [&](int x0, int x1) {
        int n = 0;
        for (int x = x0; x < x1; ++x)
            for (int y = 30; y < picture.height() - 90; ++y) {
                const QColor c = picture.pixelColor(x, y);
                n += c.red() > 150 && c.green() < 100 && c.blue() < 100;
            }
        return n;
    };
    // The plot spans nearly the whole width for two minutes: the cycles lie from 47 % to
    // 50 % and from 95 % to the right end, the gap between.
    EXPECT_EQ(red(picture.width() * 60 / 100, picture.width() * 85 / 100), 0) << "no line across the gap";
    EXPECT_GT(red(picture.width() * 96 / 100, picture.width() * 98 / 100), 0) << "the line after the gap";
    EXPECT_GT(red(picture.width() * 47 / 100, picture.width() * 49 / 100), 0) << "the line before the gap";
}
