#pragma once

#include <string>
#include <vector>

#include <QByteArray>

namespace events {
struct Event;
}
namespace watch {
struct Cycle;
}

namespace watch {

// One line of JSON (no line break) for an event's start or end, as the headless mode
// prints it and the MQTT publisher sends it: the times, the counts and the files
// (`savedFrames` are the frames saved during the event).
QByteArray eventStartJson(const events::Event& event, const std::vector<std::string>& savedFrames);
QByteArray eventEndJson(const events::Event& event, const std::vector<std::string>& savedFrames);

// One line of JSON for an evaluation: its time, the brightened and darkened counts before
// and after detection, the verdict and its reason.
QByteArray cycleJson(const watch::Cycle& cycle);

// The verdict of an evaluation in one word: "movement", "rejected" (moving but not
// confirmed), "still", "reference" (a new connection's first frame) or "refused".
const char* verdictOf(const watch::Cycle& cycle);

} // namespace watch
