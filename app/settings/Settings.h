#pragma once

#include <map>
#include <optional>
#include <vector>

#include <QRect>
#include <QString>
#include <QVariant>

#include "EventSettings.h"
#include "NetworkAddress.h"

namespace analysis {
struct DetectionSettings;
}

namespace app {

struct Options;

// What the Events and Detection dialogs offer, and so what a value read from the file may be.
namespace eventLimits {
constexpr int gapSeconds = 3600;
constexpr int rollSeconds = 30;          // every second before an event is held in memory
constexpr int retentionMB = 16 << 20;    // 16 TB
constexpr int retentionDays = 3650;
constexpr int cooldownSeconds = 86400;
} // namespace eventLimits

// One camera of several watched at once, as the settings file's [cameras] list names it,
// with the values of its own [camera.<name>] group; a value the group does not give is the
// run's (the file's general one, or the command line's where one was given).
struct CameraSettings {
    QString name;   // its topic level and save subfolder come from it
    QString source; // a GStreamer source description; empty: `camera` chooses
    QString camera; // a driver's name or index; empty: the driver named `name`
    std::optional<int> pixelVariations;
    std::optional<int> minimalMovement;
    std::optional<bool> robustDetection;
    std::optional<QString> maskFile;
    std::optional<QString> saveDir;

    friend bool operator==(const CameraSettings&, const CameraSettings&) = default;
};

// The web page, as the settings file's [http] group gives it.
struct HttpSettings {
    QString listen;       // [ADDRESS:]PORT; empty: no web page
    QString passwordHash; // as --http-password-hash prints it; empty: no password
    QString certificate;  // PEM files for HTTPS; both or neither
    QString key;

    friend bool operator==(const HttpSettings&, const HttpSettings&) = default;
};

// The values the program remembers from one run to the next. The defaults are the
// values the windows start with when nothing was remembered.
struct Settings {
    int pixelVariations = 20;
    int minimalMovement = 400;
    int capturingPeriod = 250;
    bool beepOnMove = false;
    bool saveOnMove = false;
    QString camera;       // the chosen driver's name; empty: the first one that answers
    // A network camera or video file chosen in the windows: its source description,
    // never with a user or password; empty: `camera` names a camera or configured source.
    QString cameraSource;
    // How a network camera's RTSP pictures travel.
    platform::RtspTransport rtspTransport = platform::RtspTransport::Tcp;
    QString cameraFormat; // the caps the source is held to; empty: the source's own
    std::map<QString, int> cameraControls;    // picture controls by name (brightness, ...)
    std::map<QString, QVariant> detection;    // the detection's settings by name
    QString maskFile;
    QString saveDir;      // empty: images/ in the working directory
    QString mqtt;         // HOST[:PORT]; empty: no broker
    // The home-automation hub's MQTT discovery prefix; empty: the camera is not announced.
    QString mqttDiscoveryPrefix = QStringLiteral("homeassistant");
    events::EventSettings events;
    HttpSettings http;
    std::vector<CameraSettings> cameras;     // several cameras to watch at once; empty: one
    std::map<QString, QRect> windowGeometry; // by window name: position and size of the windows the user moved or sized

    friend bool operator==(const Settings&, const Settings&) = default;
};

// A settings file: an INI file, by default in the desktop's configuration folder. A file
// that cannot be read as this program's settings is never written over, so nothing the
// user keeps there is lost.
class SettingsFile {
public:
    explicit SettingsFile(QString path = defaultPath());

    // <configuration folder>/Video/Video.conf: the windows' settings.
    static QString defaultPath();
    // <configuration folder>/Video/video-headless.conf: the headless mode's own, so that
    // what is tried out in the windows never changes what a service watches by.
    static QString headlessPath();
    // The file a run with `options` uses: the one --config names, else the mode's own.
    static QString pathFor(const Options& options);
    const QString& path() const { return path_; }

    // The remembered settings: the defaults when there is no file, and also when the file
    // is damaged or foreign, which problem() then explains in one line.
    Settings load();
    // Remembers `settings`; false, with problem() set, when the file cannot be written or
    // was found damaged or foreign.
    bool save(const Settings& settings);
    const QString& problem() const { return problem_; }
    // False once the file was found damaged or foreign.
    bool usable() const { return !unusable_; }

private:
    QString path_;
    QString problem_;
    bool unusable_ = false;
};

// The settings this run uses: the remembered ones with the command line's values put over them.
Settings withOptions(Settings remembered, const Options& options);

// The settings the camera watches by: `run` with the camera's own values over it.
Settings forCamera(Settings run, const CameraSettings& camera);

// What to remember at the end of a run: the values in use at its end, except where a
// command-line value still stands, which holds for its run only.
Settings toRemember(const Settings& remembered, const Settings& atEnd, const Options& options);

// The detection's settings as the settings file keeps them, by name, and back. Names
// not known and values of the wrong kind are left out; {"robust": true} stands for every
// mechanism on with its tuned defaults.
std::map<QString, QVariant> detectionNames(const analysis::DetectionSettings& settings);
analysis::DetectionSettings detectionFromNames(const std::map<QString, QVariant>& names);

} // namespace app
