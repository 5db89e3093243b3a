// The desktop's clipboard on a real X server (Xvfb): frames another program puts there
// (with the desktop clipboard chosen), and the user's clipboard left alone otherwise.

#include <chrono>
#include <csignal>
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
    qint64 pid() const { return process_.processId(); }

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

TEST(X11Clipboard, ImagesAboveTheLargestSizeAreRefusedWithAClearMessage)
{
    DesktopClipboard desktop;
    ModalWatcher boxes;
    TVideo video;
    for (const QStringList& size : {QStringList{"7681", "2"}, QStringList{"2", "4321"}}) {
        Writer writer(QStringList{"--size"} + size);
        ASSERT_TRUE(writer.ready());
        QTest::mouseClick(video.SpeedButton12, Qt::LeftButton);
    }
    ASSERT_EQ(boxes.texts.size(), 2) << boxes.texts.join("; ").toStdString();
    EXPECT_EQ(boxes.texts[0].toStdString(),
              "The image on the clipboard is too large (7681 x 2 pixels; at most 7680 x 4320 pixels)");
    EXPECT_TRUE(boxes.texts[1].startsWith("The image on the clipboard is too large (2 x 4321 pixels"));
    Writer fits(QStringList{"--size", "7680", "4"});
    ASSERT_TRUE(fits.ready());
    QTest::mouseClick(video.SpeedButton12, Qt::LeftButton);
    EXPECT_EQ(video.ReferenceFrame->width(), 7680);
    EXPECT_EQ(boxes.texts.size(), 2);
}

TEST(X11Clipboard, AnOwnerThatNeverAnswersIsGivenUpAfterTheLimitInAll)
{
    DesktopClipboard desktop;
    ModalWatcher boxes;
    TVideo video;
    Writer writer(0);
    ASSERT_TRUE(writer.ready());
    ::kill(pid_t(writer.pid()), SIGSTOP); // owns the clipboard, answers nothing
    const auto started = std::chrono::steady_clock::now();
    QTest::mouseClick(video.SpeedButton12, Qt::LeftButton);
    const auto took = std::chrono::steady_clock::now() - started;
    ::kill(pid_t(writer.pid()), SIGCONT);
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_EQ(boxes.texts[0].toStdString(), "The clipboard's owner did not hand the image over within 5 s.");
    // Each question waited for on its own took 65 s; one limit for all takes 5 s.
    EXPECT_LT(took, std::chrono::milliseconds(3 * platform::FrameClipboard::desktopReadLimitMs));
}
