#pragma once

#include <string>
#include <vector>

#include <gst/gst.h>

#include "GstHandles.h"

namespace capture {

class CaptureWindow;

// What a source's caps offer, with ranges turned into the common values inside them.
struct FormatChoices {
    struct Size {
        int width, height;
        friend bool operator==(const Size&, const Size&) = default;
    };
    struct Rate {
        int numerator, denominator;
        friend bool operator==(const Rate&, const Rate&) = default;
    };
    std::vector<std::string> formats; // "video/x-raw, format=YUY2", "image/jpeg", ...
    std::vector<Size> sizes;
    std::vector<Rate> rates;
};

// The choices of `offered` caps; with `current` caps, also the format, size and rate the
// source runs with, where the offered ones lack them (a size outside the common ones);
// with `own` caps (a file's pictures as decoded), their format, size and rate first.
FormatChoices formatChoices(const GstCaps* offered, const GstCaps* current = nullptr, const GstCaps* own = nullptr);
// A format of the choices in words: "YUV 4:2:0 (I420)", "Motion JPEG".
std::string formatLabel(const std::string& format);
// The format, size and rate of fixed caps (the first of each where a field has several),
// as entries of `formatChoices`; -1 for what is not among them.
struct FormatIndices {
    int format = -1, size = -1, rate = -1;
};
FormatIndices formatIndices(const FormatChoices& choices, const GstCaps* caps);
// Caps holding the source to one format, size and rate.
platform::gst::Caps chosenCaps(const std::string& format, FormatChoices::Size size, FormatChoices::Rate rate);

// The driver dialogs of a window with a running source; modal. Applying the format
// dialog reconnects the source in the chosen format and waits (handling events) for the
// outcome, which the source reports; the source dialog sets its picture controls as
// they move;
// the display dialog chooses between scaling to the window and the frame's own size.
void showVideoFormatDialog(CaptureWindow& window);
void showVideoSourceDialog(CaptureWindow& window);
void showVideoDisplayDialog(CaptureWindow& window);

} // namespace capture
