#include "Beep.h"

#include <atomic>

#include <QApplication>
#include <canberra.h>

namespace platform {

namespace {

std::atomic<std::uint64_t> beeps = 0;

// One event-sound context for the process; null where none can be had.
ca_context* soundContext()
{
    static ca_context* context = [] {
        ca_context* c = nullptr;
        if (ca_context_create(&c) != CA_SUCCESS)
            return static_cast<ca_context*>(nullptr);
        ca_context_change_props(c, CA_PROP_APPLICATION_NAME, "Video", nullptr);
        return c;
    }();
    return context;
}

} // namespace

void beep()
{
    ++beeps;
    ca_context* context = soundContext();
    if (!context || ca_context_play(context, 0, CA_PROP_EVENT_ID, "bell", nullptr) != CA_SUCCESS)
        QApplication::beep();
}

std::uint64_t beepsSoFar()
{
    return beeps;
}

} // namespace platform
