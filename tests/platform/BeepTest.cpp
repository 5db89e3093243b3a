// The beep on a machine that may have no sound: it never fills the terminal with the
// sound system's complaints.

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "Beep.h"

namespace {

// What the process writes to its standard error while `run` runs.
template <typename Run>
std::string standardErrorOf(Run run)
{
    std::fflush(stderr);
    char path[] = "/tmp/beep-stderr-XXXXXX";
    const int file = mkstemp(path);
    const int saved = dup(STDERR_FILENO);
    dup2(file, STDERR_FILENO);
    run();
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(file);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(path);
    return text.str();
}

} // namespace

TEST(Beep, CountsEveryBeepAndStaysQuietWithoutSound)
{
    const std::uint64_t before = platform::beepsSoFar();
    const std::string complaints = standardErrorOf([] {
        for (int i = 0; i < 5; ++i)
            platform::beep();
    });
    EXPECT_EQ(platform::beepsSoFar(), before + 5);
    EXPECT_EQ(complaints.find("ALSA"), std::string::npos) << complaints;
}
