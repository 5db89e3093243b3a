// Frames that another program put on the X11 clipboard, as a user's screenshot tool or
// image viewer would. Runs on a real X server (Xvfb).

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QProcess>
#include <QToolButton>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include "../support/ModalBox.h"
#include "MainVideo.h"

namespace {

// Another process that owns the clipboard while it lives.
class Writer {
public:
    explicit Writer(int brighter)
    {
        process_.start(CLIPBOARD_WRITER, {QString::number(brighter)});
        ready_ = process_.waitForReadyRead(10'000) && process_.readAll().startsWith("ready");
    }
    ~Writer()
    {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(5'000))
            process_.kill();
    }
    bool ready() const { return ready_; }

private:
    QProcess process_;
    bool ready_ = false;
};

} // namespace

TEST(X11Clipboard, FramesFromAnotherProgramAreEvaluated)
{
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    ModalWatcher boxes;
    TVideo video;
    {
        Writer writer(0);
        ASSERT_TRUE(writer.ready());
        QTest::mouseClick(video.SpeedButton12, Qt::LeftButton);
    }
    {
        Writer writer(500);
        ASSERT_TRUE(writer.ready());
        QTest::mouseClick(video.SpeedButton12, Qt::LeftButton);
        EXPECT_EQ(video.PixNumLab->text(), "500");
    }
    // The owner is gone: the clipboard holds nothing, and the cycle only re-establishes.
    QTest::qWait(100);
    QTest::mouseClick(video.SpeedButton12, Qt::LeftButton);
    EXPECT_EQ(video.PixNumLab->text(), "0");
    EXPECT_TRUE(video.ReferenceFrame->empty());
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join("; ").toStdString();
}
