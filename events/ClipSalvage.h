#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace events {

// The clips a killed program left under their temporary names in a folder: each that
// still plays is kept under its final name, each that does not is removed. A clip still
// being written (locked by its writer, here or in another program) is left alone. Looks
// on a thread of its own, since reading a clip through takes a while.
class ClipSalvage {
public:
    struct Kept {
        std::string path; // the final name
        std::int64_t bytes = 0;
        std::int64_t frames = 0;
    };
    // Called on the salvage's thread once every leftover was looked at; `lost` holds the
    // final names of the clips removed.
    using Done = std::function<void(const std::vector<Kept>& kept, const std::vector<std::string>& lost)>;

    ClipSalvage(std::string folder, Done done);
    // Stops looking (what was not looked at stays for the next start) and waits.
    ~ClipSalvage();
    ClipSalvage(const ClipSalvage&) = delete;
    ClipSalvage& operator=(const ClipSalvage&) = delete;

    // The frames a reader gets out of the clip at `path` before it ends, fails or `stop`
    // is set; 0 when none.
    static std::int64_t framesIn(const std::string& path, const std::atomic<bool>& stop);

private:
    void run(const std::string& folder, const Done& done);

    std::atomic<bool> stop_ = false;
    std::thread thread_;
};

} // namespace events
