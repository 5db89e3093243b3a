#pragma once

#include <functional>

#include <QString>

namespace app {

// The text an error box shows: a period appended when the text is not empty and its
// last character comes after "." in the character set.
QString errorBoxText(const QString& error);

// The application's standard error box: the text, a stop icon, one OK button, the
// application's title as caption; the other windows are disabled while it is open.
void showErrorBox(const QString& error);
// Whether such a box is open now (waiting for its OK).
bool errorBoxOpen();

// Runs a command; an error it raises ends it and is shown in the standard error box.
// While the capture session waits for its source (the GUI keeps running meanwhile), a
// command is refused unless it `interrupts` the wait (Stop Video).
void runCommand(const std::function<void()>& command, bool interrupts = false);

} // namespace app
