#pragma once

#include <QString>

namespace platform {

// The application's title as message boxes show it: the program file's name without
// its directory and without everything from its first ".", every character after the
// first in lower case ("/usr/bin/VIDEO.bin" gives "Video").
QString titleFromProgramPath(const QString& path);
QString applicationTitle();

} // namespace platform
