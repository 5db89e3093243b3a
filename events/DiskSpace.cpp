#include "DiskSpace.h"

#include <algorithm>

#include <sys/statvfs.h>

namespace events {

std::optional<DiskSpace> diskSpaceOf(const std::string& folder)
{
    struct statvfs figures {};
    if (statvfs(folder.c_str(), &figures) != 0)
        return std::nullopt;
    // f_bavail, not f_bfree: the blocks kept for root are no room for this program.
    return DiskSpace{std::int64_t(figures.f_bavail) * std::int64_t(figures.f_frsize),
                     std::int64_t(figures.f_blocks) * std::int64_t(figures.f_frsize)};
}

std::int64_t freeSpaceFloor(std::int64_t total)
{
    return std::min<std::int64_t>(std::int64_t(1) << 30, std::max<std::int64_t>(total, 0) / 20);
}

} // namespace events
