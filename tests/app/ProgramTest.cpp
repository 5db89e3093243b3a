// The program as a user starts it: without a display, and ended by a signal.

#include <csignal>
#include <fstream>
#include <string>

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest/QTest>
#include <gtest/gtest.h>

namespace {

// Whether the process has a handler for `signal` yet (its "SigCgt" mask in /proc).
bool catches(qint64 pid, int signal)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("SigCgt:"))
            return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
    return false;
}

// The program in a fresh folder with its own settings, on a test pattern.
class Program : public ::testing::Test {
protected:
    void start(const QProcessEnvironment& environment, const QStringList& arguments = {})
    {
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(folder.path());
        process.start(VIDEO_PROGRAM, arguments);
        ASSERT_TRUE(process.waitForStarted());
    }
    QProcessEnvironment environment() const
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("XDG_CONFIG_HOME", folder.path());
        e.insert("CAPTURE_SOURCES", "Test|videotestsrc is-live=true ! video/x-raw,width=320,height=240");
        return e;
    }

    QTemporaryDir folder;
    QProcess process;
};

} // namespace

TEST_F(Program, WithoutADisplayItSaysSoInOneLineAndEndsWithStatusOne)
{
    QProcessEnvironment e = environment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "QT_QPA_PLATFORM"})
        e.remove(name);
    start(e);
    ASSERT_TRUE(process.waitForFinished(30'000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 1);
    const QString said = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    EXPECT_TRUE(said.contains("display")) << said.toStdString();
    EXPECT_EQ(said.count('\n'), 0) << said.toStdString();
}

TEST_F(Program, APlatformThatIsNotThereIsAnArgumentItCannotUse)
{
    start(environment(), {"-platform", "nosuch"});
    ASSERT_TRUE(process.waitForFinished(30'000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << "not aborted";
    EXPECT_EQ(process.exitCode(), 2);
    const QString said = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    EXPECT_TRUE(said.startsWith("Video cannot show its windows: there is no Qt platform \"nosuch\"; the platforms are"))
        << said.toStdString();
    EXPECT_TRUE(said.contains("offscreen")) << said.toStdString();
    EXPECT_EQ(said.count('\n'), 0) << said.toStdString();
}

TEST_F(Program, SignalsEndItAsClosingItsWindowDoes)
{
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        QProcessEnvironment e = environment();
        e.insert("QT_QPA_PLATFORM", "offscreen");
        start(e, {"--auto", "--period", "50"});
        for (int waited = 0; !catches(process.processId(), signal) && waited < 30'000; waited += 20)
            QTest::qWait(20);
        // Long enough for frames to have passed through the windows and the clipboard,
        // whose pictures are then let go of as the program ends.
        QTest::qWait(2'000);
        ::kill(pid_t(process.processId()), signal);
        ASSERT_TRUE(process.waitForFinished(30'000)) << "signal " << signal;
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << "signal " << signal;
        EXPECT_EQ(process.exitCode(), 0) << "signal " << signal;
    }
}
