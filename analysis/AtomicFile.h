#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <system_error>

namespace analysis {

// Whether a written file must be on the disk before it takes its name, for files that a
// power cut must not leave empty under their name.
enum class Sync { no, toDisk };

// Writes `bytes` as the whole of `fileName`. They go to a hidden temporary file beside it
// that is renamed over it once complete, so a reader never sees half a file and an earlier
// file survives a failure; the temporary file goes again on any failure, and those that
// a killed writer left in the folder go at its first write there. Returns the system's
// reason when the file cannot be written, an empty code when it was.
std::error_code writeFileAtomically(const std::string& fileName, std::span<const std::uint8_t> bytes,
                                    Sync sync = Sync::no);

} // namespace analysis
