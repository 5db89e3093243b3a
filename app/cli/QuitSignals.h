#pragma once

#include <functional>

#include <QObject>

class QSocketNotifier;

namespace app {

// SIGINT, SIGTERM and SIGHUP as a request to quit, answered on the Qt event loop: the signal
// handler only writes to a pipe, and the loop runs `quit`, so a save or an evaluation in
// progress finishes first and the program ends as it does when the user closes it.
class QuitSignals : public QObject {
    Q_OBJECT
public:
    // Catches the signals from now on; a signal that comes before a QuitSignals exists
    // waits for it. Call as early as possible; later calls do nothing.
    static void catchSignals();

    explicit QuitSignals(std::function<void()> quit, QObject* parent = nullptr);

private:
    void readSignal();

    std::function<void()> quit_;
    QSocketNotifier* notifier_;
};

} // namespace app
