#include "SavedFrame.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <gtest/gtest.h>

#include "../support/FileSizeLimit.h"
#include "AtomicFile.h"

using namespace analysis;
namespace fs = std::filesystem;

namespace {

fs::path freshDirectory(const char* name)
{
    const fs::path dir = fs::temp_directory_path() / (std::string("saved-frame-") + name + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::string readAll(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

Bitmap patternFrame(int w, int h)
{
    Bitmap b(w, h, PixelFormat::Bgr24);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            b.row(y)[3 * x] = std::uint8_t(x * 7 + y);     // blue
            b.row(y)[3 * x + 1] = std::uint8_t(y * 13);    // green
            b.row(y)[3 * x + 2] = std::uint8_t(255 - x);   // red
        }
    return b;
}

} // namespace

TEST(SavedFrame, TimeOfDayNames)
{
    struct Case {
        int ms;
        const char* separator;
        const char* text;
    } cases[] = {
        {0, ".", "0"},
        {5000, ".", "5.78703703703704E-5"},
        {8640, ".", "0.0001"},
        {8639, ".", "9.99884259259259E-5"},
        {1, ".", "1.15740740740741E-8"},
        {43'200'000, ".", "0.5"},
        {64'800'000, ".", "0.75"},
        {64'800'000, ",", "0,75"},
        {5000, ",", "5,78703703703704E-5"},
        {86'399'999, ".", "0.999999988425926"},
        {3'600'000, ".", "0.0416666666666667"},
    };
    for (const Case& k : cases)
        EXPECT_EQ(timeOfDayText(k.ms, k.separator), k.text) << k.ms << " ms";
    EXPECT_EQ(savedFrameName(43'200'000, "."), "images/0.5.bmp");
    EXPECT_EQ(savedFrameName(64'800'000, ","), "images/0,75.bmp");
}

TEST(SavedFrame, ClockIsWithinTheDay)
{
    const int ms = millisecondsSinceLocalMidnight();
    EXPECT_GE(ms, 0);
    EXPECT_LT(ms, 86'400'000);
}

TEST(SavedFrame, BmpLayoutAndReadBack)
{
    const fs::path dir = freshDirectory("layout");
    for (int width : {1, 2, 3, 4, 5, 320}) {
        const Bitmap frame = patternFrame(width, 3);
        const fs::path file = dir / ("w" + std::to_string(width) + ".bmp");
        saveBmp(frame, file.string());

        const std::string bytes = readAll(file);
        const std::uint32_t rowSize = (3 * width + 3) & ~3u;
        auto u32 = [&](std::size_t at) {
            return std::uint32_t(std::uint8_t(bytes[at])) | std::uint32_t(std::uint8_t(bytes[at + 1])) << 8 |
                   std::uint32_t(std::uint8_t(bytes[at + 2])) << 16 | std::uint32_t(std::uint8_t(bytes[at + 3])) << 24;
        };
        ASSERT_EQ(bytes.size(), 54 + rowSize * 3);
        EXPECT_EQ(bytes.substr(0, 2), "BM");
        EXPECT_EQ(u32(2), bytes.size());
        EXPECT_EQ(u32(6), 0u);
        EXPECT_EQ(u32(10), 54u);
        EXPECT_EQ(u32(14), 40u);
        EXPECT_EQ(u32(18), std::uint32_t(width));
        EXPECT_EQ(u32(22), 3u);
        EXPECT_EQ(u32(26), 1u | 24u << 16);
        EXPECT_EQ(u32(30), 0u);
        EXPECT_EQ(u32(34), rowSize * 3);
        for (std::size_t at : {38u, 42u, 46u, 50u})
            EXPECT_EQ(u32(at), 0u);
        // The bottom row comes first.
        EXPECT_EQ(std::uint8_t(bytes[54]), frame.row(2)[0]);

        QImage read(QString::fromStdString(file.string()));
        ASSERT_FALSE(read.isNull()) << "width " << width;
        ASSERT_EQ(read.width(), width);
        ASSERT_EQ(read.height(), 3);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < width; ++x) {
                const QRgb p = read.pixel(x, y);
                ASSERT_EQ(frame.pixel(x, y), rgb(std::uint8_t(qRed(p)), std::uint8_t(qGreen(p)), std::uint8_t(qBlue(p))))
                    << "width " << width << " at " << x << "," << y;
            }
    }
    // Nothing but the finished files is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 6);
    fs::remove_all(dir);
}

TEST(SavedFrame, ReplacesAnEarlierFileOfTheSameName)
{
    const fs::path dir = freshDirectory("replace");
    const std::string file = (dir / "0.5.bmp").string();
    saveBmp(patternFrame(8, 8), file);
    saveBmp(patternFrame(2, 2), file);
    EXPECT_EQ(QImage(QString::fromStdString(file)).width(), 2);
    fs::remove_all(dir);
}

TEST(SavedFrame, MissingDirectoryIsReported)
{
    const std::string file = (fs::temp_directory_path() / "no-such-directory-here" / "0.5.bmp").string();
    try {
        saveBmp(patternFrame(2, 2), file);
        FAIL() << "saved into a missing directory";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot create file " + file);
    }
}

TEST(SavedFrame, FailedWriteKeepsTheEarlierFile)
{
    const fs::path dir = freshDirectory("failed");
    const std::string file = (dir / "frame.bmp").string();
    saveBmp(patternFrame(4, 4), file);
    const std::string before = readAll(file);

    // A file size limit below the new file's size makes the write fail half way.
    {
        const FileSizeLimit limit(1000);
        EXPECT_THROW(saveBmp(patternFrame(100, 100), file), std::runtime_error);
    }

    EXPECT_EQ(readAll(file), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << "temporary file left behind";
    fs::remove_all(dir);
}

TEST(SavedFrame, LongestNameTheFileSystemTakes)
{
    const fs::path dir = freshDirectory("long");
    const long longest = pathconf(dir.c_str(), _PC_NAME_MAX);
    ASSERT_GT(longest, 4);
    const std::string file = (dir / (std::string(std::size_t(longest) - 4, 'n') + ".bmp")).string();
    saveBmp(patternFrame(3, 3), file);
    EXPECT_EQ(QImage(QString::fromStdString(file)).width(), 3);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    fs::remove_all(dir);
}

TEST(SavedFrame, LeftoversOfAKilledSaveGoAtTheNextSave)
{
    const fs::path dir = freshDirectory("leftovers");
    const pid_t ended = fork();
    ASSERT_GE(ended, 0);
    if (ended == 0)
        _exit(0);
    ASSERT_EQ(waitpid(ended, nullptr, 0), ended);

    const std::string deadWriter = ".saving-" + std::to_string(ended) + "-7";
    const std::string liveWriter = ".saving-" + std::to_string(getppid()) + "-0"; // another copy, saving now
    const std::vector<std::string> notOurs = {".saving-notes", "a.saving-1-2", ".saving-1-2.bmp"};
    for (const std::string& name : notOurs)
        std::ofstream(dir / name) << "keep";
    std::ofstream(dir / liveWriter) << "half a frame";
    std::ofstream(dir / deadWriter) << std::string(4 << 20, 'x');

    saveBmp(patternFrame(2, 2), (dir / "0.5.bmp").string());
    EXPECT_FALSE(fs::exists(dir / deadWriter));
    EXPECT_TRUE(fs::exists(dir / liveWriter));
    for (const std::string& name : notOurs)
        EXPECT_TRUE(fs::exists(dir / name)) << name;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 5);
    fs::remove_all(dir);
}

TEST(AtomicFile, EachFailureGivesTheSystemsReasonAndLeavesTheFolderAsItWas)
{
    const fs::path dir = freshDirectory("atomic");
    const std::string file = (dir / "kept.bin").string();
    const std::vector<std::uint8_t> small = {'P', '5', 0, 255}, large(5000, 7);
    ASSERT_FALSE(writeFileAtomically(file, small, Sync::toDisk));
    fs::create_directory(dir / "folder");

    struct Case {
        const char* what;
        std::string fileName;
        const std::vector<std::uint8_t>& bytes;
        std::errc reason;
    } cases[] = {{"missing folder", (dir / "none" / "x.bin").string(), small, std::errc::no_such_file_or_directory},
                 {"disk full", file, large, std::errc::file_too_large},
                 {"a folder under the name", (dir / "folder").string(), small, std::errc::is_a_directory}};
    for (const Case& c : cases)
        for (const Sync sync : {Sync::no, Sync::toDisk}) {
            const FileSizeLimit limit(1000);
            EXPECT_EQ(writeFileAtomically(c.fileName, c.bytes, sync), std::make_error_code(c.reason)) << c.what;
        }
    EXPECT_EQ(readAll(file), std::string("P5\0\xff", 4));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2) << "temporary file left behind";
    fs::remove_all(dir);
}
