#pragma once

#include <string>

#include <QByteArray>

namespace events {
struct Event;
}
namespace watch {
struct Cycle;
}

namespace watch {

// The frames saved during an event: how many, and the folder they are in. A long event
// saves hundreds: a message names the folder, not each of them.
struct SavedFrames {
    int count = 0;
    std::string folder;
};

// One line of JSON (no line break) for an event's start or end, as the headless mode
// prints it and the MQTT publisher sends it: the times, the counts, the event's clip and
// thumbnail, and the number of saved frames with their folder.
QByteArray eventStartJson(const events::Event& event, const SavedFrames& savedFrames);
QByteArray eventEndJson(const events::Event& event, const SavedFrames& savedFrames);

// One line of JSON for an evaluation: its time, the brightened and darkened counts before
// and after detection, the verdict and its reason.
QByteArray cycleJson(const watch::Cycle& cycle);

// The verdict of an evaluation in one word: "movement", "rejected" (moving but not
// confirmed), "still", "reference" (a new connection's first frame) or "refused".
const char* verdictOf(const watch::Cycle& cycle);

} // namespace watch
