#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gst/gst.h>

#include "GstHandles.h"

namespace platform {

// One entry of the service's configuration: a name and a GStreamer source description.
struct ConfiguredSource {
    std::string name;
    std::string description;
    friend bool operator==(const ConfiguredSource&, const ConfiguredSource&) = default;
};

// Parses "name|description;name|description;...": entries separated by ";", the name and
// "|" optional (an entry without a name is named by its description), blank entries
// skipped, at most ten entries. Control characters in a name are written as escapes
// ("\n"), in a description as spaces, so that a list of sources keeps one a line.
std::vector<ConfiguredSource> parseCaptureSources(std::string_view text);

// A capture driver: a configured source, or a camera found by GStreamer's device monitor.
struct Driver {
    std::string name;
    std::string description;          // a configured source's description; empty for a camera
    gst::Object<GstDevice> device;    // the camera; null for a configured source
};

// A second handle on the same driver (the camera is shared, not copied).
Driver copyOf(const Driver& driver);

// A choice of source made for one run (the command line's --source and --camera): it
// stands above the CAPTURE_SOURCES environment variable.
struct DriverChoice {
    std::optional<std::vector<ConfiguredSource>> sources; // these sources instead of the others
    std::optional<std::size_t> index;                     // only the driver of this index
};
void setDriverChoice(DriverChoice choice);

// The drivers of indices 0 to 9: the chosen sources when a choice names them, else the
// entries of the CAPTURE_SOURCES environment variable when it is set, otherwise the
// cameras ("Video/Source") in a stable order; only the chosen one of them when a choice
// names an index.
std::vector<Driver> findDrivers();

// The GStreamer source description of a driver: a camera's element with the properties
// that make it that camera ("v4l2src device=/dev/video0"); empty when there is none.
std::string sourceDescription(const Driver& driver);

// A name for a source given by its description alone, the same for the same description
// and different for different sources: the file's name ("hall.avi") or the address's host
// and path ("cam1.local/stream") where the first element reads one, else the element and
// a short digest of the whole description ("videotestsrc-3f0a").
std::string sourceNameOf(std::string_view description);

// A new source element (a bin for a description) with one source pad, or null with
// `error` set, and `unusable` set when the description can never make a source (it does
// not parse, names an element that does not exist, or holds a sink, which would write
// somewhere rather than be watched): trying it again is of no use. A FIFO that a file
// source names is read through a descriptor opened without waiting for its writer, so
// that neither opening it nor ending its pipeline ever blocks.
gst::Element makeSourceElement(const Driver& driver, std::string& error, bool* unusable = nullptr);

} // namespace platform
