#pragma once

#include <string>

namespace app {

// Why the windows cannot be shown: empty when a display is there to show them on (or a
// platform that needs none was chosen), else one line for the user. Checked before Qt
// starts, which would otherwise abort.
std::string missingDisplay(int argc, char** argv);

} // namespace app
