#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QObject>
#include <QTimer>

#include "CommandLine.h"
#include "Cycle.h"
#include "Evaluation.h"
#include "EventFeed.h"
#include "EventWatcher.h"
#include "LiveSource.h"
#include "Settings.h"

namespace app {

class MqttBridge;

// Watching without windows: the live source, one evaluation every period on its newest
// frame, the events with their clips, one JSON line per event start and end (and with
// --log-cycles per evaluation) on standard output, progress in words on standard error,
// and the events to an MQTT broker when one is set. The same evaluation and events as
// the windows, on a QCoreApplication.
class Headless : public QObject, public watch::CycleListener {
    Q_OBJECT
public:
    Headless(const Settings& settings, const Options& options);
    ~Headless() override;

    // Opens the source, the event log and the broker, and starts evaluating; false with
    // `error` when there is nothing to watch.
    bool start(QString& error);
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

    Settings settings_;
    bool logCycles_;
    platform::LiveSource source_;
    watch::Evaluation evaluation_;
    events::EventWatcher watcher_;
    watch::EventFeed feed_;
    MqttBridge* mqtt_ = nullptr;
    QTimer timer_;
    std::uint64_t lastFrame_ = 0;
    std::int64_t evaluations_ = 0;
    int events_ = 0;
    std::vector<std::string> savedFrames_; // saved during the open event
    std::string lastSaveError_;
    bool stopped_ = false;
    bool outputGone_ = false;
};

// Runs the headless mode to its end (SIGINT or SIGTERM); returns the exit status.
int runHeadless(int argc, char** argv, const Settings& settings, const Options& options);

} // namespace app
