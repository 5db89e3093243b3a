#pragma once

#include <QString>

#include "CommandLine.h"
#include "Settings.h"

namespace app {

// The drivers, one a line: index, name and GStreamer source description, separated by tabs.
QString cameraList();

// Makes the capture service use the source the command line or the settings choose:
// --source, else --camera, else the remembered camera where it is still there. False,
// with `error` naming the cameras there are, when --camera names none of them; a
// remembered camera that is gone gives way to the first one that answers, said in `note`.
bool chooseSource(const Options& options, const Settings& settings, QString& error, QString& note);

// The name a source of the command line goes by, which tells it from other sources in
// MQTT topics and titles: its file's name, its address, or its first element with a digest
// ("hall.avi", "cam1.local/stream", "videotestsrc-3f0a").
QString sourceName(const QString& description);

} // namespace app
