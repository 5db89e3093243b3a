#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QObject>
#include <QTimer>

#include "CommandLine.h"
#include "Cycle.h"
#include "Event.h"
#include "Session.h"
#include "Settings.h"

class QSocketNotifier;

namespace app {

// Watching without windows, as a driver of the same session the windows drive: opens the
// first camera, runs one evaluation every period on its newest frame, prints one JSON
// line per event start and end (and with --log-cycles per evaluation) on standard
// output and progress in words on standard error. On a QCoreApplication.
class Headless : public QObject, public watch::CycleListener {
    Q_OBJECT
public:
    Headless(const Settings& settings, const Options& options);
    ~Headless() override;

    // Opens the source, the event log and the broker, and starts evaluating; false with
    // `error` and the exit `status` when there is nothing to watch (2: the source can never work).
    bool start(QString& error, int& status);
    // Ends the open event, writes its clip, and closes the source.
    void stop();

    void cycleEvaluated(const watch::Cycle& cycle) override;

    std::int64_t evaluations() const { return evaluations_; }

private:
    void evaluate();
    void eventStarted(const events::Event& event);
    void eventEnded(const events::Event& event);
    // Writes a line to standard output; once nobody reads it any more, ends the watching.
    void writeLine(const QByteArray& line);
    // Ends the watching as soon as a pipe on standard output loses its reader.
    void watchOutput();
    void outputClosed();

    Settings settings_;
    bool logCycles_;
    watch::Session session_;
    QTimer timer_;
    std::uint64_t lastFrame_ = 0;
    std::int64_t evaluations_ = 0;
    int events_ = 0;
    std::string lastSaveError_;
    bool running_ = false; // started and not stopped yet
    bool outputGone_ = false;
    QSocketNotifier* outputWatch_ = nullptr;
};

// Runs the headless mode to its end (SIGINT or SIGTERM); returns the exit status.
int runHeadless(int argc, char** argv, const Settings& settings, const Options& options);

} // namespace app
