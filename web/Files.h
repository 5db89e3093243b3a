#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace web {

// The part of a file a single-range "Range: bytes=..." header asks for.
struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0; // inclusive
};

// How a Range header applies to a file of `size` bytes.
struct RangeRequest {
    enum class Kind { Whole, Part, Unsatisfiable };
    Kind kind = Kind::Whole;
    ByteRange range;
};

// Reads `header` (empty: no header). Several ranges, other units and malformed headers
// are answered with the whole file, as HTTP allows; a range starting past the end cannot
// be satisfied.
RangeRequest parseRange(const std::string& header, std::uint64_t size);

// The real path of `path` when it names a regular file inside the folder `root` (after
// every symbolic link of both is resolved); none otherwise. Files are only ever served
// through this, from paths the event log keeps, never from a path in the address.
std::optional<std::string> fileInside(const std::string& root, const std::string& path);

// The media type of a clip by its container's file name extension; empty when unknown.
std::string clipType(const std::string& path);

} // namespace web
