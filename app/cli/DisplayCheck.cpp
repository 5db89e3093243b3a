#include "DisplayCheck.h"

#include <cstdlib>
#include <string_view>

#include <xcb/xcb.h>

namespace app {

namespace {

std::string_view environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The platform plugin Qt will load: the -platform argument, else QT_QPA_PLATFORM.
std::string_view chosenPlatform(int argc, char** argv)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string_view(argv[i]) == "-platform" || std::string_view(argv[i]) == "--platform")
            return argv[i + 1];
    return environment("QT_QPA_PLATFORM");
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

} // namespace app
