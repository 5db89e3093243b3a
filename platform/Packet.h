#pragma once

#include <cstdint>
#include <memory>

#include <gst/gst.h>

#include "GstHandles.h"

namespace platform {

// One compressed picture of a source's clip stream, as the camera or the pipeline's own
// encoder made it. Copies share the buffer's memory (a reference, never the bytes), so a
// packet can sit in a pre-event buffer and in several clips at once.
struct Packet {
    gst::Buffer buffer;
    std::shared_ptr<GstCaps> caps; // shared by the packets of one format
    bool keyFrame = false;         // decodes without the packets before it
    // The packet's time in nanoseconds, counting up within `stream` (a looping file goes
    // on counting); the decode time where the stream has one.
    std::int64_t ptsNs = 0;
    std::uint64_t stream = 0;      // the connection it came from, as LiveSource::stream()

    Packet() = default;
    Packet(const Packet& other)
        : buffer(other.buffer ? gst_buffer_ref(other.buffer.get()) : nullptr), caps(other.caps),
          keyFrame(other.keyFrame), ptsNs(other.ptsNs), stream(other.stream)
    {
    }
    Packet& operator=(const Packet& other)
    {
        if (this != &other)
            *this = Packet(other);
        return *this;
    }
    Packet(Packet&&) noexcept = default;
    Packet& operator=(Packet&&) noexcept = default;
};

// Caps shared between packets; adopts the reference it is given.
inline std::shared_ptr<GstCaps> sharedCaps(GstCaps* caps)
{
    return std::shared_ptr<GstCaps>(caps, gst::CapsUnref());
}

} // namespace platform
