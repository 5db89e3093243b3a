// What the live picture costs: process CPU time over 20 s of a 640 x 480 test source at
// 25 frames a second, connected without a display mode and then in preview mode scaled
// to the 320 x 240 window; and how long a grab takes to return.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QThread>
#include <QWidget>
#include <sys/resource.h>

#include "CoreShare.h"
#include "GstCaptureService.h"

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("CAPTURE_SOURCES", "Ball|videotestsrc pattern=ball is-live=true ! video/x-raw,width=640,height=480,framerate=25/1", 1);
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20;

    capture::GstCaptureService service;
    QWidget panel;
    panel.resize(320, 240);
    panel.show();
    capture::CaptureWindow* window = service.createCaptureWindow(
        "VELKO", capture::windowChild | capture::windowVisible, 0, 0, 320, 240, &panel, 0);
    if (!window || service.driverConnect(window, 0) == 0) {
        std::fprintf(stderr, "the test source does not connect\n");
        return 1;
    }

    const double connected = coreShare(seconds);
    service.setScale(window, 1);
    service.setPreviewRate(window, 40);
    service.setPreview(window, 1);
    const double previewing = coreShare(seconds);
    std::printf("CPU, share of one core over %.0f s: source connected %.1f %%, in preview %.1f %% "
                "(preview itself %.1f %%)\n",
                seconds, 100 * connected, 100 * previewing, 100 * (previewing - connected));

    std::vector<double> grabs;
    for (int i = 0; i < 50; ++i) {
        QThread::msleep(static_cast<unsigned long>(std::rand() % 40));
        QElapsedTimer timer;
        timer.start();
        if (service.grabFrame(window) == 0) {
            std::fprintf(stderr, "grab %d got no frame\n", i);
            return 1;
        }
        grabs.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        service.setPreview(window, 1);
    }
    std::sort(grabs.begin(), grabs.end());
    std::printf("grab returns in: median %.1f ms, 90th percentile %.1f ms, longest %.1f ms "
                "(1.5 frame periods: 60 ms)\n",
                grabs[grabs.size() / 2], grabs[grabs.size() * 9 / 10], grabs.back());
    service.driverDisconnect(window);
    service.destroyWindow(window);
    return 0;
}
