// The program as a user starts it: without a display, ended by a signal, and with a
// settings file of its own.

#include <csignal>
#include <fstream>
#include <string>

#include <QDir>
#include <QFile>
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

    // Starts the windows and ends them with SIGTERM once they are up.
    void runWindowsUntilSignalled(const QStringList& arguments)
    {
        QProcessEnvironment e = environment();
        e.insert("QT_QPA_PLATFORM", "offscreen");
        start(e, arguments);
        for (int waited = 0; !catches(process.processId(), SIGTERM) && waited < 30'000; waited += 20)
            QTest::qWait(20);
        process.terminate();
        ASSERT_TRUE(process.waitForFinished(30'000));
        EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    }

    QTemporaryDir folder;
    QProcess process;
};

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

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

TEST_F(Program, TheWindowsReadAndSaveTheSettingsFileNamedWithConfig)
{
    const QString named = folder.filePath("garden.conf");
    runWindowsUntilSignalled({"--config", named});
    const QByteArray made = contents(named);
    EXPECT_TRUE(made.contains("format=Video settings 1")) << "a missing file is made: " << made.toStdString();
    EXPECT_TRUE(made.contains("pixelVariations=20")) << made.toStdString();

    QFile file(named);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(made).replace("pixelVariations=20", "pixelVariations=77"));
    file.close();
    runWindowsUntilSignalled({"--config", named});
    EXPECT_TRUE(contents(named).contains("pixelVariations=77")) << "read from the file and saved back";
    EXPECT_FALSE(QFile::exists(folder.filePath("Video/Video.conf"))) << "the default file is not touched";
}

TEST_F(Program, ASettingsFileThatCannotBeUsedIsRefusedWithStatusTwoAndLeftAsItIs)
{
    const QByteArray damaged = "[General]\nformat=Video settings 1\n[evaluation]\npixelVariations=300\n";
    const QString named = folder.filePath("damaged.conf");
    const QString headlessOwn = folder.filePath("Video/video-headless.conf");
    ASSERT_TRUE(QDir().mkpath(folder.filePath("Video")));
    for (const QString& path : {named, headlessOwn}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(damaged);
    }
    QProcessEnvironment e = environment();
    e.insert("QT_QPA_PLATFORM", "offscreen");
    const struct {
        QStringList arguments;
        QString named;
    } cases[] = {
        {{"--config", named}, named},
        {{"--headless", "--config", named}, named},
        {{"--headless"}, headlessOwn},
        {{"--config", folder.filePath("missing/garden.conf")}, folder.filePath("missing/garden.conf")},
        {{"--config", folder.path()}, folder.path()},
    };
    for (const auto& c : cases) {
        const std::string what = c.arguments.join(' ').toStdString();
        start(e, c.arguments);
        ASSERT_TRUE(process.waitForFinished(30'000)) << what;
        EXPECT_EQ(process.exitCode(), 2) << what;
        const QString said = QString::fromLocal8Bit(process.readAllStandardError());
        EXPECT_TRUE(said.contains(c.named)) << what << ": " << said.toStdString();
    }
    EXPECT_EQ(contents(named), damaged);
    EXPECT_EQ(contents(headlessOwn), damaged);
}
