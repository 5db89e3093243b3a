#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace analysis {

// A file the user named, to be read within a bound. Opening never waits (a FIFO nobody
// writes to would block for ever) and takes regular files only (a FIFO or a device such as
// /dev/zero never ends), no larger than the bound, so that reading takes neither
// unbounded time nor unbounded memory.
class BoundedFile {
public:
    // Opens `fileName`; `why` says what is wrong when it is not open afterwards.
    BoundedFile(const std::string& fileName, std::uint64_t mostBytes);
    ~BoundedFile();
    BoundedFile(const BoundedFile&) = delete;
    BoundedFile& operator=(const BoundedFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    const std::string& why() const { return why_; }
    std::uint64_t size() const { return size_; }

    // Up to `count` bytes from `offset`: fewer where the file ends (it may have shrunk).
    std::vector<char> read(std::uint64_t offset, std::size_t count) const;

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::string why_;
};

} // namespace analysis
