#include "SourceChoice.h"

#include <optional>
#include <vector>

#include <QFileInfo>
#include <QUrl>

#include "CaptureDrivers.h"
#include "Credentials.h"

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

// A value as a source description takes it: in double quotes, with quotes and
// backslashes escaped.
QString quoted(QString value)
{
    value.replace('\\', QStringLiteral("\\\\")).replace('"', QStringLiteral("\\\""));
    return '"' + value + '"';
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
                         QString::fromStdString(platform::withoutPasswords(platform::sourceDescription(drivers[i]))));
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
    if (options.camera && platform::looksLikeNetworkAddress(options.camera->toStdString())) {
        const ChosenSource camera = networkCamera(*options.camera, {}, {}, settings.rtspTransport, error);
        if (camera.name.isEmpty()) {
            error = "--camera: " + error;
            return false;
        }
        useChosenSource(camera);
        return true;
    }
    // A network camera or a file chosen in the windows is opened as it was described; a
    // network camera with today's transport and timeouts.
    if (!options.camera && !settings.cameraSource.isEmpty()) {
        const std::string remembered = settings.cameraSource.toStdString();
        const std::string location = platform::descriptionLocation(remembered);
        const QString user = QString::fromStdString(platform::descriptionProperty(remembered, "user-id"));
        QString ignored;
        const ChosenSource camera =
            platform::looksLikeNetworkAddress(location)
                ? networkCamera(QString::fromStdString(location), user, {}, settings.rtspTransport, ignored)
                : ChosenSource{};
        useChosenSource(camera.name.isEmpty()
                            ? ChosenSource{settings.camera, settings.cameraSource, settings.cameraSource}
                            : camera);
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

ChosenSource networkCamera(const QString& url, const QString& user, const QString& password,
                           platform::RtspTransport transport, QString& error)
{
    const std::string text = url.trimmed().toStdString();
    if (!platform::looksLikeNetworkAddress(text)) {
        // Any other URI: no way to hand a user and password to it.
        QUrl address(url.trimmed());
        if (!address.isValid() || address.scheme().isEmpty()) {
            error = QStringLiteral("the address is not a URL such as rtsp://camera.local/stream");
            return {};
        }
        address.setUserInfo({});
        const QString any = "uridecodebin uri=" + quoted(address.toString());
        return {sourceName(any), any, any};
    }
    std::string problem;
    std::optional<platform::NetworkAddress> address = platform::parseNetworkAddress(text, problem);
    if (!address) {
        error = QString::fromStdString(problem);
        return {};
    }
    if (!user.isEmpty())
        address->user = user.toStdString();
    if (!password.isEmpty())
        address->password = password.toStdString();
    if (!address->password.empty())
        platform::rememberForRun(address->hostPort(), {address->user, address->password});
    const QString description = QString::fromStdString(platform::networkSourceDescription(*address, transport));
    return {sourceName(description), description, description};
}

bool keepPassword(const QString& url, const QString& user, const QString& password, QString& error)
{
    std::string problem;
    std::optional<platform::NetworkAddress> address =
        platform::parseNetworkAddress(url.trimmed().toStdString(), problem);
    if (address && !user.isEmpty())
        address->user = user.toStdString();
    if (address && !password.isEmpty())
        address->password = password.toStdString();
    if (address && (address->user.empty() || address->password.empty()))
        problem = "a user and a password are needed to keep them";
    if (!address || !problem.empty() ||
        !platform::storeCredential(address->hostPort(), {address->user, address->password}, problem)) {
        error = "The password is not kept: " + QString::fromStdString(problem) + '.';
        return false;
    }
    return true;
}

ChosenSource videoFile(const QString& path)
{
    const QString description = "filesrc location=" + quoted(QFileInfo(path).absoluteFilePath()) + " ! decodebin";
    return {QFileInfo(path).fileName(), description, description};
}

void useChosenSource(const ChosenSource& source)
{
    if (source.name.isEmpty()) {
        platform::setDriverChoice({});
        return;
    }
    platform::setDriverChoice(
        {std::vector<platform::ConfiguredSource>{{source.name.toStdString(), source.description.toStdString()}},
         std::nullopt});
}

} // namespace app
