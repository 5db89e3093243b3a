#include "AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

namespace analysis {

namespace {

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
    bool renameTo(const std::string& fileName, Sync sync)
    {
        // A file system that cannot sync (EINVAL) still takes the file, as it always did.
        if (sync == Sync::toDisk && fsync(fd_) != 0 && errno != EINVAL)
            return false;
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

std::error_code writeFileAtomically(const std::string& fileName, std::span<const std::uint8_t> bytes, Sync sync)
{
    TemporaryFile file(fileName);
    if (!file.opened() || !file.write(bytes.data(), bytes.size()) || !file.renameTo(fileName, sync))
        return std::error_code(errno, std::generic_category());
    return {};
}

} // namespace analysis
