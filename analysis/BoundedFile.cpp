#include "BoundedFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace analysis {

namespace {

std::string kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "no regular file";
}

} // namespace

BoundedFile::BoundedFile(const std::string& fileName, std::uint64_t mostBytes)
{
    fd_ = ::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd_ < 0) {
        why_ = std::strerror(errno);
        return;
    }
    struct stat status = {};
    if (::fstat(fd_, &status) != 0) {
        why_ = std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        why_ = "it is " + kindOf(status.st_mode) + ", not a regular file";
    } else if (std::uint64_t(status.st_size) > mostBytes) {
        why_ = "it holds " + std::to_string(status.st_size) + " bytes, more than the " + std::to_string(mostBytes) +
               " it can have";
    } else {
        size_ = std::uint64_t(status.st_size);
        return;
    }
    ::close(fd_);
    fd_ = -1;
}

BoundedFile::~BoundedFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::vector<char> BoundedFile::read(std::uint64_t offset, std::size_t count) const
{
    std::vector<char> bytes(count);
    std::size_t got = 0;
    while (fd_ >= 0 && got < count) {
        const ssize_t n = ::pread(fd_, bytes.data() + got, count - got, off_t(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += std::size_t(n);
    }
    bytes.resize(got);
    return bytes;
}

} // namespace analysis
