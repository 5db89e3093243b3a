// The main window while a source keeps the session waiting: it takes no second command,
// but Stop Video and closing work at once.

#include <cstdlib>

#include <QTimer>
#include <QToolButton>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include "../support/ModalBox.h"
#include "../support/SilentFifo.h"
#include "MainVideo.h"
#include "VideoCap.h"

TEST(SourceWait, SecondCommandsAreRefusedStopAndCloseEndTheWait)
{
    const SilentFifo fifo;
    ASSERT_TRUE(fifo.made);
    setenv("CAPTURE_SOURCES", fifo.source().c_str(), 1);
    ModalWatcher boxes;
    TVideo video;
    video.show();

    bool waiting = false, refused = false, stopped = false;
    QTimer::singleShot(100, &video, [&] {
        waiting = CapWaiting();
        CaptureWindow* connecting = capWindow();
        const int evaluations = video.evaluations();
        QTest::mouseClick(video.SpeedButton3, Qt::LeftButton);  // Start Video again
        QTest::mouseClick(video.SpeedButton12, Qt::LeftButton); // Evolute One
        refused = capWindow() == connecting && video.evaluations() == evaluations;
        QTest::mouseClick(video.SpeedButton7, Qt::LeftButton); // Stop Video
        stopped = capWindow() == nullptr;
    });
    QTest::mouseClick(video.SpeedButton3, Qt::LeftButton);
    EXPECT_TRUE(waiting);
    EXPECT_TRUE(refused);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(capWindow(), nullptr);

    QTimer::singleShot(100, &video, [&] { video.close(); });
    QTest::mouseClick(video.SpeedButton3, Qt::LeftButton);
    for (int waited = 0; video.isVisible() && waited < 5000; waited += 10)
        QTest::qWait(10);
    EXPECT_FALSE(video.isVisible()) << "the window closes once the wait has ended";
    EXPECT_EQ(capWindow(), nullptr);
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join("; ").toStdString();
    unsetenv("CAPTURE_SOURCES");
}
