#include "SourceChoice.h"

#include <optional>
#include <vector>

#include "CaptureDrivers.h"

namespace app {

namespace {

// The index of the driver a name or an index given by the user stands for.
std::optional<std::size_t> findDriver(const std::vector<platform::Driver>& drivers, const QString& wanted)
{
    bool isNumber = false;
    const int index = wanted.toInt(&isNumber);
    if (isNumber)
        return index >= 0 && std::size_t(index) < drivers.size() ? std::optional<std::size_t>(index) : std::nullopt;
    for (Qt::CaseSensitivity cs : {Qt::CaseSensitive, Qt::CaseInsensitive}) {
        for (std::size_t i = 0; i < drivers.size(); ++i) {
            if (QString::fromStdString(drivers[i].name).compare(wanted, cs) == 0)
                return i;
        }
    }
    return std::nullopt;
}

} // namespace

QString cameraList()
{
    QString text;
    const std::vector<platform::Driver> drivers = platform::findDrivers();
    for (std::size_t i = 0; i < drivers.size(); ++i)
        text += QStringLiteral("%1\t%2\t%3\n")
                    .arg(i)
                    .arg(QString::fromStdString(drivers[i].name),
                         QString::fromStdString(platform::sourceDescription(drivers[i])));
    return text;
}

QString sourceName(const QString& description)
{
    return QString::fromStdString(platform::sourceNameOf(description.toStdString()));
}

bool chooseSource(const Options& options, const Settings& settings, QString& error, QString& note)
{
    if (options.source) {
        const std::string description = options.source->toStdString();
        platform::setDriverChoice({std::vector<platform::ConfiguredSource>{
                                       {sourceName(*options.source).toStdString(), description}},
                                   std::nullopt});
        return true;
    }
    const QString wanted = options.camera ? *options.camera : settings.camera;
    if (wanted.isEmpty())
        return true;
    const std::vector<platform::Driver> drivers = platform::findDrivers();
    if (const std::optional<std::size_t> index = findDriver(drivers, wanted)) {
        platform::setDriverChoice({std::nullopt, *index});
        return true;
    }
    QStringList names;
    for (std::size_t i = 0; i < drivers.size(); ++i)
        names << QStringLiteral("%1 \"%2\"").arg(i).arg(QString::fromStdString(drivers[i].name));
    const QString there = names.isEmpty()     ? QStringLiteral("there is none")
                          : names.size() == 1 ? "the only one is " + names.front()
                                              : "the cameras are " + names.join(", ");
    if (options.camera) {
        error = QStringLiteral("--camera: no camera \"%1\"; %2.").arg(wanted, there);
        return false;
    }
    note = QStringLiteral("Video: the camera \"%1\" used last time is not there; watching the first one that "
                          "answers (%2).")
               .arg(wanted, there);
    return true;
}

} // namespace app
