#include "VideoCap.h"

#include <QLabel>
#include <QMessageBox>
#include <QWidget>
#include <gtest/gtest.h>

#include "../support/ModalBox.h"
#include "RecordingService.h"

using Log = std::vector<std::string>;

namespace {

// A session against the recording service, with a panel and a label; closes what it opened.
class VideoCapTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        capture::installCaptureService(&service);
        panel.resize(320, 240);
        CapSetParent(&panel);
        CapSetStatusLabel(&label);
        CapSetFrameLimitEvent(nullptr);
        CapSetFrameLimit(45);
    }
    void TearDown() override
    {
        CapDestroy();
        capture::installCaptureService(nullptr);
    }

    // Opens a session and answers the capture file message box, if one opens.
    bool create(QString* boxText = nullptr)
    {
        if (boxText)
            whenModalOpens([boxText](QWidget* w) { *boxText = static_cast<QMessageBox*>(w)->text(); });
        return CapCreate();
    }

    RecordingService service;
    QWidget panel;
    QLabel label;
};

const std::string window = "create VELKO " + std::to_string(capture::windowChild | capture::windowVisible) +
                           " 0,0 320x240 id 0";

Log scan(int connectedIndex)
{
    Log log;
    for (int i = 0; i <= connectedIndex && i < 10; ++i)
        log.push_back("connect " + std::to_string(i));
    return log;
}

} // namespace

// Runs first: the driver name starts as "No Driver Found" in the process's first session.
TEST_F(VideoCapTest, FirstSessionWithoutDriverNamesNoDriverInTheFileNameBox)
{
    service.fileResult = 0;
    QString boxText;
    ASSERT_TRUE(create(&boxText));
    EXPECT_EQ(boxText, "No Driver Found: Error in capFileSetCaptureFile");
    EXPECT_NE(capWindow(), nullptr);
    EXPECT_EQ(driverName(), "No Driver Found");

    Log expected = {window, "callback off", "callback on"};
    for (const std::string& line : scan(9))
        expected.push_back(line);
    expected.push_back("describe 10 80 100");
    expected.push_back("file video.avi");
    EXPECT_EQ(service.take(), expected);
}

TEST_F(VideoCapTest, LaterSessionNamesTheLastDescribedDriver)
{
    service.connectResult[0] = 1;
    service.driverNames[0] = "Desk Camera";
    ASSERT_TRUE(create());
    EXPECT_EQ(driverName(), "Desk Camera");
    CapDestroy();

    RecordingService noDriver;
    noDriver.fileResult = 0;
    capture::installCaptureService(&noDriver);
    QString boxText;
    ASSERT_TRUE(create(&boxText));
    EXPECT_EQ(boxText, "Desk Camera: Error in capFileSetCaptureFile");
    CapDestroy();
    capture::installCaptureService(&service);
}

TEST_F(VideoCapTest, WithoutPanelNothingHappens)
{
    CapSetParent(nullptr);
    EXPECT_FALSE(CapCreate());
    EXPECT_EQ(capWindow(), nullptr);
    EXPECT_TRUE(service.take().empty());
}

TEST_F(VideoCapTest, FailedWindowOrCallbackClosesTheSession)
{
    service.windowFails = true;
    EXPECT_FALSE(create());
    EXPECT_EQ(capWindow(), nullptr);
    EXPECT_EQ(service.take(), (Log{window}));

    service.windowFails = false;
    service.callbackResult = 0;
    EXPECT_FALSE(create());
    EXPECT_EQ(capWindow(), nullptr);
    EXPECT_EQ(service.take(), (Log{window, "callback off", "callback off", "disconnect", "destroy"}));
}

TEST_F(VideoCapTest, ScanStopsAtTheFirstDriverThatConnects)
{
    service.connectResult[1] = 1;
    service.driverNames[1] = "Second";
    ASSERT_TRUE(create());
    EXPECT_EQ(service.take(), (Log{window, "callback off", "callback on", "connect 0", "connect 1", "get setup " +
                                   std::to_string(sizeof(capture::CaptureParms)),
                                   "set setup " + std::to_string(sizeof(capture::CaptureParms)), "describe 1 80 100",
                                   "file video.avi"}));
    EXPECT_EQ(driverName(), "Second");
}

TEST_F(VideoCapTest, UnreadableSetupStillCountsAsConnected)
{
    service.connectResult[0] = 1;
    service.getSetupResult = 0;
    ASSERT_TRUE(create());
    const Log log = service.take();
    EXPECT_EQ(std::count(log.begin(), log.end(), "connect 1"), 0);
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("set setup", 0) == 0; }), 0);
}

TEST_F(VideoCapTest, RefusedSetupMovesTheScanOnWithoutDisconnecting)
{
    service.connectResult[0] = 1;
    service.connectResult[2] = 1;
    service.setSetupResult = 0;
    service.driverNames[2] = "Third";
    ASSERT_TRUE(create());
    const Log log = service.take();
    EXPECT_EQ(std::count(log.begin(), log.end(), "connect 0"), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), "connect 3"), 1) << "every refused setup moves on";
    EXPECT_EQ(std::count(log.begin(), log.end(), "disconnect"), 0);
}

TEST_F(VideoCapTest, SequenceSetupChangesOnlyItsEightFields)
{
    service.connectResult[0] = 1;
    capture::CaptureParms read;
    read.dwRequestMicroSecPerFrame = 1;
    read.fLimitEnabled = 1;
    read.fCaptureAudio = 1;
    read.fMCIControl = 1;
    read.fYield = 0;
    read.vKeyAbort = 0;
    read.fAbortLeftMouse = 1;
    read.fAbortRightMouse = 1;
    read.wTimeLimit = 77;
    read.wPercentDropForError = 33;
    service.setupRead = read;
    ASSERT_TRUE(create());
    const capture::CaptureParms& w = service.setupWritten;
    EXPECT_EQ(w.dwRequestMicroSecPerFrame, 66667u);
    EXPECT_EQ(w.fLimitEnabled, 0);
    EXPECT_EQ(w.fCaptureAudio, 0);
    EXPECT_EQ(w.fMCIControl, 0);
    EXPECT_EQ(static_cast<std::uint32_t>(w.fYield), 0xFFFFFFFFu);
    EXPECT_EQ(w.vKeyAbort, 27u);
    EXPECT_EQ(w.fAbortLeftMouse, 0);
    EXPECT_EQ(w.fAbortRightMouse, 0);
    EXPECT_EQ(w.wTimeLimit, 77u);
    EXPECT_EQ(w.wPercentDropForError, 33u);
}

TEST_F(VideoCapTest, StatusReports)
{
    int notifications = 0;
    CapSetFrameLimitEvent([&](QObject* sender) {
        EXPECT_EQ(sender, nullptr);
        ++notifications;
    });
    ASSERT_TRUE(create());
    service.take();

    struct Case {
        std::uint32_t limit;
        std::int32_t id;
        const char* text;
        bool aborts;
    } cases[] = {
        {45, 510, "45 frames captured", true},
        {45, 510, "46 frames", true},
        {45, 510, "44 frames", false},
        {45, 510, "-3 frames", false},
        {45, 510, "45", false},   // no space: the leading word is empty
        {45, 510, " 45 x", false}, // starts with a space: empty too
        {45, 510, "+45 x", true},
        {45, 510, "-45 x", false},
        {45, 510, "$2D x", true},
        {45, 510, "x2d x", true},
        {45, 510, "X2D x", true},
        {45, 510, "0x2D x", true},
        {45, 510, "0X2d x", true},
        {45, 510, "$FFFFFFFF x", false}, // the pattern is -1
        {45, 510, "$123456789 x", false}, // nine digits
        {45, 510, "2147483647 x", true},
        {45, 510, "2147483648 x", false}, // out of range
        {45, 510, "-2147483648 x", false},
        {45, 510, "-2147483649 x", false},
        {45, 510, "4x x", false},
        {45, 510, "$ x", false},
        {45, 509, "45 frames", false}, // another id
        {45, 0, "99999999999 x", false},
        {0, 510, "0 x", true},
        {0, 510, "-1 x", false},
        {0xFFFFFFFF, 510, "2147483647 x", false},
        {0x80000000, 510, "$7FFFFFFF x", false},
        {0x80000000, 510, "$80000000 x", false},
    };
    for (const Case& k : cases) {
        CapSetFrameLimit(k.limit);
        notifications = 0;
        EXPECT_EQ(CapStatusCallback(capWindow(), k.id, k.text), 1);
        EXPECT_EQ(label.text().toStdString(), k.text);
        EXPECT_EQ(service.take(), k.aborts ? Log{"abort"} : Log{}) << k.limit << " / " << k.id << " / " << k.text;
        EXPECT_EQ(notifications, k.aborts ? 1 : 0) << k.text;
    }

    CapStatusCallback(capWindow(), 1, nullptr);
    EXPECT_EQ(label.text(), "") << "a null text empties the label";

    CapSetFrameLimitEvent(nullptr);
    CapSetFrameLimit(45);
    CapStatusCallback(nullptr, 510, "45 frames");
    EXPECT_EQ(service.take(), Log{"abort"}) << "the abort goes to the session's window, with or without a notification";
}

TEST_F(VideoCapTest, DisplayGrabAndDialogMessagesInOrder)
{
    ASSERT_TRUE(create());
    service.take();
    struct Case {
        void (*operation)();
        Log messages;
    } cases[] = {
        {CapStartOverlay, {"scale 1", "rate 40", "overlay 1"}},
        {CapResumePreview, {"overlay 0", "scale 1", "rate 40", "preview 1"}},
        {CapGrabToClipboard, {"grab", "copy"}},
        {CapOverlayOn, {"overlay 1"}},
        {CapPreviewOn, {"preview 1"}},
        {CapDlgVideoFormat, {"format dialog"}},
        {CapDlgVideoSource, {"source dialog"}},
        {CapDlgVideoDisplay, {"display dialog"}},
    };
    for (const Case& k : cases) {
        k.operation();
        EXPECT_EQ(service.take(), k.messages);
    }
    CapDestroy();
    EXPECT_EQ(service.take(), (Log{"callback off", "disconnect", "destroy"}));
    CapDestroy();
    EXPECT_TRUE(service.take().empty()) << "a second CapDestroy does nothing";
}

TEST_F(VideoCapTest, WithoutSessionOnlyTheUntestedSwitchesAreSent)
{
    ASSERT_EQ(capWindow(), nullptr);
    for (void (*operation)() : {CapStartOverlay, CapResumePreview, CapGrabToClipboard, CapDlgVideoFormat,
                                CapDlgVideoSource, CapDlgVideoDisplay, CapDestroy})
        operation();
    EXPECT_TRUE(service.take().empty());
    CapOverlayOn();
    CapPreviewOn();
    EXPECT_EQ(service.take(), (Log{"overlay 1 to none", "preview 1 to none"}));
    EXPECT_FALSE(CapConnectDriver(0));
}
