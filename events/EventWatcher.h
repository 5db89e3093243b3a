#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <QImage>
#include <QObject>
#include <QString>
#include <QTimer>

#include "CycleSummary.h"
#include "DiskSpace.h"
#include "Event.h"
#include "EventSettings.h"
#include "EventTracker.h"
#include "Frame.h"

namespace platform {
struct Packet;
}

namespace events {

struct RetentionNeeds;
struct RetentionResult;

class ClipRecorder;
class ClipSalvage;
class EventCommands;
struct ClipResult;
class EventLog;
class Notifier;

// Turns evaluation cycles into events and does everything an event asks for: the log,
// the clip, the thumbnail, the desktop note, the user's commands and the retention of
// old files. Lives on the GUI thread; only the frames come from elsewhere. Failures go
// to `statusText`, each kind once until it works again.
class EventWatcher : public QObject {
    Q_OBJECT
public:
    explicit EventWatcher(QObject* parent = nullptr);
    // Ends an open event and waits for the clips being written (the program ends).
    ~EventWatcher() override;
    // The same while whoever listens is still there: the ends of the events whose clips
    // were being written are told before this returns.
    void close();

    // Keeps the records of events in `folder` (which must exist): its event log, clips
    // and thumbnails. The log opens when the first event starts; an empty folder keeps no
    // records (events are still told of, noted and commanded).
    void setFolder(const QString& folder);
    // Sets the folder and opens its log at once; false with `error` set when the log
    // cannot be used, and no records are kept then.
    bool open(const QString& folder, QString& error);
    // Opens the log of the folder if it is not open; false when there is none or it fails.
    bool ensureOpen();
    bool isOpen() const { return log_ != nullptr; }
    QString folder() const { return folder_; }
    EventLog* log() { return log_.get(); }

    void setSettings(const EventSettings& settings);
    const EventSettings& settings() const { return settings_; }

    // Takes one evaluation cycle.
    void cycleEvaluated(const CycleSummary& summary);
    // Takes a packet of the live source's clip stream, on any thread. Give `packetTap()`
    // to the source.
    void pushPacket(const platform::Packet& packet);
    std::function<void(const platform::Packet&)> packetTap();

    // Removes an ended event from the log with its files. False, with `message` saying
    // why, when the event stays; true when it went, with `message` naming any file that
    // could not be removed (it stays recorded, for the removal of old files to take).
    bool deleteEvent(std::int64_t id, QString& message);
    // Ends the open event now; its clip is completed on the recorder's thread and reported
    // as it is. Only destroying the watcher (the program ends) waits for the clips.
    void finish();
    // While the source is paused (it takes a new format) the open event does not end;
    // once it runs again, the quiet gap counts from then.
    void setSourcePaused(bool paused);

    // Applies the retention limits and the disk's floor of free space now.
    void applyRetention();
    // Makes room in the folder for a write of `bytes` about to be made there: removes the
    // oldest files as far as the limits and the disk's floor of free space ask. False when
    // the write would pass them all the same: it is to be skipped (told once in the
    // status line through `writeSkipped`), and watching goes on.
    bool makeRoom(std::int64_t bytes);
    // A write into the folder was skipped for want of room; told once until one succeeds.
    void writeSkipped(const QString& why);
    // Asks `probe` for the disk's free space instead of the file system (tests stand in a small disk).
    void setDiskSpaceProbe(DiskSpaceProbe probe);

    // The desktop notes of event starts (their camera is named by the session).
    Notifier& notifier() { return *notifier_; }

    bool eventOpen() const { return tracker_.open(); }
    // The open event (null: none) and the frame of its busiest cycle so far.
    const Event* openEvent() const { return tracker_.open() ? &tracker_.current() : nullptr; }
    const std::shared_ptr<const analysis::Bitmap>& openPeakFrame() const { return tracker_.peakFrame(); }
    // Whether clips are recorded: records are kept and the settings ask for clips. A raw
    // source encodes its clip stream only while they are.
    bool clipsWanted() const { return clipsWanted_; }
    // The frames kept from before, and their bytes.
    std::size_t bufferedFrames() const;
    std::size_t bufferedBytes() const;

signals:
    // A log was opened or closed: whatever showed the previous one reads it again.
    void opened();
    void eventStarted(const events::Event& event);
    // The open event moved again: its end, peak or path changed.
    void eventUpdated(const events::Event& event);
    // The event's movement is over: it ends now. `eventEnded` follows once its clip is
    // complete or lost.
    void movementEnded(const events::Event& event);
    // The event ended and its clip, if any, is complete under its final name (or named as
    // lost in `clipLost`); its rows are queued for the log.
    void eventEnded(const events::Event& event);
    // A clip is complete under its final name.
    void clipSaved(std::int64_t eventId, const QString& path);
    void eventRemoved(std::int64_t id);
    void statusText(const QString& text);
    void clipsWantedChanged(bool wanted);

private:
    enum class Fault { Log, Clip, Dropped, Thumbnail, Retention, Space, Notification };
    void report(Fault fault, const QString& text);
    void cleared(Fault fault) { reported_.erase(fault); }
    void enableClips();
    void salvageClips();

    void started(const CycleSummary& summary);
    void ended();
    void armGapTimer();
    void clipFinished(const ClipResult& result);
    void openClipFinished(const ClipResult& result);
    void clipPartFinished(std::int64_t eventId, EventLog* log, const ClipResult& result);
    void recordFile(std::int64_t eventId, const std::string& path, int kind, TimePoint when);
    void updateThumbnail(const Event& e, const analysis::Bitmap& frame);
    bool makeRoomFor(std::int64_t bytes, std::int64_t keptEvent, bool tell);
    RetentionNeeds needs(std::int64_t incoming, std::int64_t keptEvent);
    void retained(const RetentionResult& result);
    void tidy();
    std::int64_t listedBytes();
    void runEndCommand(std::int64_t eventId);

    EventSettings settings_;
    QString folder_;
    std::shared_ptr<EventLog> log_;
    std::shared_ptr<ClipRecorder> recorder_;
    std::unique_ptr<ClipSalvage> salvage_;
    EventCommands* commands_;
    Notifier* notifier_;
    EventTracker tracker_;
    QTimer gapTimer_;
    QTimer retentionTimer_;
    QTimer retentionRest_; // the next slice of a retention that ran out of time
    DiskSpaceProbe diskSpace_ = diskSpaceOf;
    std::int64_t listedBytes_ = -1; // of the files the log lists; -1: to be asked
    int clip_ = 0; // the open event's clip
    int clipEndedEarly_ = 0; // the clip ended before its event for want of room
    std::string clipPart_; // the file of it being written
    bool clipsWanted_ = false;
    bool sourcePaused_ = false;
    // Ended events whose clip is still being written, with the log they are in.
    struct AwaitingClip {
        Event event;
        std::shared_ptr<EventLog> log;
    };
    std::map<std::string, AwaitingClip> awaitingClip_;
    std::set<Fault> reported_;
};

} // namespace events
