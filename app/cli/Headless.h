#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QObject>

#include "CameraRoster.h"
#include "CommandLine.h"
#include "Settings.h"

class QSocketNotifier;

namespace app {

class HeadlessCamera;
class WebPage;

// Watching without windows, as a driver of the same session the windows drive: opens the
// first camera (or each camera of a list, a session each), runs one evaluation every
// period on its newest frame, prints one JSON line per event start and end (and with
// --log-cycles per evaluation) on standard output and progress in words on standard
// error. With several cameras every line names its camera. On a QCoreApplication.
class Headless : public QObject {
    Q_OBJECT
public:
    Headless(const Settings& settings, const Options& options);
    ~Headless() override;

    // Opens the sources, the event logs and the broker, and starts evaluating; false with
    // `error` and the exit `status` when there is nothing to watch (2: a source can never
    // work, or the list of cameras cannot be watched).
    bool start(QString& error, int& status);
    // Ends the open events, writes their clips, and closes the sources.
    void stop();

    // Shows every camera's session on `page`, which must go before this.
    void showOn(WebPage& page);

private:
    bool startOne(QString& error, int& status);
    bool startList(QString& error, int& status);
    void startCamera(std::size_t index);
    // Writes a line to standard output; once nobody reads it any more, ends the watching.
    void writeLine(const QByteArray& line);
    // Ends the watching as soon as a pipe on standard output loses its reader.
    void watchOutput();
    void outputClosed();

    Settings settings_;
    Options options_;
    std::vector<std::unique_ptr<HeadlessCamera>> cameras_;
    std::vector<RosterCamera> roster_;
    bool running_ = false; // started and not stopped yet
    bool outputGone_ = false;
    QSocketNotifier* outputWatch_ = nullptr;
};

// Runs the headless mode to its end (SIGINT or SIGTERM); returns the exit status.
int runHeadless(int argc, char** argv, const Settings& settings, const Options& options);

} // namespace app
