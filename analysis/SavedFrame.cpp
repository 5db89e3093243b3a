#include "SavedFrame.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <set>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

namespace analysis {

int millisecondsSinceLocalMidnight()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    std::tm local{};
    localtime_r(&now.tv_sec, &local);
    return ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000 + static_cast<int>(now.tv_usec / 1000);
}

std::string timeOfDayText(int millisecondsSinceMidnight, const std::string& decimalSeparator)
{
    const double fraction = millisecondsSinceMidnight / 86400000.0;
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, fraction, std::chars_format::general, 15);
    if (error != std::errc())
        throw std::logic_error("time of day does not format");
    // to_chars writes "5.78703703703704e-05"; the name wants "5.78703703703704E-5".
    std::string text;
    for (const char* p = buffer; p != end; ++p) {
        if (*p == '.') {
            text += decimalSeparator;
        } else if (*p == 'e') {
            text += 'E';
            if (p[1] == '-' || p[1] == '+') {
                if (p[1] == '-')
                    text += '-';
                ++p;
            }
            while (p + 2 < end && p[1] == '0')
                ++p;
        } else {
            text += *p;
        }
    }
    return text;
}

std::string savedFrameName(int millisecondsSinceMidnight, const std::string& decimalSeparator)
{
    return "images/" + timeOfDayText(millisecondsSinceMidnight, decimalSeparator) + ".bmp";
}

namespace {

void put16(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    out.push_back(std::uint8_t(v));
    out.push_back(std::uint8_t(v >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// Temporary files are named ".saving-<process id>-<serial>" in the folder of the final
// file: short, so that any name the file system takes for the final file also leaves room
// for the temporary one, and marked with their writer so that leftovers can be told apart.
constexpr std::string_view temporaryPrefix = ".saving-";

// The folder part of a file name with its closing slash, empty for a bare name.
std::string folderOf(const std::string& fileName)
{
    const auto slash = fileName.rfind('/');
    return slash == std::string::npos ? std::string() : fileName.substr(0, slash + 1);
}

// The process id in a temporary file's name, or 0 for a name of another pattern.
pid_t writerOf(const std::string& name)
{
    if (!name.starts_with(temporaryPrefix))
        return 0;
    const char* p = name.data() + temporaryPrefix.size();
    const char* end = name.data() + name.size();
    pid_t pid = 0;
    unsigned serial = 0;
    const auto [afterPid, pidError] = std::from_chars(p, end, pid);
    if (pidError != std::errc() || pid <= 0 || afterPid == end || *afterPid != '-')
        return 0;
    const auto [afterSerial, serialError] = std::from_chars(afterPid + 1, end, serial);
    if (serialError != std::errc() || afterSerial != end)
        return 0;
    return pid;
}

// Removes the temporary files that a program killed while saving left in `folder` (as
// folderOf gives it); those of a process that still runs, such as another copy saving
// there now, stay. Once per folder and run, as a leftover can only come from a process
// that ended before; a folder that cannot be read is tried again at the next save.
void removeLeftovers(const std::string& folder)
{
    static std::mutex mutex;
    static std::set<std::string> cleaned;
    {
        const std::lock_guard lock(mutex);
        if (cleaned.contains(folder))
            return;
    }
    namespace fs = std::filesystem;
    std::error_code error;
    for (fs::directory_iterator it(folder.empty() ? "." : folder, error), end; !error && it != end;
         it.increment(error)) {
        const pid_t writer = writerOf(it->path().filename().string());
        if (writer != 0 && writer != getpid() && kill(writer, 0) != 0 && errno == ESRCH) {
            std::error_code ignored;
            fs::remove(it->path(), ignored);
        }
    }
    if (!error) {
        const std::lock_guard lock(mutex);
        cleaned.insert(folder);
    }
}

// A file beside the final one that is removed again unless it was renamed over it.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& fileName)
    {
        static std::atomic<unsigned> serial = 0;
        const std::string folder = folderOf(fileName);
        removeLeftovers(folder);
        name_ = folder + std::string(temporaryPrefix) + std::to_string(getpid()) + "-" +
                std::to_string(serial++);
        fd_ = open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        created_ = fd_ >= 0;
    }
    ~TemporaryFile()
    {
        if (fd_ >= 0)
            close(fd_);
        if (created_ && !kept_)
            unlink(name_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool opened() const { return fd_ >= 0; }
    bool write(const std::uint8_t* data, std::size_t size)
    {
        while (size > 0) {
            const ssize_t written = ::write(fd_, data, size);
            if (written == 0)
                errno = ENOSPC; // nothing stored and no error: nowhere left to put it
            if (written <= 0)
                return false;
            data += written;
            size -= static_cast<std::size_t>(written);
        }
        return true;
    }
    bool renameTo(const std::string& fileName)
    {
        const bool closed = close(fd_) == 0;
        fd_ = -1;
        kept_ = closed && std::rename(name_.c_str(), fileName.c_str()) == 0;
        return kept_;
    }

private:
    std::string name_;
    int fd_ = -1;
    bool created_ = false;
    bool kept_ = false;
};

} // namespace

void saveBmp(const Bitmap& picture, const std::string& fileName)
{
    if (picture.format() != PixelFormat::Bgr24)
        throw std::invalid_argument("only 24-bit pictures are saved");

    const auto width = static_cast<std::uint32_t>(picture.width());
    const auto height = static_cast<std::uint32_t>(picture.height());
    const std::uint32_t rowSize = (3 * width + 3) & ~3u;
    const std::uint32_t imageSize = rowSize * height;

    std::vector<std::uint8_t> bytes;
    bytes.reserve(54 + static_cast<std::size_t>(imageSize));
    bytes.push_back('B');
    bytes.push_back('M');
    put32(bytes, 54 + imageSize);
    put32(bytes, 0); // two reserved words
    put32(bytes, 54);
    put32(bytes, 40);
    put32(bytes, width);
    put32(bytes, height); // positive: rows stored bottom-up
    put16(bytes, 1);
    put16(bytes, 24);
    put32(bytes, 0); // no compression
    put32(bytes, imageSize);
    put32(bytes, 0); // horizontal resolution
    put32(bytes, 0); // vertical resolution
    put32(bytes, 0); // colours used
    put32(bytes, 0); // important colours
    for (int y = picture.height() - 1; y >= 0; --y) {
        const std::uint8_t* row = picture.row(y);
        bytes.insert(bytes.end(), row, row + 3 * width);
        bytes.resize(bytes.size() + (rowSize - 3 * width), 0);
    }

    TemporaryFile file(fileName);
    if (!file.opened() || !file.write(bytes.data(), bytes.size()) || !file.renameTo(fileName))
        throw SaveError(fileName, std::error_code(errno, std::generic_category()));
}

} // namespace analysis
