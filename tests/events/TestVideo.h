#pragma once

// Frames from a real test source and clips read back, for the clip tests.

#include <cstdint>
#include <string>
#include <vector>

#include <QImage>

struct SourceFrame {
    QImage image;
    std::int64_t pts = 0;
};

// `count` frames of a test pattern (a moving ball unless told) at 25 frames a second,
// as a live source would hand them over.
std::vector<SourceFrame> testFrames(int count, int width, int height, const std::string& pattern = "ball");

struct ClipReading {
    std::string error;          // empty when the clip decoded to its end
    int frames = 0;             // frames decoded
    std::int64_t durationNs = -1; // the duration the file states
    std::int64_t lastEndNs = 0; // the end of the last decoded frame
    int width = 0;
    int height = 0;
};

// Decodes a clip to its end with GStreamer.
ClipReading readClip(const std::string& path);
