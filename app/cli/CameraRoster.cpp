#include "CameraRoster.h"

#include <map>

#include <QDir>

#include "MqttPublisher.h"
#include "NetworkAddress.h"
#include "SourceChoice.h"

namespace app {

namespace {

// The driver a name or an index given by the user stands for, among `drivers`.
const platform::Driver* driverNamed(const std::vector<platform::Driver>& drivers, const QString& wanted)
{
    bool isNumber = false;
    const int index = wanted.toInt(&isNumber);
    if (isNumber)
        return index >= 0 && std::size_t(index) < drivers.size() ? &drivers[std::size_t(index)] : nullptr;
    for (Qt::CaseSensitivity cs : {Qt::CaseSensitive, Qt::CaseInsensitive})
        for (const platform::Driver& driver : drivers)
            if (QString::fromStdString(driver.name).compare(wanted, cs) == 0)
                return &driver;
    return nullptr;
}

QString topicLevel(const QString& name)
{
    return QString::fromStdString(events::MqttPublisher::topicLevel(name.toStdString()));
}

// The save folder as a full path; empty: images/ in the working directory.
QString saveRoot(const Settings& settings)
{
    return QDir(settings.saveDir.isEmpty() ? QStringLiteral("images") : settings.saveDir).absolutePath();
}

} // namespace

bool watchesList(const Settings& settings, const Options& options)
{
    const qsizetype given = options.cameras.size() + options.sources.size();
    return options.headless && (given > 1 || (given == 0 && !settings.cameras.empty()));
}

std::vector<RosterCamera> rosterOf(const Settings& settings, const Options& options, QString& error)
{
    std::vector<CameraSettings> cameras;
    if (options.cameras.isEmpty() && options.sources.isEmpty()) {
        cameras = settings.cameras;
    } else {
        auto withGroup = [&](CameraSettings given) {
            for (const CameraSettings& listed : settings.cameras)
                if (listed.name.compare(given.name, Qt::CaseInsensitive) == 0) {
                    CameraSettings c = listed;
                    c.name = given.name;
                    c.source = given.source;
                    c.camera = given.camera;
                    return c;
                }
            return given;
        };
        const std::vector<platform::Driver> drivers = platform::findDrivers();
        for (const QString& wanted : options.cameras) {
            if (platform::looksLikeNetworkAddress(wanted.toStdString())) {
                const ChosenSource camera = networkCamera(wanted, {}, {}, settings.rtspTransport, error);
                if (camera.name.isEmpty()) {
                    error = "--camera: " + error;
                    return {};
                }
                cameras.push_back(withGroup({camera.name, camera.description, {}}));
                continue;
            }
            const platform::Driver* driver = driverNamed(drivers, wanted);
            if (!driver) {
                error = QStringLiteral("--camera: no camera \"%1\" (see --list-cameras).").arg(wanted);
                return {};
            }
            CameraSettings c;
            c.name = QString::fromStdString(driver->name);
            c.camera = wanted;
            cameras.push_back(withGroup(c));
        }
        for (const QString& description : options.sources) {
            CameraSettings c;
            c.name = sourceName(description);
            c.source = description;
            cameras.push_back(withGroup(c));
        }
    }

    std::map<QString, QString> levels; // topic level -> camera
    std::map<QString, int> sharing;    // save folder -> cameras in it
    std::vector<RosterCamera> roster;
    for (const CameraSettings& c : cameras) {
        const QString level = topicLevel(c.name);
        if (const auto taken = levels.find(level); taken != levels.end()) {
            error = QStringLiteral("the cameras \"%1\" and \"%2\" would both publish under video/%3 and keep their "
                                   "events in one folder: give them different names.")
                        .arg(taken->second, c.name, level);
            return {};
        }
        levels[level] = c.name;
        Settings own = forCamera(settings, c);
        const QString root = saveRoot(own);
        ++sharing[root];
        roster.push_back({c, own, cameras.size() == 1 ? root : QDir(root).filePath(level)});
    }
    for (RosterCamera& r : roster)
        r.settings.events.retentionBytes /= sharing[saveRoot(r.settings)];
    return roster;
}

std::optional<platform::Driver> findCamera(const CameraSettings& camera)
{
    if (!camera.source.isEmpty())
        return platform::Driver{camera.name.toStdString(), camera.source.toStdString(), {}};
    const std::vector<platform::Driver> drivers = platform::findDrivers();
    const platform::Driver* driver = driverNamed(drivers, camera.camera.isEmpty() ? camera.name : camera.camera);
    if (!driver)
        return std::nullopt;
    // Named as the list names it: its topics and folder stay the same whatever index it has.
    platform::Driver found = platform::copyOf(*driver);
    found.name = camera.name.toStdString();
    return found;
}

} // namespace app
