// The beep on machines with and without a way to sound the desktop's event: each runs in
// a child process, as the beep finds out once per process what can be played.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Beep.h"

namespace fs = std::filesystem;

namespace {

struct Beeps {
    std::vector<platform::BeepSound> sounds;
    std::uint64_t counted = 0;
    std::string complaintsOfTheFirst, complaintsOfTheRest; // what went to standard error
};

std::string readAll(const fs::path& file)
{
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Beeps `times` times in a child whose environment `prepare` sets up.
template <typename Prepare>
Beeps beepInChild(int times, Prepare prepare)
{
    const fs::path folder = fs::temp_directory_path() / ("beep-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder / "runtime");
    const pid_t child = fork();
    if (child == 0) {
        prepare(folder / "runtime");
        std::FILE* sounds = std::fopen((folder / "sounds").c_str(), "w");
        for (int i = 0; i < times; ++i) {
            std::fflush(stderr);
            std::freopen((folder / (i == 0 ? "first" : "rest")).c_str(), "a", stderr);
            std::fprintf(sounds, "%d\n", int(platform::beep()));
        }
        std::fprintf(sounds, "%llu\n", static_cast<unsigned long long>(platform::beepsSoFar()));
        std::fclose(sounds);
        std::fflush(stderr);
        _exit(0);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the beeping child did not finish";
    Beeps beeps;
    std::ifstream in(folder / "sounds");
    for (int i = 0, sound = 0; i < times && in >> sound; ++i)
        beeps.sounds.push_back(platform::BeepSound(sound));
    in >> beeps.counted;
    beeps.complaintsOfTheFirst = readAll(folder / "first");
    beeps.complaintsOfTheRest = readAll(folder / "rest");
    fs::remove_all(folder);
    return beeps;
}

bool playbackDeviceExists()
{
    std::error_code ignored;
    for (const fs::directory_entry& device : fs::directory_iterator("/dev/snd", ignored))
        if (device.path().filename().string().starts_with("pcmC"))
            return true;
    return false;
}

const std::vector<platform::BeepSound> windowingOnly(4, platform::BeepSound::windowing);

} // namespace

TEST(Beep, WithoutAnySoundOutputEveryBeepIsTheWindowingSystemsAndQuiet)
{
    if (playbackDeviceExists())
        GTEST_SKIP() << "this machine has a sound card";
    const Beeps beeps = beepInChild(4, [](const fs::path& runtime) {
        unsetenv("PULSE_SERVER");
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    });
    EXPECT_EQ(beeps.sounds, windowingOnly);
    EXPECT_EQ(beeps.counted, 4u);
    EXPECT_EQ(beeps.complaintsOfTheFirst + beeps.complaintsOfTheRest, "") << "the event sound was asked for";
}

TEST(Beep, AnEventSoundThatFailsOnceIsNotAskedForAgain)
{
    // A sound server's socket that nobody listens on, and a sound library without any
    // configuration: asking for the event sound fails, with complaints, on any machine.
    const Beeps beeps = beepInChild(4, [](const fs::path& runtime) {
        unsetenv("PULSE_SERVER");
        fs::create_directories(runtime / "pulse");
        std::ofstream(runtime / "pulse" / "native") << "";
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("CANBERRA_DRIVER", "alsa", 1);
        setenv("ALSA_CONFIG_PATH", (runtime / "no-such.conf").c_str(), 1);
    });
    EXPECT_EQ(beeps.sounds, windowingOnly);
    EXPECT_EQ(beeps.counted, 4u);
    EXPECT_NE(beeps.complaintsOfTheFirst, "") << "a sound server's socket, and the event sound was not tried";
    EXPECT_EQ(beeps.complaintsOfTheRest, "") << "asked again after the first failure";
}
