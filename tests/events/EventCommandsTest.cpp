#include <cerrno>

#include <signal.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include "EventCommands.h"

using namespace events;

namespace {

Event sample()
{
    Event e;
    e.id = 7;
    e.start = fromMilliseconds(1'800'000'000'000);
    e.end = e.start + std::chrono::seconds(12);
    e.peakCount = 4321;
    e.clip = "/saved/2027-01-15_09-00-00.webm";
    e.thumbnail = "/saved/2027-01-15_09-00-00.jpg";
    return e;
}

} // namespace

TEST(EventCommands, PlaceholdersAreFilledInEachArgument)
{
    const Event e = sample();
    const QStringList expanded =
        EventCommands::expand({"notify-me", "--id={id}", "{peak} px", "{clip}", "{thumbnail}", "{time}", "{other}"}, e, e.end);
    ASSERT_EQ(expanded.size(), 7);
    EXPECT_EQ(expanded[0], "notify-me");
    EXPECT_EQ(expanded[1], "--id=7");
    EXPECT_EQ(expanded[2], "4321 px");
    EXPECT_EQ(expanded[3], "/saved/2027-01-15_09-00-00.webm");
    EXPECT_EQ(expanded[4], "/saved/2027-01-15_09-00-00.jpg");
    EXPECT_EQ(expanded[5].toStdString(), localText(e.end));
    EXPECT_EQ(expanded[6], "{other}") << "unknown placeholders stay as written";

    // What a placeholder gives is taken as it is, even when it looks like one.
    Event odd = e;
    odd.clip = "/saved/x{peak}y/{id}.webm";
    odd.thumbnail = "{clip}";
    EXPECT_EQ(EventCommands::expand({"{clip}", "{thumbnail}{peak}"}, odd, odd.end),
              (QStringList{"/saved/x{peak}y/{id}.webm", "{clip}4321"}));
}

namespace {

QStringList warnings;
void keepWarning(QtMsgType, const QMessageLogContext&, const QString& text)
{
    warnings << text;
}

} // namespace

TEST(EventCommands, ACommandStillRunningAtTheEndIsEndedQuietly)
{
    QTemporaryDir dir;
    qint64 pid = 0;
    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepWarning);
    {
        EventCommands commands;
        commands.setCommands({"sleep", "600"}, {});
        commands.eventStarted(sample());
        const QList<QProcess*> running = commands.findChildren<QProcess*>();
        ASSERT_EQ(running.size(), 1);
        ASSERT_TRUE(running.front()->waitForStarted(20000));
        pid = running.front()->processId();
    }
    qInstallMessageHandler(previous);
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join('\n').toStdString();
    EXPECT_TRUE(kill(pid_t(pid), 0) != 0 && errno == ESRCH) << "the command does not outlive its owner";
}

TEST(EventCommands, RunWithoutShellAndReportFailures)
{
    QTemporaryDir dir;
    EventCommands commands;
    QSignalSpy failures(&commands, &EventCommands::failed);
    QSignalSpy finished(&commands, &EventCommands::commandFinished);
    Event e = sample();

    // Shell syntax in an argument is passed on as it is, never interpreted.
    commands.setCommands({"touch", dir.filePath("{id} $HOME;{peak}")}, {"sh", "-c", "echo cannot reach {id} >&2; exit 3"});
    commands.eventStarted(e);
    commands.eventEnded(e);
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.size() == 2; }, 20000));
    EXPECT_TRUE(QFile::exists(dir.filePath("7 $HOME;4321")));
    ASSERT_EQ(failures.size(), 1);
    EXPECT_EQ(failures[0][0].toString(), "Command on event end (sh) failed with exit status 3: cannot reach 7");

    commands.setCommands({dir.filePath("no-such-program")}, {});
    commands.eventStarted(e);
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.size() == 3; }, 20000));
    ASSERT_EQ(failures.size(), 2);
    EXPECT_TRUE(failures[1][0].toString().startsWith("Command on event start (" + dir.filePath("no-such-program") +
                                                     ") cannot start"))
        << failures[1][0].toString().toStdString();

    commands.setCommands({}, {});
    commands.eventStarted(e);
    commands.eventEnded(e);
    QTest::qWait(50);
    EXPECT_EQ(finished.size(), 3) << "no command, nothing run";
}

TEST(EventCommands, ALineSplitsIntoWordsAsAShellWouldAndJoinsBack)
{
    QString error;
    const std::pair<QString, QStringList> cases[] = {
        {"", {}},
        {"  notify-send   Movement  ", {"notify-send", "Movement"}},
        {"cp {clip} '/home/me/My Clips/'", {"cp", "{clip}", "/home/me/My Clips/"}},
        {R"(echo "say \"hi\" \$HOME \n" it\'s a\ b '')", {"echo", R"(say "hi" $HOME \n)", "it's", "a b", ""}},
        {R"(a"b"'c'd)", {"abcd"}},
    };
    for (const auto& [line, words] : cases) {
        const std::optional<QStringList> split = splitCommandLine(line, error);
        ASSERT_TRUE(split) << line.toStdString() << ": " << error.toStdString();
        EXPECT_EQ(*split, words) << line.toStdString();
        // What is written back reads as the same words.
        EXPECT_EQ(splitCommandLine(joinCommandLine(words), error), words) << joinCommandLine(words).toStdString();
    }
    for (const QString line : {"echo 'open", R"(echo "open)", R"(echo end\)"}) {
        error.clear();
        EXPECT_FALSE(splitCommandLine(line, error)) << line.toStdString();
        EXPECT_FALSE(error.isEmpty());
    }
}
