#include "Beep.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <QApplication>
#include <canberra.h>

namespace platform {

namespace {

std::atomic<std::uint64_t> beeps = 0;

// Whether anything could play a sound: a sound server's socket or an ALSA playback
// device. Without either, asking the event-sound library prints the sound system's
// complaints on every beep.
bool soundOutputExists()
{
    namespace fs = std::filesystem;
    std::error_code ignored;
    if (std::getenv("PULSE_SERVER"))
        return true;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"))
        for (const char* socket : {"pulse/native", "pipewire-0"})
            if (fs::exists(fs::path(runtime) / socket, ignored))
                return true;
    for (const fs::directory_entry& device : fs::directory_iterator("/dev/snd", ignored)) {
        const std::string name = device.path().filename().string();
        if (name.starts_with("pcmC") && name.ends_with("p"))
            return true;
    }
    return false;
}

// One event-sound context for the process; null where none can be had.
ca_context* soundContext()
{
    static ca_context* context = [] {
        ca_context* c = nullptr;
        if (!soundOutputExists() || ca_context_create(&c) != CA_SUCCESS)
            return static_cast<ca_context*>(nullptr);
        ca_context_change_props(c, CA_PROP_APPLICATION_NAME, "Video", nullptr);
        return c;
    }();
    return context;
}

// Cleared when the event sound failed once: the fallback beep from then on.
std::atomic<bool> eventSoundPlays = true;

} // namespace

BeepSound beep()
{
    ++beeps;
    ca_context* context = eventSoundPlays ? soundContext() : nullptr;
    if (context && ca_context_play(context, 0, CA_PROP_EVENT_ID, "bell", nullptr) == CA_SUCCESS)
        return BeepSound::event;
    eventSoundPlays = false;
    QApplication::beep();
    return BeepSound::windowing;
}

std::uint64_t beepsSoFar()
{
    return beeps;
}

} // namespace platform
