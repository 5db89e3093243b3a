// A copy of the program watching the source that CAPTURE_SOURCES names: starts the
// video, evaluates `argv[1]` times and prints the largest changed-pixel count it saw and
// the number of error boxes, as "max <n> boxes <m>".

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QLabel>
#include <QToolButton>
#include <QtTest/QTest>

#include "../support/ModalBox.h"
#include "MainVideo.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const int evaluations = argc > 1 ? std::atoi(argv[1]) : 100;
    ModalWatcher boxes;
    TVideo video;
    QTest::mouseClick(video.SpeedButton3, Qt::LeftButton);
    long long largest = 0;
    for (int i = 0; i < evaluations; ++i) {
        QTest::mouseClick(video.SpeedButton12, Qt::LeftButton);
        largest = std::max(largest, video.PixNumLab->text().toLongLong());
    }
    QTest::mouseClick(video.SpeedButton7, Qt::LeftButton);
    std::printf("max %lld boxes %lld\n", largest, static_cast<long long>(boxes.texts.size()));
    return 0;
}
