// The desktop's clipboard on a real X server (Xvfb): frames another program puts there
// (with the desktop clipboard chosen), and the user's clipboard left alone otherwise.

#include <cstdlib>

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QProcess>
#include <QToolButton>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include "../support/ModalBox.h"
#include "FrameClipboard.h"
#include "MainVideo.h"

namespace {

// Another process that owns the clipboard while it lives.
class Writer {
public:
    explicit Writer(const QStringList& arguments)
    {
        process_.start(CLIPBOARD_WRITER, arguments);
        ready_ = process_.waitForReadyRead(10'000) && process_.readAll().startsWith("ready");
    }
    explicit Writer(int brighter) : Writer(QStringList{QString::number(brighter)}) {}
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

// The desktop clipboard as the frames' hand-off for as long as it lives.
struct DesktopClipboard {
    DesktopClipboard() { platform::frameClipboard().setDesktopClipboard(true); }
    ~DesktopClipboard() { platform::frameClipboard().setDesktopClipboard(false); }
};

const char* const snow = "Snow|videotestsrc pattern=snow is-live=true ! video/x-raw,width=320,height=240";

} // namespace

TEST(X11Clipboard, FramesFromAnotherProgramAreEvaluated)
{
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    DesktopClipboard desktop;
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

TEST(X11Clipboard, TextTheUserCopiedSurvivesEvaluations)
{
    const QString copied = "copied by the user";
    Writer writer({"--text", copied});
    ASSERT_TRUE(writer.ready());
    // Our view of the clipboard follows its new owner once the server's notice is read.
    for (int waited = 0; QGuiApplication::clipboard()->text() != copied && waited < 5000; waited += 20)
        QTest::qWait(20);
    ASSERT_EQ(QGuiApplication::clipboard()->text().toStdString(), copied.toStdString());
    ModalWatcher boxes;
    setenv("CAPTURE_SOURCES", snow, 1);
    TVideo video;
    QTest::mouseClick(video.SpeedButton3, Qt::LeftButton);
    for (int i = 0; i < 100; ++i)
        QTest::mouseClick(video.SpeedButton12, Qt::LeftButton);
    EXPECT_GT(video.PixNumLab->text().toInt(), 10000) << "the evaluations saw the snow";
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), copied.toStdString());
    EXPECT_FALSE(QGuiApplication::clipboard()->ownsClipboard());
    QTest::mouseClick(video.SpeedButton7, Qt::LeftButton);
    unsetenv("CAPTURE_SOURCES");
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join("; ").toStdString();
}

TEST(X11Clipboard, TwoProgramsWatchingDifferentSourcesSeeTheirOwnFrames)
{
    auto start = [](QProcess& watcher, const char* source) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("CAPTURE_SOURCES", source);
        watcher.setProcessEnvironment(environment);
        watcher.start(WATCHER, {"100"});
    };
    QProcess still, moving;
    start(still, "Still|videotestsrc pattern=black is-live=true ! video/x-raw,width=320,height=240");
    start(moving, snow);
    ASSERT_TRUE(still.waitForFinished(120'000));
    ASSERT_TRUE(moving.waitForFinished(120'000));
    const QString stillSaw = QString::fromLatin1(still.readAllStandardOutput()).trimmed();
    const QStringList movingSaw = QString::fromLatin1(moving.readAllStandardOutput()).split(' ');
    EXPECT_EQ(stillSaw.toStdString(), "max 0 boxes 0") << "nothing moves in a black picture";
    ASSERT_EQ(movingSaw.size(), 4);
    EXPECT_GT(movingSaw[1].toInt(), 10000) << "snow changes most pixels";
    EXPECT_EQ(movingSaw[3].trimmed().toStdString(), "0");
}
