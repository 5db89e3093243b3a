#pragma once

// Packets from a real live source and clips read back, for the clip tests.

#include <cstdint>
#include <string>
#include <vector>

#include "Packet.h"

// The first `count` packets of a live source's clip stream: a test pattern (a moving
// ball unless told) of 25 pictures a second that the source sends as MJPEG ("jpeg"),
// H.264 ("h264"), or raw for the pipeline to encode ("raw").
std::vector<platform::Packet> testPackets(int count, int width, int height, const std::string& kind = "jpeg",
                                          const std::string& pattern = "ball");

struct ClipReading {
    std::string error;          // empty when the clip decoded to its end
    int frames = 0;             // frames decoded
    std::int64_t durationNs = -1; // the duration the file states
    std::int64_t firstNs = -1;  // the start of the first decoded frame
    std::int64_t lastEndNs = 0; // the end of the last decoded frame
    int width = 0;
    int height = 0;
};

// Decodes a clip to its end with GStreamer.
ClipReading readClip(const std::string& path);
