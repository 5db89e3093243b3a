// "Auto" at a 1 ms period against a fast 640 x 480 test source for 2,000 evaluations,
// and 300 rounds of "Start Video" and "Stop Video": no error, and the process's memory
// does not grow once the first ones are done.
//
// Growth is counted in bytes the allocator has handed out and not had back, not in
// resident pages: the C library keeps the stacks of ended threads for reuse, and how many
// of them a busy machine leaves behind says nothing about a leak.

#include <cstdlib>
#include <fstream>
#include <string>

#include <malloc.h>

#include <QLabel>
#include <QToolButton>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include "../support/ModalBox.h"
#include "MainVideo.h"
#include "RepeatTimer.h"
#include "SpinEdit.h"
#include "VideoCap.h"

using namespace app;

namespace {

long heapBytes()
{
    const struct mallinfo2 heap = mallinfo2();
    return static_cast<long>(heap.uordblks + heap.hblkhd);
}

// Threads of the process: the pipelines that were stopped end on threads of their own.
int threadCount()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key)
        if (key == "Threads:") {
            int count = 0;
            status >> count;
            return count;
        }
    return 0;
}

// Waits until no thread has ended for a second (at most 15 s), so a busy machine that is
// slow to take the stopped pipelines apart is not mistaken for a leak.
void settleThreads()
{
    int last = threadCount();
    for (int still = 0, waited = 0; still < 1000 && waited < 15'000; waited += 50) {
        QTest::qWait(50);
        const int now = threadCount();
        still = now == last ? still + 50 : 0;
        last = now;
    }
}

void evaluateUntil(const TVideo& video, int evaluations)
{
    for (int waited = 0; video.evaluations() < evaluations && waited < 120'000; waited += 10)
        QTest::qWait(10);
}

} // namespace

TEST(Soak, TwoThousandAutomaticEvaluations)
{
    setenv("CAPTURE_SOURCES", "Fast|videotestsrc pattern=ball ! video/x-raw,width=640,height=480,framerate=1000/1", 1);
    ModalWatcher boxes;
    TVideo video;
    video.show();
    QTest::mouseClick(video.SpeedButton3, Qt::LeftButton);
    ASSERT_NE(capWindow(), nullptr);
    video.CapSpeedSpinBox->setValue(1);
    QTest::mouseClick(video.AutoBut, Qt::LeftButton);

    evaluateUntil(video, 100);
    const long settled = heapBytes();
    evaluateUntil(video, 2000);
    const long after = heapBytes();
    QTest::mouseClick(video.AutoBut, Qt::LeftButton);

    EXPECT_GE(video.evaluations(), 2000);
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join("; ").toStdString();
    EXPECT_LE(after - settled, 2 * 1024 * 1024) << "grew from " << settled << " to " << after << " bytes";
    EXPECT_NE(video.PixNumLab->text(), "0123456");
    video.close();
    unsetenv("CAPTURE_SOURCES");
}

TEST(Soak, ThreeHundredStartsAndStops)
{
    setenv("CAPTURE_SOURCES", "Ball|videotestsrc pattern=ball ! video/x-raw,width=320,height=240,framerate=200/1", 1);
    ModalWatcher boxes;
    TVideo video;
    video.show();
    auto rounds = [&](int count) {
        for (int i = 0; i < count; ++i) {
            QTest::mouseClick(video.SpeedButton3, Qt::LeftButton);
            ASSERT_NE(capWindow(), nullptr);
            ASSERT_TRUE(video.VideoLabel->text().startsWith("Live window")) << "round " << i;
            QTest::mouseClick(video.SpeedButton7, Qt::LeftButton);
        }
        settleThreads();
    };
    rounds(120); // the allocator and GStreamer fill their caches first
    const long settled = heapBytes();
    rounds(300);
    const long after = heapBytes();

    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join("; ").toStdString();
    EXPECT_LE(after - settled, 1024 * 1024) << "grew from " << settled << " to " << after << " bytes";
    video.close();
    unsetenv("CAPTURE_SOURCES");
}
