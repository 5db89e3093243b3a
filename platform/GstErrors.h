#pragma once

// Readable texts of GStreamer's error messages, for the status line and the event log.

#include <string>

#include <gst/gst.h>

namespace platform::gst {

// The failing element's message, followed in parentheses by what its debug text adds:
// the file or device it names, or the system's reason ("No space left on device").
std::string errorText(GstMessage* message);

} // namespace platform::gst
