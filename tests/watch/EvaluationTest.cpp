#include <filesystem>
#include <fstream>

#include <QImage>
#include <gtest/gtest.h>
#include <unistd.h>

#include "../support/FileSizeLimit.h"
#include "Beep.h"
#include "Evaluation.h"

namespace fs = std::filesystem;
using watch::Cycle;
using watch::CycleSettings;
using watch::Evaluation;
using analysis::Frame;

namespace {

// A 24-bit picture of gray level 100 in which the first `brighter` pixels (row by row)
// are at 130 and the last `darker` ones at 70.
analysis::Bitmap picture(int brighter, int darker = 0, int width = 32, int height = 24)
{
    analysis::Bitmap p(width, height, analysis::PixelFormat::Bgr24);
    for (int i = 0; i < width * height; ++i) {
        const std::uint8_t level = i < brighter ? 130 : i >= width * height - darker ? 70 : 100;
        std::uint8_t* pixel = p.row(i / width) + 3 * (i % width);
        pixel[0] = pixel[1] = pixel[2] = level;
    }
    return p;
}

Frame frame(int brighter, int darker = 0, int width = 32, int height = 24, std::uint64_t stream = 0)
{
    return {std::make_shared<const analysis::Bitmap>(picture(brighter, darker, width, height)), stream, 1, 0};
}

CycleSettings everything(std::int64_t minimalMovement)
{
    CycleSettings settings;
    settings.minimalMovement = minimalMovement;
    settings.beepOnMove = true;
    settings.saveOnMove = true;
    return settings;
}

// Keeps every cycle it hears of.
struct Recorder : watch::CycleListener {
    std::vector<Cycle> cycles;
    void cycleEvaluated(const Cycle& cycle) override { cycles.push_back(cycle); }
};

// A fresh working directory with an `images` folder, for the saves.
class InFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        directory = fs::temp_directory_path() / ("watch-" + std::to_string(getpid()));
        fs::remove_all(directory);
        fs::create_directories(directory / "images");
        previous = fs::current_path();
        fs::current_path(directory);
    }
    void TearDown() override
    {
        fs::current_path(previous);
        fs::remove_all(directory);
    }
    static int savedFiles()
    {
        return fs::is_directory("images") ? int(std::distance(fs::directory_iterator("images"), {})) : 0;
    }

    fs::path directory, previous;
};

} // namespace

TEST_F(InFolder, MovingCycleCountsBeepsSavesAndTellsListeners)
{
    Evaluation evaluation;
    Recorder recorder;
    evaluation.addListener(&recorder);
    evaluation.takeReference(frame(0));
    const auto beeps = platform::beepsSoFar();
    const Cycle& cycle = evaluation.evaluate(frame(40, 30), everything(69));
    EXPECT_EQ(cycle.compared, 0);
    EXPECT_EQ(cycle.result.BrightCount, 40);
    EXPECT_EQ(cycle.result.DarkCount, 30);
    EXPECT_EQ(cycle.brightCounted, 40);
    EXPECT_EQ(cycle.darkCounted, 30);
    EXPECT_EQ(cycle.changed, 70);
    EXPECT_EQ(cycle.percent, 70 * 100 / (32 * 24));
    EXPECT_TRUE(cycle.moving);
    EXPECT_TRUE(cycle.confirmed);
    EXPECT_TRUE(cycle.centred);
    EXPECT_EQ(cycle.centre, cycle.result.Centre);
    EXPECT_TRUE(cycle.beeped);
    EXPECT_EQ(platform::beepsSoFar(), beeps + 1);
    EXPECT_TRUE(cycle.savedFile.starts_with("images/")) << cycle.savedFile;
    EXPECT_TRUE(fs::exists(cycle.savedFile));
    EXPECT_TRUE(cycle.saveError.empty());
    ASSERT_NE(cycle.frame, nullptr);
    EXPECT_EQ(cycle.frame->pixel(0, 0), analysis::rgb(130, 130, 130));
    ASSERT_NE(cycle.difference, nullptr);
    EXPECT_EQ(cycle.difference->width(), 32);
    EXPECT_EQ(cycle.difference->pixel(5, 5), analysis::rgb(255, 255, 255));
    EXPECT_EQ(evaluation.reference().pixel(0, 0), analysis::rgb(130, 130, 130)) << "the new frame is the reference";

    const Cycle& still = evaluation.evaluate(frame(40, 30), everything(69));
    EXPECT_EQ(still.changed, 0);
    EXPECT_FALSE(still.moving);
    EXPECT_FALSE(still.centred);
    ASSERT_EQ(recorder.cycles.size(), 2u);
    EXPECT_EQ(recorder.cycles[0].changed, 70);
    EXPECT_LE(recorder.cycles[0].time, recorder.cycles[1].time);
    EXPECT_EQ(savedFiles(), 1);
}

TEST_F(InFolder, RefusedComparisonNeverBeepsOrSaves)
{
    // With a negative minimum, the zero counts of a comparison that did not take place
    // would be "more than the minimum".
    Evaluation evaluation;
    const auto beeps = platform::beepsSoFar();
    struct Case {
        const char* what;
        Frame reference, next;
    } cases[] = {
        {"no reference yet", Frame{}, frame(0)},
        {"no frame", frame(0), Frame{}},
        {"another size", frame(0), frame(0, 0, 16, 24)},
    };
    for (auto& c : cases) {
        evaluation.evaluate(c.reference, {});
        const Cycle& cycle = evaluation.evaluate(c.next, everything(-1));
        EXPECT_EQ(cycle.compared, 2) << c.what;
        EXPECT_EQ(cycle.changed, 0) << c.what;
        EXPECT_FALSE(cycle.moving) << c.what;
        EXPECT_FALSE(cycle.beeped) << c.what;
        EXPECT_EQ(cycle.difference, nullptr) << c.what;
        EXPECT_FALSE(cycle.reason.empty()) << c.what;
    }
    EXPECT_EQ(platform::beepsSoFar(), beeps);
    EXPECT_EQ(savedFiles(), 0);
    // A real comparison with nothing changed is movement under a negative minimum.
    const Cycle& compared = evaluation.evaluate(frame(0, 0, 16, 24), everything(-1));
    EXPECT_EQ(compared.compared, 0);
    EXPECT_TRUE(compared.moving);
    EXPECT_EQ(savedFiles(), 1);
}

TEST_F(InFolder, FrameWithoutPictureLeavesNoReference)
{
    Evaluation evaluation;
    evaluation.takeReference(frame(0));
    evaluation.evaluate(frame(10), {});
    evaluation.evaluate(Frame{}, {});
    EXPECT_TRUE(evaluation.reference().empty()) << "the empty frame became the reference";
    EXPECT_EQ(evaluation.evaluate(frame(10), {}).compared, 2) << "only sets the reference";
    EXPECT_EQ(evaluation.evaluate(frame(0), {}).changed, 10);
    evaluation.takeReference(Frame{});
    EXPECT_EQ(evaluation.reference().pixel(0, 0), analysis::rgb(100, 100, 100)) << "a failed reference keeps the old";
}

TEST_F(InFolder, FirstFrameOfANewConnectionOnlySetsTheReference)
{
    Evaluation evaluation;
    Recorder recorder;
    evaluation.addListener(&recorder);
    const auto beeps = platform::beepsSoFar();
    evaluation.takeReference(frame(0, 0, 32, 24, 1));
    EXPECT_EQ(evaluation.evaluate(frame(0, 0, 32, 24, 1), everything(5)).compared, 0);
    // The source reconnected: its first frame is a gray start-up picture.
    const Cycle& reconnect = evaluation.evaluate(frame(500, 200, 32, 24, 2), everything(5));
    EXPECT_TRUE(reconnect.newStream);
    EXPECT_EQ(reconnect.compared, 2);
    EXPECT_EQ(reconnect.changed, 0);
    EXPECT_FALSE(reconnect.moving);
    EXPECT_EQ(reconnect.reason, "new connection");
    EXPECT_EQ(platform::beepsSoFar(), beeps);
    EXPECT_EQ(savedFiles(), 0);
    const Cycle& next = evaluation.evaluate(frame(500, 200, 32, 24, 2), everything(5));
    EXPECT_FALSE(next.newStream);
    EXPECT_EQ(next.compared, 0) << "the next frame of that connection is compared";
    EXPECT_EQ(next.changed, 0);
    EXPECT_EQ(evaluation.evaluate(frame(0, 0, 32, 24, 2), everything(5)).changed, 700);
    EXPECT_EQ(platform::beepsSoFar(), beeps + 1);
    EXPECT_EQ(recorder.cycles.size(), 4u);
}

TEST_F(InFolder, PicturesAListenerKeepsAreNotOverwritten)
{
    Evaluation evaluation;
    evaluation.takeReference(frame(0));
    const auto first = evaluation.evaluate(frame(32), {}).difference; // row 0 brightened
    const auto firstFrame = evaluation.evaluate(frame(0), {}).frame;  // row 0 darkened
    const auto second = evaluation.evaluate(frame(0), {}).difference; // nothing
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(first->pixel(3, 0), analysis::rgb(158, 0, 0)) << "30 + 128 in red";
    EXPECT_EQ(second->pixel(3, 0), analysis::rgb(255, 255, 255));
    EXPECT_EQ(firstFrame->pixel(3, 0), analysis::rgb(100, 100, 100));
}

TEST_F(InFolder, FramesAreTakenAsTheyAreAndKeptIntact)
{
    Evaluation evaluation;
    evaluation.takeReference(frame(0, 0, 32, 24, 4));
    const Frame given = frame(32, 0, 32, 24, 4);
    const auto kept = evaluation.evaluate(given, {}).frame;
    EXPECT_EQ(kept, given.pixels) << "the cycle takes the frame's pixels, not a copy";
    EXPECT_EQ(evaluation.evaluate(frame(0, 0, 32, 24, 4), {}).changed, 32);
    EXPECT_EQ(evaluation.evaluate(frame(64, 0, 32, 24, 4), {}).changed, 64);
    EXPECT_EQ(evaluation.evaluate(frame(0, 0, 32, 24, 5), {}).reason, "new connection");
    EXPECT_EQ(*kept, picture(32)) << "a later cycle wrote into a frame held";
}

TEST_F(InFolder, FailedSaveCarriesTheSystemsReason)
{
    struct Case {
        const char* what;
        std::function<void()> breakIt;
        const char* reason;
    } cases[] = {
        {"missing folder", [] { fs::remove_all("images"); }, "No such file or directory"},
        {"a file in its place",
         [] {
             fs::remove_all("images");
             std::ofstream("images") << "x";
         },
         "Not a directory"},
        {"a dangling link",
         [] {
             fs::remove_all("images");
             fs::create_directory_symlink("gone", "images");
         },
         "No such file or directory"},
    };
    for (const Case& c : cases) {
        c.breakIt();
        Evaluation evaluation;
        evaluation.takeReference(frame(0));
        const Cycle& cycle = evaluation.evaluate(frame(9), everything(1));
        EXPECT_TRUE(cycle.savedFile.empty()) << c.what;
        EXPECT_TRUE(cycle.saveError.starts_with("Cannot create file images/")) << c.what << ": " << cycle.saveError;
        EXPECT_EQ(cycle.saveErrorReason, c.reason) << c.what;
        EXPECT_EQ(evaluation.reference().pixel(0, 0), analysis::rgb(130, 130, 130)) << c.what;
        fs::remove_all("images");
    }
}

TEST_F(InFolder, SaveWithoutRoomIsSkippedSayingWhyNotFailed)
{
    // The folder's keeper refuses the room: nothing is written, and it was asked for
    // exactly the bytes of the BMP.
    fs::create_directory("images");
    std::vector<std::int64_t> asked;
    Evaluation evaluation;
    evaluation.setRoomForSave([&](std::int64_t bytes) {
        asked.push_back(bytes);
        return false;
    });
    evaluation.takeReference(frame(0));
    Cycle cycle = evaluation.evaluate(frame(9), everything(1));
    EXPECT_EQ(asked, std::vector<std::int64_t>{54 + 32 * 3 * 24});
    EXPECT_TRUE(cycle.savedFile.empty());
    EXPECT_EQ(cycle.saveError, "") << "no box for a full folder";
    EXPECT_TRUE(cycle.saveSkipped.starts_with("Not saved: no room for images/")) << cycle.saveSkipped;
    EXPECT_EQ(savedFiles(), 0);

    // A file-size limit stands in for a full disk: the write fails half way, and is a
    // skipped save too.
    evaluation.setRoomForSave([](std::int64_t) { return true; });
    {
        const FileSizeLimit limit(1000);
        cycle = evaluation.evaluate(frame(0), everything(1));
    }
    EXPECT_EQ(cycle.saveError, "");
    EXPECT_TRUE(cycle.saveSkipped.starts_with("Cannot create file images/")) << cycle.saveSkipped;
    EXPECT_TRUE(cycle.saveSkipped.ends_with(": File too large")) << cycle.saveSkipped;
    EXPECT_EQ(savedFiles(), 0) << "no partial file";
    cycle = evaluation.evaluate(frame(9), everything(1));
    EXPECT_EQ(cycle.saveSkipped, "");
    EXPECT_EQ(savedFiles(), 1) << "room again, saved again";
}

TEST_F(InFolder, SavesGoToTheFolderSetForThem)
{
    fs::create_directories("elsewhere/frames");
    Evaluation evaluation;
    evaluation.setSaveFolder("elsewhere/frames");
    evaluation.takeReference(frame(0));
    const Cycle& cycle = evaluation.evaluate(frame(40, 30), everything(10));
    EXPECT_TRUE(cycle.savedFile.starts_with("elsewhere/frames/")) << cycle.savedFile;
    EXPECT_TRUE(cycle.savedFile.ends_with(".bmp")) << cycle.savedFile;
    EXPECT_TRUE(fs::exists(cycle.savedFile));
    EXPECT_EQ(savedFiles(), 0) << "nothing in images/";
}

TEST_F(InFolder, DetectionDecidesWhatCountsAndOnlyConfirmedCyclesBeepAndSave)
{
    Evaluation evaluation;
    analysis::DetectionSettings settings;
    settings.light = true;
    settings.confirm = true;
    evaluation.detection().setSettings(settings);
    evaluation.takeReference(frame(0));

    // The lamp goes on: every pixel brightened, none counts, the picture shows them faded.
    analysis::Bitmap lit = picture(0);
    for (int y = 0; y < lit.height(); ++y)
        for (int x = 0; x < 3 * lit.width(); ++x)
            lit.row(y)[x] = 160;
    Cycle c = evaluation.evaluate({std::make_shared<const analysis::Bitmap>(lit)}, everything(10));
    EXPECT_EQ(c.result.BrightCount, 32 * 24);
    EXPECT_EQ(c.changed, 0);
    EXPECT_FALSE(c.moving);
    EXPECT_EQ(c.reason, "light change");
    EXPECT_FALSE(c.beeped);
    EXPECT_GT(analysis::greenOf(c.difference->pixel(5, 5)), 128);

    // Movement needs two of the last three cycles: the first moving cycle waits.
    evaluation.takeReference(frame(0));
    c = evaluation.evaluate(frame(100), everything(10));
    EXPECT_TRUE(c.moving);
    EXPECT_FALSE(c.confirmed);
    EXPECT_EQ(c.reason, "not confirmed yet");
    EXPECT_FALSE(c.beeped);
    EXPECT_EQ(savedFiles(), 0);
    c = evaluation.evaluate(frame(0, 100), everything(10));
    EXPECT_TRUE(c.confirmed);
    EXPECT_TRUE(c.reason.empty());
    EXPECT_TRUE(c.beeped);
    EXPECT_EQ(savedFiles(), 1);
}
