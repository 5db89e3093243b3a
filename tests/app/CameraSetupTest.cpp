// The remembered format and picture controls of a camera, put on a real live source (a
// test pattern through the capture pipeline) and read back from it.

#include <chrono>

#include <gst/gst.h>
#include <gtest/gtest.h>

#include "CameraSetup.h"
#include "LiveSource.h"

using namespace std::chrono_literals;

namespace {

// Waits until the source runs and the setup had its turn.
bool running(platform::LiveSource& source)
{
    return platform::waitHandlingEvents(
        &source, [&] { return source.state() == platform::LiveSource::State::Running; }, 15s);
}

const platform::Driver pattern{"Pattern", "videotestsrc is-live=true ! video/x-raw,framerate=10/1", nullptr};

} // namespace

TEST(CameraSetup, FormatTextKeepsWhatMakesTheFormat)
{
    gst_init(nullptr, nullptr); // as the program does before anything reads caps
    EXPECT_EQ(app::formatText("video/x-raw, format=(string)I420, width=(int)320, height=(int)240, "
                              "interlace-mode=(string)progressive, framerate=(fraction)10/1")
                  .toStdString(),
              "video/x-raw, format=(string)I420, width=(int)320, height=(int)240, framerate=(fraction)10/1");
    EXPECT_EQ(app::formatText("not caps at all ,,"), "");
    EXPECT_EQ(app::formatText("ANY"), "");
}

TEST(CameraSetup, PutsTheRememberedFormatAndControlsOnTheSourceAndReadsChangesBack)
{
    platform::LiveSource source;
    const QString wanted = "video/x-raw, format=(string)I420, width=(int)160, height=(int)120, "
                           "framerate=(fraction)10/1";
    app::CameraSetup setup(source, wanted, {{"brightness", 250}, {"unknown control", 7}});
    source.open(pattern);
    ASSERT_TRUE(running(source)) << source.statusText().toStdString();
    // The format change reconnects the source; the controls follow once it runs again.
    ASSERT_TRUE(platform::waitHandlingEvents(
        &source, [&] { return setup.controls().count("brightness") && !source.newest().empty() && source.newest().pixels->width() == 160; }, 15s))
        << source.statusText().toStdString();
    EXPECT_EQ(setup.format().toStdString(), wanted.toStdString());
    EXPECT_EQ(setup.controls().at("brightness"), 250);
    EXPECT_EQ(setup.controls().count("unknown control"), 0u);
    ASSERT_FALSE(source.newest().empty());
    EXPECT_EQ(source.newest().pixels->width(), 160);
    EXPECT_EQ(source.newest().pixels->height(), 120);
    source.close();
}

TEST(CameraSetup, NothingRememberedLeavesTheSourceAsItComes)
{
    platform::LiveSource source;
    app::CameraSetup setup(source, {}, {});
    source.open(pattern);
    ASSERT_TRUE(running(source)) << source.statusText().toStdString();
    setup.refresh();
    ASSERT_FALSE(source.newest().empty());
    EXPECT_EQ(source.newest().pixels->width(), 320);
    EXPECT_EQ(source.newest().pixels->height(), 240);
    EXPECT_TRUE(setup.format().contains("width=(int)320")) << setup.format().toStdString();
    EXPECT_EQ(setup.controls().at("brightness"), 0);
    source.close();
}
