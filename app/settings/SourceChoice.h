#pragma once

#include <QString>

#include "CommandLine.h"
#include "NetworkAddress.h"
#include "Settings.h"

namespace app {

// The drivers, one a line: index, name and GStreamer source description, separated by
// tabs; passwords written into a description are left out.
QString cameraList();

// Makes the capture service use the source the command line or the settings choose:
// --source, else --camera (a camera's name or index, or a network camera's address),
// else the remembered camera where it is still there. False, with `error` naming the
// cameras there are, when --camera names none of them; a remembered camera that is gone
// gives way to the first one that answers, said in `note`. A network camera, given or
// remembered, goes over the settings' RTSP transport.
bool chooseSource(const Options& options, const Settings& settings, QString& error, QString& note);

// The name a source of the command line goes by, which tells it from other sources in
// MQTT topics and titles: its file's name, its address, or its first element with a digest
// ("hall.avi", "cam1.local/stream", "videotestsrc-3f0a").
QString sourceName(const QString& description);

// A source chosen in the windows' Camera menu.
struct ChosenSource {
    QString name;        // as the windows, logs and topics show it; empty: the first that answers
    QString description; // the GStreamer source description it opens, credentials included
    // The description the settings file keeps, without a user or password; empty for a
    // camera or configured source, which is remembered by its name.
    QString remembered;
    friend bool operator==(const ChosenSource&, const ChosenSource&) = default;
};

// A network camera at `url` (rtsp://, rtsps://, http:// or https:// MJPEG, or any other URI
// GStreamer can decode); `user` and `password` stand above those written in the URL.
// The password is kept for the run (platform/Credentials), never in the description,
// which names the user only. Its name is the URL's host, port and path. An empty name,
// with `error` saying why, when the address is not one.
ChosenSource networkCamera(const QString& url, const QString& user, const QString& password,
                           platform::RtspTransport transport, QString& error);
// Keeps the password of the network camera at `url` (with `user` and `password` as for
// networkCamera) in the credential file; false, with `error` saying why, when it cannot.
bool keepPassword(const QString& url, const QString& user, const QString& password, QString& error);
// A video file, played through `filesrc ! decodebin`; named by its file name.
ChosenSource videoFile(const QString& path);
// Makes Start Video open `source` from now on; a source without a name gives the choice
// back to the first camera that answers.
void useChosenSource(const ChosenSource& source);

} // namespace app
