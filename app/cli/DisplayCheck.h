#pragma once

#include <string>

namespace app {

// Why the windows cannot be shown: empty when a display is there to show them on (or a
// platform that needs none was chosen), else one line for the user. Checked before Qt
// starts, which would otherwise abort.
std::string missingDisplay(int argc, char** argv);

// Why the platform chosen for the windows (-platform, else QT_QPA_PLATFORM) cannot be
// used: none of the names it lists is an installed Qt platform. Empty when one is, or
// none is chosen. Checked before Qt starts, which would otherwise abort.
std::string unknownPlatform(int argc, char** argv);

} // namespace app
