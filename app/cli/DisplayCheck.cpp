#include "DisplayCheck.h"

#include <cstdlib>
#include <set>
#include <string_view>

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QPluginLoader>
#include <QStringList>
#include <xcb/xcb.h>

namespace app {

namespace {

std::string_view environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The platform plugin Qt will load: the -platform argument, else QT_QPA_PLATFORM.
std::string_view argument(int argc, char** argv, std::string_view name)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string_view(argv[i]) == "-" + std::string(name) || std::string_view(argv[i]) == "--" + std::string(name))
            return argv[i + 1];
    return {};
}

std::string_view chosenPlatform(int argc, char** argv)
{
    const std::string_view given = argument(argc, argv, "platform");
    return given.empty() ? environment("QT_QPA_PLATFORM") : given;
}

// The names of the platforms Qt can load, from the plugins' own descriptions (read
// without loading them), in lower case.
std::set<QString> installedPlatforms(int argc, char** argv)
{
    QStringList folders;
    for (const std::string_view paths : {argument(argc, argv, "platformpluginpath"),
                                         environment("QT_QPA_PLATFORM_PLUGIN_PATH")})
        folders += QString::fromLocal8Bit(paths.data(), qsizetype(paths.size())).split(':', Qt::SkipEmptyParts);
    for (const QString& path : qEnvironmentVariable("QT_PLUGIN_PATH").split(':', Qt::SkipEmptyParts))
        folders << path + "/platforms";
    folders << QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms";
    std::set<QString> names;
    for (const QString& folder : folders)
        for (const QString& file : QDir(folder).entryList(QDir::Files)) {
            const QJsonObject meta = QPluginLoader(QDir(folder).filePath(file)).metaData();
            for (const auto key : meta.value("MetaData").toObject().value("Keys").toArray())
                names.insert(key.toString().toLower());
        }
    return names;
}

bool xServerAnswers()
{
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool answers = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return answers;
}

} // namespace

std::string missingDisplay(int argc, char** argv)
{
    std::string_view platform = chosenPlatform(argc, argv);
    platform = platform.substr(0, platform.find(':')); // "xcb:option=..." and lists "wayland;xcb"
    platform = platform.substr(0, platform.find(';'));
    const bool wayland = !environment("WAYLAND_DISPLAY").empty() || !environment("WAYLAND_SOCKET").empty();
    const bool x11 = !environment("DISPLAY").empty();
    if (platform.starts_with("wayland"))
        return wayland ? "" : "Video needs a display: WAYLAND_DISPLAY is not set; start it from a desktop session";
    if (platform == "xcb" || (platform.empty() && !wayland)) {
        if (!x11)
            return "Video needs a display: neither DISPLAY nor WAYLAND_DISPLAY is set; start it from a desktop session";
        if (!xServerAnswers())
            return "Video needs a display: cannot connect to the X display \"" + std::string(environment("DISPLAY")) +
                   "\"";
    }
    return ""; // a Wayland session, or a platform that brings its own screen (offscreen, vnc, eglfs, ...)
}

std::string unknownPlatform(int argc, char** argv)
{
    const QString chosen = QString::fromLocal8Bit(std::string(chosenPlatform(argc, argv)).c_str());
    if (chosen.trimmed().isEmpty())
        return {};
    const std::set<QString> installed = installedPlatforms(argc, argv);
    // A list ("wayland;xcb") is tried in its order; options follow a colon ("xcb:dpi=96").
    for (const QString& entry : chosen.split(';', Qt::SkipEmptyParts))
        if (installed.contains(entry.section(':', 0, 0).trimmed().toLower()))
            return {};
    QStringList names;
    for (const QString& name : installed)
        names << name;
    return "Video cannot show its windows: there is no Qt platform \"" + chosen.toStdString() + "\"" +
           (names.isEmpty() ? std::string() : "; the platforms are " + names.join(", ").toStdString());
}

} // namespace app
