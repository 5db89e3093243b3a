#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QObject>
#include <QString>

#include "Cycle.h"
#include "Detection.h"
#include "Evaluation.h"
#include "EventFeed.h"
#include "EventReport.h"
#include "EventWatcher.h"
#include "LiveSource.h"

namespace watch {

class MqttBridge;

// Why `folder` cannot take saved frames, the event log and clips, in words for a message;
// empty when it can. Makes the folder when it does not exist.
QString saveFolderProblem(const QString& folder);

// Everything that watches one camera, without any window: its live source, the
// evaluation with its detection, the events with their log, clips and thumbnails, and
// the MQTT publisher. The windows and the headless mode are two drivers of one of these:
// they open the source, run cycles on its frames when they choose and show or print what
// comes out; the session does the rest the same way for both. Lives on the GUI thread and
// never waits there: clips are completed on the recorder's own thread.
class Session : public QObject, private CycleListener {
    Q_OBJECT
public:
    explicit Session(QObject* parent = nullptr);
    // Ends the open event; the recorder completes its clip before the program ends.
    ~Session() override;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    platform::LiveSource& source() { return source_; }
    Evaluation& evaluation() { return evaluation_; }
    events::EventWatcher& events() { return *events_; }

    // Tells `listener` of each cycle before the events hear of it (a driver's output of the
    // cycle comes before the event the cycle starts). It must outlive the session or be
    // removed from the evaluation first.
    void addListener(CycleListener* listener);

    // Puts `settings` into the detection and loads `maskFile` (empty: no mask); false, with
    // `warning` saying why, when the mask cannot be used (the watching goes on without it).
    bool useDetection(const analysis::DetectionSettings& settings, const QString& maskFile, QString& warning);

    // Takes the folder and broker a run starts with as they are (a malformed broker is no
    // broker), without the checks a change made by the user goes through.
    void restore(const QString& saveFolder, const QString& broker);
    // The folder as set (empty: images/ in the working directory), and as a full path.
    const QString& saveFolder() const { return saveFolder_; }
    QString saveFolderPath() const;
    // False, with `error` saying why, when the folder cannot be used; the old one stays
    // then. A folder that does not exist yet is made. The next saved frame, event and clip
    // go to the new one.
    bool setSaveFolder(const QString& folder, QString& error);
    // Whether events keep their records (log, clips, thumbnails) in the save folder: while
    // Save On Move is on in the windows, always in the headless mode. Off, events are still
    // told of, noted and published.
    void setRecording(bool on);
    // Starts recording and opens the event log now; false, with `error`, when it cannot be used.
    bool openRecords(QString& error);

    // HOST[:PORT] as set; empty: no broker.
    const QString& broker() const { return broker_; }
    // False, with `error` saying why, when the address is malformed; the old broker stays
    // then. Empty: no broker. A new broker is connected in place of the old at once.
    bool setBroker(const QString& broker, QString& error);
    MqttBridge* mqtt() const { return mqtt_; }
    // The prefix under which the camera announces itself to a home-automation hub (MQTT
    // discovery); empty: not announced. Holds from the next broker connected on.
    void setDiscoveryPrefix(const QString& prefix) { discoveryPrefix_ = prefix; }

    // How many frames were saved during the open event (or by the cycle that may start the
    // next one), and where.
    SavedFrames savedFrames() const;

    // Ends the open event now; its clip is completed on the recorder's thread.
    void finish();

signals:
    // A fault or a change of the events or the broker, in words for the status line.
    void statusText(const QString& text);
    // The save folder (as a full path) may have changed, or whether events keep records there.
    void saveFolderChanged(const QString& path);

private:
    void cycleEvaluated(const Cycle& cycle) override;
    void sourceChanged();
    void useFolder();
    void connectBroker();
    void nameTopics();

    platform::LiveSource source_;
    Evaluation evaluation_;
    events::EventWatcher* events_;
    EventFeed feed_;
    MqttBridge* mqtt_ = nullptr;
    QString saveFolder_;
    QString broker_;
    QString discoveryPrefix_;
    bool recording_ = false;
    int savedFrameCount_ = 0;
};

} // namespace watch
