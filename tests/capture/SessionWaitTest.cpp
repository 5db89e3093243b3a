// The session on the GStreamer service while its source keeps it waiting.

#include <cstdlib>

#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include "../support/ModalBox.h"
#include "../support/SilentFifo.h"
#include "VideoCap.h"

TEST(SessionWait, EndingTheSessionWhileItConnectsEndsTheWaitAndTheStart)
{
    const SilentFifo fifo;
    ASSERT_TRUE(fifo.made);
    setenv("CAPTURE_SOURCES", fifo.source().c_str(), 1);
    capture::installCaptureService(nullptr);
    QWidget panel;
    QLabel label;
    CapSetParent(&panel);
    CapSetStatusLabel(&label);
    ModalWatcher boxes;

    bool waited = false;
    QString shownWhileWaiting;
    QTimer::singleShot(50, &panel, [&] {
        waited = CapWaiting();
        shownWhileWaiting = label.text();
        CapDestroy();
    });
    EXPECT_FALSE(CapCreate());
    EXPECT_TRUE(waited);
    EXPECT_EQ(shownWhileWaiting, "Connecting to Silent");
    EXPECT_EQ(capWindow(), nullptr);
    EXPECT_FALSE(CapWaiting());
    EXPECT_TRUE(boxes.texts.isEmpty()) << "no capture-file box for a session that was ended";
    CapGrabToClipboard(); // nothing to grab from, nothing happens
    unsetenv("CAPTURE_SOURCES");
}
