#include "QuitSignals.h"

#include <cerrno>
#include <csignal>
#include <stdexcept>

#include <QSocketNotifier>
#include <fcntl.h>
#include <unistd.h>

namespace app {

namespace {

// Read end and write end of the pipe from the handler to the event loop.
int signalPipe[2] = {-1, -1};

extern "C" void onQuitSignal(int signal)
{
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t written = write(signalPipe[1], &byte, 1); // full pipe: a quit is pending anyway
    errno = saved;
}

} // namespace

void QuitSignals::catchSignals()
{
    if (signalPipe[0] >= 0)
        return;
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("Cannot create the pipe for quit signals");
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // a read or write in progress goes on after the handler
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // The terminal it was started from closing ends it as cleanly, unless it was started
    // to outlive the terminal (nohup leaves SIGHUP ignored).
    struct sigaction hangUp = {};
    sigaction(SIGHUP, nullptr, &hangUp);
    if (hangUp.sa_handler != SIG_IGN)
        sigaction(SIGHUP, &action, nullptr);
}

QuitSignals::QuitSignals(std::function<void()> quit, QObject* parent) : QObject(parent), quit_(std::move(quit))
{
    catchSignals();
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &QuitSignals::readSignal);
}

void QuitSignals::readSignal()
{
    char bytes[16];
    while (read(signalPipe[0], bytes, sizeof bytes) > 0)
        ;
    quit_();
}

} // namespace app
