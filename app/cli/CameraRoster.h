#pragma once

#include <optional>
#include <vector>

#include <QString>

#include "CaptureDrivers.h"
#include "CommandLine.h"
#include "Settings.h"

namespace app {

// One camera of a headless run that watches several: what it is, the settings it watches
// by and the folder its events go to.
struct RosterCamera {
    CameraSettings camera;
    Settings settings; // the run's, with the camera's own group over them
    QString folder;    // its save folder: <save folder>/<topic level>, or the save folder when alone
};

// Whether the run watches a list of cameras rather than the one camera of the settings:
// with --headless, more than one --camera or --source, or none and a [cameras] list in
// the settings file.
bool watchesList(const Settings& settings, const Options& options);

// The cameras of such a run: every --camera (by the name of the driver it names), then
// every --source (by the name its description gives), each with the file's
// [camera.<name>] group of that name where there is one; else the file's list. Each
// camera's save folder is a subfolder of its save folder named by its topic level, and
// cameras that share a save folder share its size limit equally, so the folder as a
// whole stays within it. Empty, with `error`, when the list cannot be watched: --camera
// names no driver, or two cameras would publish under one topic.
std::vector<RosterCamera> rosterOf(const Settings& settings, const Options& options, QString& error);

// The driver a camera of the list stands for now: its source; else the driver its
// `camera` (a name or an index), or its name, names among those there are. None while it
// is not there (a camera not plugged in yet).
std::optional<platform::Driver> findCamera(const CameraSettings& camera);

} // namespace app
