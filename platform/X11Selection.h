#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <QByteArray>

struct xcb_connection_t;

namespace platform {

// The X server's CLIPBOARD selection read over a connection of our own, with one deadline
// for the whole exchange with its owner, so an owner that never answers costs that long
// and no more (a read through the toolkit waits afresh for each of its questions).
class X11Selection {
public:
    using Deadline = std::chrono::steady_clock::time_point;
    // Thrown when the owner has not answered by the deadline.
    struct Timeout : std::runtime_error {
        Timeout() : std::runtime_error("no answer from the clipboard's owner") {}
    };

    // Connects to the display; usable() is false when that fails.
    X11Selection();
    ~X11Selection();
    X11Selection(const X11Selection&) = delete;
    X11Selection& operator=(const X11Selection&) = delete;

    bool usable() const { return window_ != 0; }
    // The types its owner offers; empty when nobody owns the selection or it offers none.
    std::vector<std::string> targets(Deadline deadline);
    // The selection converted to `type`; nothing when the owner refuses. Throws
    // std::length_error beyond `limit` bytes, Timeout at the deadline (as targets() does).
    std::optional<QByteArray> read(const std::string& type, Deadline deadline, std::size_t limit);

private:
    std::uint32_t atom(const std::string& name);
    std::optional<QByteArray> convert(std::uint32_t target, Deadline deadline, std::size_t limit);

    xcb_connection_t* connection_ = nullptr;
    std::uint32_t window_ = 0;
    std::uint32_t clipboard_ = 0, targets_ = 0, incr_ = 0, property_ = 0;
};

} // namespace platform
