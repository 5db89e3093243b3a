#include "Settings.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <type_traits>
#include <optional>

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include "CommandLine.h"
#include "Detection.h"
#include "EventCommands.h"
#include "Listen.h"
#include "Password.h"

namespace app {

namespace {

const QString formatKey = QStringLiteral("format");
const QString formatValue = QStringLiteral("Video settings 1");

// Reads the file's values; throws the reason when one of them is not what this program writes.
class Reader {
public:
    explicit Reader(QSettings& file) : file_(file) {}

    int integer(const QString& key, int fallback, int minimum, int maximum)
    {
        if (!file_.contains(key))
            return fallback;
        bool ok = false;
        const int value = file_.value(key).toString().toInt(&ok);
        if (!ok || value < minimum || value > maximum)
            throw bad(key);
        return value;
    }

    bool flag(const QString& key, bool fallback)
    {
        if (!file_.contains(key))
            return fallback;
        const QString value = file_.value(key).toString();
        if (value != "true" && value != "false")
            throw bad(key);
        return value == "true";
    }

    QString text(const QString& key)
    {
        const QVariant value = file_.value(key);
        if (value.isValid() && value.typeId() != QMetaType::QString)
            throw bad(key);
        return value.toString();
    }

    QStringList command(const QString& key)
    {
        QString error;
        const std::optional<QStringList> words = events::splitCommandLine(text(key), error);
        if (!words)
            throw QStringLiteral("%1: %2").arg(key, error);
        return *words;
    }

    QRect rect(const QString& key)
    {
        const QVariant value = file_.value(key);
        if (value.typeId() != QMetaType::QRect || !value.toRect().isValid())
            throw bad(key);
        return value.toRect();
    }

    QString bad(const QString& key) const
    {
        return QStringLiteral("the value of %1 is not one this program writes").arg(key);
    }

private:
    QSettings& file_;
};

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::int64_t megabyte = std::int64_t(1) << 20;

void readEvents(Reader& reader, events::EventSettings& e)
{
    auto secondsOf = [&](const char* key, milliseconds fallback, int least, int most) {
        return milliseconds(seconds(reader.integer(key, int(duration_cast<seconds>(fallback).count()), least, most)));
    };
    e.gap = secondsOf("events/gapSeconds", e.gap, 1, eventLimits::gapSeconds);
    e.preRoll = secondsOf("events/beforeSeconds", e.preRoll, 0, eventLimits::rollSeconds);
    e.postRoll = secondsOf("events/afterSeconds", e.postRoll, 0, eventLimits::rollSeconds);
    e.retentionBytes = megabyte * reader.integer("events/retentionMB", int(e.retentionBytes / megabyte), 1,
                                                 eventLimits::retentionMB);
    e.retentionAge = std::chrono::hours(
        24 * reader.integer("events/retentionDays", int(e.retentionAge.count() / 24), 1, eventLimits::retentionDays));
    e.notify = reader.flag("events/notify", e.notify);
    e.notifyCooldown = secondsOf("events/notifyCooldownSeconds", e.notifyCooldown, 0, eventLimits::cooldownSeconds);
    e.commandOnStart = reader.command("events/commandOnStart");
    e.commandOnEnd = reader.command("events/commandOnEnd");
}

void writeEvents(QSettings& file, const events::EventSettings& e)
{
    auto secondsOf = [](milliseconds value) { return qlonglong(duration_cast<seconds>(value).count()); };
    file.setValue("events/gapSeconds", secondsOf(e.gap));
    file.setValue("events/beforeSeconds", secondsOf(e.preRoll));
    file.setValue("events/afterSeconds", secondsOf(e.postRoll));
    file.setValue("events/retentionMB", qlonglong(e.retentionBytes / megabyte));
    file.setValue("events/retentionDays", qlonglong(e.retentionAge.count() / 24));
    file.setValue("events/notify", e.notify);
    file.setValue("events/notifyCooldownSeconds", secondsOf(e.notifyCooldown));
    file.setValue("events/commandOnStart", events::joinCommandLine(e.commandOnStart));
    file.setValue("events/commandOnEnd", events::joinCommandLine(e.commandOnEnd));
}

// A camera's name as the file writes it: its group is [camera.<name>].
const QString cameraGroup = QStringLiteral("camera.");

void readCameras(QSettings& file, Reader& reader, std::vector<CameraSettings>& cameras)
{
    // "names=hall, garden" reads as a list, "names=hall" as one text.
    const QVariant value = file.value("cameras/names");
    QStringList names = value.typeId() == QMetaType::QStringList ? value.toStringList()
                                                                 : value.toString().split(',', Qt::SkipEmptyParts);
    for (QString& name : names)
        name = name.trimmed();
    names.removeAll(QString());
    for (const QString& name : names) {
        if (name.contains('/') || name.contains('\\'))
            throw QStringLiteral("cameras/names: \"%1\" cannot name a camera's group").arg(name);
        CameraSettings c;
        c.name = name;
        const QString group = cameraGroup + name + '/';
        // A description's caps hold commas, which an unquoted value splits at.
        const QVariant source = file.value(group + "source");
        c.source = source.typeId() == QMetaType::QStringList ? source.toStringList().join(',')
                                                             : reader.text(group + "source");
        c.camera = reader.text(group + "camera");
        if (!c.source.isEmpty() && !c.camera.isEmpty())
            throw QStringLiteral("%1: give a source or a camera, not both").arg(cameraGroup + name);
        if (file.contains(group + "threshold"))
            c.pixelVariations = reader.integer(group + "threshold", 0, 0, 255);
        if (file.contains(group + "minMovement"))
            c.minimalMovement = reader.integer(group + "minMovement", 0, INT_MIN, INT_MAX);
        if (file.contains(group + "detection")) {
            const QString detection = reader.text(group + "detection");
            if (detection != "off" && detection != "robust")
                throw reader.bad(group + "detection");
            c.robustDetection = detection == "robust";
        }
        if (file.contains(group + "mask"))
            c.maskFile = reader.text(group + "mask");
        if (file.contains(group + "saveDir"))
            c.saveDir = reader.text(group + "saveDir");
        for (const CameraSettings& before : cameras)
            if (before.name.compare(name, Qt::CaseInsensitive) == 0)
                throw QStringLiteral("cameras/names: \"%1\" is named twice").arg(name);
        cameras.push_back(std::move(c));
    }
}

void writeCameras(QSettings& file, const std::vector<CameraSettings>& cameras)
{
    if (cameras.empty())
        return;
    QStringList names;
    for (const CameraSettings& c : cameras) {
        names << c.name;
        const QString group = cameraGroup + c.name + '/';
        if (!c.source.isEmpty())
            file.setValue(group + "source", c.source);
        if (!c.camera.isEmpty())
            file.setValue(group + "camera", c.camera);
        if (c.pixelVariations)
            file.setValue(group + "threshold", *c.pixelVariations);
        if (c.minimalMovement)
            file.setValue(group + "minMovement", *c.minimalMovement);
        if (c.robustDetection)
            file.setValue(group + "detection", *c.robustDetection ? "robust" : "off");
        if (c.maskFile)
            file.setValue(group + "mask", *c.maskFile);
        if (c.saveDir)
            file.setValue(group + "saveDir", *c.saveDir);
    }
    file.setValue("cameras/names", names.join(", "));
}

QString configPath(const QString& name)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/Video/" + name;
}

Settings read(QSettings& file)
{
    Reader reader(file);
    Settings s;
    s.pixelVariations = reader.integer("evaluation/pixelVariations", s.pixelVariations, 0, 255);
    s.minimalMovement = reader.integer("evaluation/minimalMovement", s.minimalMovement, INT_MIN, INT_MAX);
    s.capturingPeriod = reader.integer("evaluation/capturingPeriod", s.capturingPeriod, 0, INT_MAX);
    s.beepOnMove = reader.flag("evaluation/beepOnMove", s.beepOnMove);
    s.saveOnMove = reader.flag("evaluation/saveOnMove", s.saveOnMove);
    s.saveDir = reader.text("evaluation/saveDir");
    s.camera = reader.text("camera/name");
    s.cameraSource = reader.text("camera/source");
    if (const QString transport = reader.text("camera/rtspTransport"); !transport.isEmpty()) {
        const std::optional<platform::RtspTransport> known = platform::parseRtspTransport(transport.toStdString());
        if (!known)
            throw QStringLiteral("camera/rtspTransport: \"%1\" is neither tcp nor udp").arg(transport);
        s.rtspTransport = *known;
    }
    s.cameraFormat = reader.text("camera/format");
    file.beginGroup("cameraControls");
    for (const QString& key : file.childKeys())
        s.cameraControls[key] = reader.integer(key, 0, INT_MIN, INT_MAX);
    file.endGroup();
    file.beginGroup("detection");
    for (const QString& key : file.childKeys())
        s.detection[key] = file.value(key);
    file.endGroup();
    s.maskFile = reader.text("detectionMask/file");
    s.mqtt = reader.text("mqtt/broker");
    if (!s.mqtt.isEmpty()) {
        QString error;
        if (!parseBrokerAddress(s.mqtt, error))
            throw QStringLiteral("mqtt/broker: ") + error;
    }
    if (file.contains("mqtt/discoveryPrefix")) {
        s.mqttDiscoveryPrefix = reader.text("mqtt/discoveryPrefix").trimmed();
        if (const QString problem = watch::discoveryPrefixProblem(s.mqttDiscoveryPrefix); !problem.isEmpty())
            throw QStringLiteral("mqtt/discoveryPrefix: ") + problem;
    }
    s.http.listen = reader.text("http/listen").trimmed();
    if (std::string problem; !s.http.listen.isEmpty() && !web::parseListen(s.http.listen.toStdString(), problem))
        throw QStringLiteral("http/listen: ") + QString::fromStdString(problem);
    s.http.passwordHash = reader.text("http/passwordHash").trimmed();
    if (!s.http.passwordHash.isEmpty() && !web::looksLikeHash(s.http.passwordHash.toStdString()))
        throw QStringLiteral("http/passwordHash: not a hash that --http-password-hash prints");
    s.http.certificate = reader.text("http/certificate");
    s.http.key = reader.text("http/key");
    file.beginGroup("windows");
    for (const QString& key : file.childKeys())
        s.windowGeometry[key] = reader.rect(key);
    file.endGroup();
    readEvents(reader, s.events);
    readCameras(file, reader, s.cameras);
    return s;
}

} // namespace

SettingsFile::SettingsFile(QString path) : path_(std::move(path)) {}

QString SettingsFile::defaultPath()
{
    return configPath(QStringLiteral("Video.conf"));
}

QString SettingsFile::headlessPath()
{
    return configPath(QStringLiteral("video-headless.conf"));
}

QString SettingsFile::pathFor(const Options& options)
{
    if (options.config)
        return *options.config;
    return options.headless ? headlessPath() : defaultPath();
}

Settings SettingsFile::load()
{
    problem_.clear();
    unusable_ = false;
    const QFileInfo info(path_);
    if (!info.exists())
        return {};
    QString reason;
    QSettings file(path_, QSettings::IniFormat);
    if (!info.isFile() || !info.isReadable() || file.status() == QSettings::AccessError)
        reason = QStringLiteral("it cannot be read");
    else if (file.status() == QSettings::FormatError)
        reason = QStringLiteral("it is damaged");
    else if (file.allKeys().isEmpty())
        return {};
    else if (!file.contains(formatKey))
        reason = QStringLiteral("it was not written by this program (a settings file holds the lines [General] and "
                                "%1=%2)")
                     .arg(formatKey, formatValue);
    else if (file.value(formatKey).toString() != formatValue)
        reason = QStringLiteral("it is in another format (\"%1\")").arg(file.value(formatKey).toString());

    if (reason.isEmpty()) {
        try {
            return read(file);
        } catch (const QString& why) {
            reason = why;
        }
    }
    unusable_ = true;
    problem_ = QStringLiteral("Video: the settings file %1 cannot be used (%2); it is left as it is.").arg(path_, reason);
    return {};
}

bool SettingsFile::save(const Settings& s)
{
    if (unusable_)
        return false;
    problem_.clear();
    QDir().mkpath(QFileInfo(path_).absolutePath());
    QSettings file(path_, QSettings::IniFormat);
    file.clear();
    file.setValue(formatKey, formatValue);
    file.setValue("evaluation/pixelVariations", s.pixelVariations);
    file.setValue("evaluation/minimalMovement", s.minimalMovement);
    file.setValue("evaluation/capturingPeriod", s.capturingPeriod);
    file.setValue("evaluation/beepOnMove", s.beepOnMove);
    file.setValue("evaluation/saveOnMove", s.saveOnMove);
    file.setValue("evaluation/saveDir", s.saveDir);
    file.setValue("camera/name", s.camera);
    file.setValue("camera/source", s.cameraSource);
    file.setValue("camera/rtspTransport", QString(platform::transportName(s.rtspTransport)));
    file.setValue("camera/format", s.cameraFormat);
    for (const auto& [name, value] : s.cameraControls)
        file.setValue("cameraControls/" + name, value);
    for (const auto& [name, value] : s.detection)
        file.setValue("detection/" + name, value);
    file.setValue("detectionMask/file", s.maskFile);
    file.setValue("mqtt/broker", s.mqtt);
    file.setValue("mqtt/discoveryPrefix", s.mqttDiscoveryPrefix);
    file.setValue("http/listen", s.http.listen);
    file.setValue("http/passwordHash", s.http.passwordHash);
    file.setValue("http/certificate", s.http.certificate);
    file.setValue("http/key", s.http.key);
    for (const auto& [name, rect] : s.windowGeometry)
        file.setValue("windows/" + name, rect);
    writeEvents(file, s.events);
    writeCameras(file, s.cameras);
    file.sync();
    if (file.status() != QSettings::NoError) {
        problem_ = QStringLiteral("Video: cannot write the settings file %1.").arg(path_);
        return false;
    }
    return true;
}

Settings withOptions(Settings s, const Options& options)
{
    if (options.threshold)
        s.pixelVariations = *options.threshold;
    if (options.minMovement)
        s.minimalMovement = *options.minMovement;
    if (options.period)
        s.capturingPeriod = *options.period;
    if (options.camera && platform::looksLikeNetworkAddress(options.camera->toStdString())) {
        // The address may hold a password: the camera goes by its name.
        s.camera = QString::fromStdString(platform::networkName(options.camera->toStdString()));
    } else if (options.camera) {
        s.camera = *options.camera;
    }
    if (options.rtspTransport)
        s.rtspTransport = *options.rtspTransport;
    if (options.saveDir)
        s.saveDir = *options.saveDir;
    if (options.robustDetection)
        s.detection = *options.robustDetection ? std::map<QString, QVariant>{{"robust", true}}
                                               : std::map<QString, QVariant>{};
    if (options.mask) {
        s.maskFile = *options.mask;
        s.detection["mask"] = true; // a mask given is a mask to use
    }
    if (options.mqtt)
        s.mqtt = QStringLiteral("%1:%2").arg(options.mqtt->host.contains(':') ? '[' + options.mqtt->host + ']'
                                                                               : options.mqtt->host)
                     .arg(options.mqtt->port);
    if (options.discoveryPrefix)
        s.mqttDiscoveryPrefix = *options.discoveryPrefix;
    if (options.http)
        s.http.listen = *options.http;
    if (options.httpCertificate)
        s.http.certificate = *options.httpCertificate;
    if (options.httpKey)
        s.http.key = *options.httpKey;
    return s;
}

Settings forCamera(Settings s, const CameraSettings& camera)
{
    s.pixelVariations = camera.pixelVariations.value_or(s.pixelVariations);
    s.minimalMovement = camera.minimalMovement.value_or(s.minimalMovement);
    if (camera.robustDetection)
        s.detection = *camera.robustDetection ? std::map<QString, QVariant>{{"robust", true}}
                                              : std::map<QString, QVariant>{};
    if (camera.maskFile) {
        s.maskFile = *camera.maskFile;
        s.detection["mask"] = !s.maskFile.isEmpty();
    }
    s.saveDir = camera.saveDir.value_or(s.saveDir);
    s.cameras.clear();
    return s;
}

Settings toRemember(const Settings& remembered, const Settings& atEnd, const Options& options)
{
    const Settings given = withOptions(remembered, options);
    Settings s = atEnd;
    // A value the user changed during the run is kept, even where an option had set it.
    auto keep = [](auto& value, const auto& start, const auto& before) {
        if (value == start)
            value = before;
    };
    if (options.threshold)
        keep(s.pixelVariations, given.pixelVariations, remembered.pixelVariations);
    if (options.minMovement)
        keep(s.minimalMovement, given.minimalMovement, remembered.minimalMovement);
    if (options.period)
        keep(s.capturingPeriod, given.capturingPeriod, remembered.capturingPeriod);
    if (options.source || (options.camera && platform::looksLikeNetworkAddress(options.camera->toStdString()))) {
        s.camera = remembered.camera; // a source of the command line is no camera to remember
        s.cameraSource = remembered.cameraSource;
    } else if (options.camera) {
        keep(s.camera, given.camera, remembered.camera);
    }
    if (options.rtspTransport)
        keep(s.rtspTransport, given.rtspTransport, remembered.rtspTransport);
    if (options.saveDir)
        keep(s.saveDir, given.saveDir, remembered.saveDir);
    if (options.robustDetection)
        keep(s.detection, given.detection, remembered.detection);
    if (options.mask)
        keep(s.maskFile, given.maskFile, remembered.maskFile);
    if (options.mqtt)
        keep(s.mqtt, given.mqtt, remembered.mqtt);
    if (options.discoveryPrefix)
        keep(s.mqttDiscoveryPrefix, given.mqttDiscoveryPrefix, remembered.mqttDiscoveryPrefix);
    if (options.http)
        keep(s.http.listen, given.http.listen, remembered.http.listen);
    if (options.httpCertificate)
        keep(s.http.certificate, given.http.certificate, remembered.http.certificate);
    if (options.httpKey)
        keep(s.http.key, given.http.key, remembered.http.key);
    return s;
}

} // namespace app

namespace app {

std::map<QString, QVariant> detectionNames(const analysis::DetectionSettings& s)
{
    return {{"light", s.light},         {"noise", s.noise},
            {"noiseFactor", s.noiseFactor}, {"specks", s.specks},
            {"speckSize", s.speckSize}, {"mask", s.mask},
            {"confirm", s.confirm},     {"confirmNeeded", s.confirmNeeded},
            {"confirmWindow", s.confirmWindow}, {"scene", s.scene}};
}

analysis::DetectionSettings detectionFromNames(const std::map<QString, QVariant>& names)
{
    auto value = [&](const char* name) {
        const auto found = names.find(name);
        return found == names.end() ? QVariant() : found->second;
    };
    analysis::DetectionSettings s;
    if (value("robust").toString() == "true" || value("robust").toBool())
        s = analysis::DetectionSettings::robust();
    auto flag = [&](const char* name, bool& field) {
        const QString text = value(name).toString();
        if (text == "true" || text == "false")
            field = text == "true";
    };
    auto number = [&](const char* name, auto& field) {
        bool ok = false;
        const double v = value(name).toString().toDouble(&ok);
        if (ok && std::isfinite(v) && std::abs(v) < 1e6)
            field = static_cast<std::remove_reference_t<decltype(field)>>(v);
    };
    flag("light", s.light);
    flag("noise", s.noise);
    number("noiseFactor", s.noiseFactor);
    flag("specks", s.specks);
    number("speckSize", s.speckSize);
    flag("mask", s.mask);
    flag("confirm", s.confirm);
    number("confirmNeeded", s.confirmNeeded);
    number("confirmWindow", s.confirmWindow);
    flag("scene", s.scene);
    return s.bounded();
}

} // namespace app
