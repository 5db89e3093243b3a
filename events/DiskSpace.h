#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace events {

// The room of the file system that holds a folder, as a program without privileges may use it.
struct DiskSpace {
    std::int64_t available = 0;
    std::int64_t total = 0;
};

// Tells the space of the file system holding a folder; nothing when it cannot be asked.
using DiskSpaceProbe = std::function<std::optional<DiskSpace>(const std::string& folder)>;

// The file system's own figures (statvfs).
std::optional<DiskSpace> diskSpaceOf(const std::string& folder);

// The free space the program leaves to the rest of the system: 1 GB or 5 % of the file
// system, whichever is smaller, so a small card is not kept a quarter empty.
std::int64_t freeSpaceFloor(std::int64_t total);

} // namespace events
