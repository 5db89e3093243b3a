#include "EventWatcher.h"

#include <filesystem>
#include <system_error>

#include <QCoreApplication>
#include <QDir>

#include "ClipRecorder.h"
#include "ClipSalvage.h"
#include "EventCommands.h"
#include "EventLog.h"
#include "Notifier.h"
#include "Retention.h"
#include "Thumbnail.h"

namespace events {

namespace fs = std::filesystem;

namespace {

constexpr std::chrono::milliseconds closingWait{10'000};
constexpr std::chrono::milliseconds retentionSlice{4};
// Room asked for before a thumbnail is written: a JPEG 160 pixels wide takes far less.
constexpr std::int64_t thumbnailRoom = 64 << 10;
constexpr std::int64_t logRecordRoom = 16 << 10;

std::int64_t sizeOf(const std::string& path)
{
    std::error_code ec;
    const auto bytes = fs::file_size(path, ec);
    return ec ? 0 : static_cast<std::int64_t>(bytes);
}

// Kept absolute, so retention finds the file whatever the working directory is later.
std::string storedPath(const std::string& path)
{
    std::error_code ec;
    const std::string absolute = fs::absolute(path, ec).string();
    return ec ? path : absolute;
}

std::string uniqueName(const std::string& stem, const std::string& extension)
{
    std::error_code ec;
    for (int n = 1;; ++n) {
        const std::string name = stem + (n == 1 ? std::string() : "-" + std::to_string(n)) + extension;
        if (!fs::exists(name, ec) || n == 1000)
            return name;
    }
}

} // namespace

EventWatcher::EventWatcher(QObject* parent)
    : QObject(parent), commands_(new EventCommands(this)), notifier_(new Notifier(this)), tracker_(settings_.gap)
{
    recorder_ = std::make_shared<ClipRecorder>(
        settings_.preRoll, settings_.postRoll, [this](const ClipResult& r) {
            // The recorder's own thread: the rest happens on the watcher's.
            QMetaObject::invokeMethod(
                this, [this, r] { clipFinished(r); },
                Qt::QueuedConnection);
        });
    setSettings(settings_);
    gapTimer_.setSingleShot(true);
    connect(&gapTimer_, &QTimer::timeout, this, [this] {
        if (tracker_.advance(steadyNow()).ended)
            ended();
        armGapTimer();
    });
    // Clips grow and the disk fills from elsewhere between writes: checked every minute too.
    retentionTimer_.setInterval(std::chrono::minutes(1));
    connect(&retentionTimer_, &QTimer::timeout, this, &EventWatcher::tidy);
    retentionRest_.setSingleShot(true);
    connect(&retentionRest_, &QTimer::timeout, this, &EventWatcher::applyRetention);
    connect(commands_, &EventCommands::failed, this, &EventWatcher::statusText);
    connect(notifier_, &Notifier::failed, this, [this](const QString& text) { report(Fault::Notification, text); });
}

EventWatcher::~EventWatcher()
{
    salvage_.reset();
    close();
}

void EventWatcher::close()
{
    finish();
    // The program ends: the one wait for the clips, whose reports then come in here.
    recorder_->waitClosed(closingWait);
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void EventWatcher::setFolder(const QString& folder)
{
    if (folder == folder_)
        return;
    finish();
    const bool wasOpen = log_ != nullptr;
    log_.reset();
    listedBytes_ = -1;
    retentionTimer_.stop();
    folder_ = folder;
    cleared(Fault::Log);
    enableClips();
    if (wasOpen)
        emit opened();
}

bool EventWatcher::open(const QString& folder, QString& error)
{
    setFolder(folder);
    // The save folder is the user's to make: a missing one is reported, not made.
    if (folder.isEmpty() || !QDir(folder).exists()) {
        error = "The folder " + folder + " does not exist";
        return false;
    }
    std::string why;
    log_ = EventLog::open(QDir(folder).filePath("events.sqlite").toStdString(), why);
    if (!log_) {
        error = QString::fromStdString(why);
        return false;
    }
    // The writer tells on its own thread; the status line hears it on the watcher's.
    log_->setWriterListener([this](bool, const std::string& text) {
        QMetaObject::invokeMethod(this, [this, text = QString::fromStdString(text)] { emit statusText(text); },
                                  Qt::QueuedConnection);
    });
    salvageClips();
    tidy();
    retentionTimer_.start();
    emit opened();
    return true;
}

bool EventWatcher::ensureOpen()
{
    if (log_)
        return true;
    if (folder_.isEmpty())
        return false;
    QString error;
    if (!open(folder_, error)) {
        report(Fault::Log, "Events are not recorded: " + error);
        return false;
    }
    if (reported_.contains(Fault::Log))
        emit statusText("Events are recorded again in " + folder_);
    cleared(Fault::Log);
    return true;
}

void EventWatcher::salvageClips()
{
    // A clip a killed program left under its temporary name is kept when it plays, and the
    // rows of the log name only clips that are there.
    salvage_ = std::make_unique<ClipSalvage>(
        folder_.toStdString(),
        [this, log = log_](const std::vector<ClipSalvage::Kept>& kept, const std::vector<std::string>& lost) {
            std::vector<std::pair<std::string, std::int64_t>> clips;
            for (const ClipSalvage::Kept& clip : kept)
                clips.emplace_back(clip.path, clip.bytes);
            QMetaObject::invokeMethod(
                this,
                [this, log, clips, lost = lost.size()] {
                    log->settleClips(
                        clips,
                        [](const std::string& clip) {
                            std::error_code ec;
                            return fs::exists(clip, ec) || fs::exists(ClipRecorder::temporaryNameOf(clip), ec);
                        },
                        now(), "lost: the program stopped before the clip was complete");
                    if (lost > 0)
                        emit statusText(QStringLiteral("%1 clips the program left unfinished could not be played "
                                                       "and were removed")
                                            .arg(lost));
                },
                Qt::QueuedConnection);
        });
}

void EventWatcher::setSettings(const EventSettings& settings)
{
    // Tighter limits hold at once rather than at the next hourly round.
    const bool tighter =
        settings.retentionBytes < settings_.retentionBytes || settings.retentionAge < settings_.retentionAge;
    settings_ = settings;
    if (tighter)
        applyRetention();
    tracker_.setGap(settings.gap);
    recorder_->setRolls(settings.preRoll, settings.postRoll);
    enableClips();
    notifier_->setEnabled(settings.notify);
    notifier_->setCooldown(settings.notifyCooldown);
    commands_->setCommands(settings.commandOnStart, settings.commandOnEnd);
    armGapTimer();
}

std::size_t EventWatcher::bufferedFrames() const
{
    return recorder_->bufferedFrames();
}

std::size_t EventWatcher::bufferedBytes() const
{
    return recorder_->bufferedBytes();
}

void EventWatcher::pushPacket(const platform::Packet& packet)
{
    recorder_->pushPacket(packet);
}

std::function<void(const platform::Packet&)> EventWatcher::packetTap()
{
    // The source may outlive the watcher: the tap then does nothing.
    return ClipRecorder::packetTap(recorder_);
}

void EventWatcher::enableClips()
{
    const bool wanted = settings_.recordClips && !folder_.isEmpty();
    recorder_->setEnabled(wanted);
    if (wanted != clipsWanted_)
        emit clipsWantedChanged(clipsWanted_ = wanted);
}

void EventWatcher::report(Fault fault, const QString& text)
{
    if (reported_.insert(fault).second)
        emit statusText(text);
}

void EventWatcher::cycleEvaluated(const CycleSummary& summary)
{
    const EventTracker::Change change = tracker_.cycle(summary);
    if (change.ended)
        ended();
    if (change.started)
        started(summary);
    else if (tracker_.open() && summary.moving)
        emit eventUpdated(tracker_.current());
    // The clip's after-roll counts from the last movement, not from the quiet gap's end.
    if (clip_ != 0 && tracker_.open() && summary.moving)
        recorder_->moved(clip_);
    if (!summary.savedFile.empty() && log_)
        recordFile(tracker_.open() ? tracker_.current().id : 0, summary.savedFile, int(FileKind::Frame), summary.time);
    // A clip being written grows with every picture: the limits hold in the middle of an
    // event too. Its after-roll will take about as much as the pictures kept from before.
    if (log_ && (clip_ != 0 || !awaitingClip_.empty()) &&
        !makeRoomFor(static_cast<std::int64_t>(recorder_->bufferedBytes()), 0, false) && clip_ != 0 &&
        clip_ != clipEndedEarly_) {
        // Nothing else is left to go: the open event's clip ends here, whole, rather than
        // passing the limits; the event goes on without it.
        recorder_->end(clipEndedEarly_ = clip_);
        report(Fault::Space, QStringLiteral("The save folder is full: the clip %1 was ended early")
                                 .arg(QString::fromStdString(clipPart_)));
    }
    armGapTimer();
}

void EventWatcher::started(const CycleSummary& summary)
{
    Event& e = tracker_.current();
    if (!ensureOpen()) {
        // No records: the event is still told of.
        notifier_->eventStarted(e);
        commands_->eventStarted(e);
        emit eventStarted(e);
        return;
    }
    const std::string stem = QDir(folder_).filePath(QString::fromStdString(fileStem(e.start))).toStdString();
    // The clip starts with the pictures kept from before, written at once.
    if (settings_.recordClips && makeRoom(static_cast<std::int64_t>(recorder_->bufferedBytes()))) {
        std::string path, error;
        clip_ = recorder_->begin(stem, path, error);
        if (clip_ != 0) {
            e.clip = path;
            clipPart_ = path;
        } else {
            report(Fault::Clip, QString::fromStdString(error));
        }
    }
    // The thumbnail shares the clip's name, so the two sort together.
    const std::string thumbnail =
        e.clip.empty() ? uniqueName(stem, ".jpg") : fs::path(e.clip).replace_extension(".jpg").string();
    std::string error;
    if (summary.frame && makeRoom(thumbnailRoom)) {
        if (writeThumbnail(*summary.frame, thumbnail, error)) {
            e.thumbnail = thumbnail;
            cleared(Fault::Thumbnail);
        } else {
            report(Fault::Thumbnail, QString::fromStdString(error));
        }
    }

    // A log too busy to take more tells what it loses through its writer.
    if (log_->addStarted(e) && !e.thumbnail.empty())
        recordFile(e.id, e.thumbnail, int(FileKind::Thumbnail), e.start);
    notifier_->eventStarted(e);
    commands_->eventStarted(e);
    emit eventStarted(e);
}

void EventWatcher::ended()
{
    Event e = tracker_.ended();
    emit movementEnded(e);
    if (!log_) {
        commands_->eventEnded(e);
        emit eventEnded(e);
        return;
    }
    if (!e.thumbnail.empty() && tracker_.endedPeakFrame() && !tracker_.endedPeakFrame()->empty())
        updateThumbnail(e, *tracker_.endedPeakFrame());

    // An event that started before its log opened gets its row now.
    if (e.id == 0)
        log_->addStarted(e);
    log_->saveEnded(e);

    if (clip_ != 0) {
        recorder_->end(clip_);
        clip_ = 0;
        // The end is told once the clip is whole or lost, so that no one is sent to a file
        // that is not there yet; its row goes into this log even when the folder changes
        // meanwhile.
        awaitingClip_[clipPart_] = {e, log_};
    } else {
        commands_->eventEnded(e);
        emit eventEnded(e);
    }
    applyRetention();
}

void EventWatcher::setSourcePaused(bool paused)
{
    if (paused == sourcePaused_)
        return;
    sourcePaused_ = paused;
    if (!paused)
        tracker_.heldUntil(steadyNow());
    armGapTimer();
}

void EventWatcher::armGapTimer()
{
    if (sourcePaused_) {
        gapTimer_.stop();
        return;
    }
    if (const auto deadline = tracker_.deadline())
        gapTimer_.start(std::max<std::chrono::milliseconds>(*deadline - steadyNow(), std::chrono::milliseconds(0)));
    else
        gapTimer_.stop();
}

void EventWatcher::clipFinished(const ClipResult& r)
{
    const auto waiting = awaitingClip_.find(r.path);
    if (waiting == awaitingClip_.end()) {
        if (tracker_.open() && clip_ != 0 && clipPart_ == r.path)
            openClipFinished(r);
        return;
    }
    Event e = waiting->second.event;
    const std::shared_ptr<EventLog> log = waiting->second.log;
    awaitingClip_.erase(waiting);
    if (!r.continuedIn.empty()) {
        // One part of the event's clip: the end command waits for the last one.
        clipPartFinished(e.id, log.get(), r);
        awaitingClip_[r.continuedIn] = {e, log};
        return;
    }
    if (r.complete) {
        cleared(Fault::Clip);
        if (log && e.id != 0)
            log->addFile(e.id, r.path, FileKind::Clip, r.bytes, now());
        listedBytes_ = -1;
        if (r.droppedFrames > 0) {
            e.clipDroppedFrames = r.droppedFrames;
            if (log && e.id != 0)
                log->setClipDroppedFrames(e.id, r.droppedFrames);
            report(Fault::Dropped, QStringLiteral("The clip %1 lacks %2 frames: the machine was too busy to write them")
                                       .arg(QString::fromStdString(r.path))
                                       .arg(r.droppedFrames));
        }
        if (log == log_)
            emit clipSaved(e.id, QString::fromStdString(r.path));
    } else if (r.path != e.clip) {
        // A later part: the event keeps the parts before it.
        report(Fault::Clip, QString::fromStdString(r.error));
    } else {
        report(Fault::Clip, QString::fromStdString(r.error));
        e.clip.clear();
        e.clipLost = r.error;
        if (log && e.id != 0)
            log->saveEnded(e);
    }
    commands_->eventEnded(e);
    emit eventEnded(e);
}

void EventWatcher::clipPartFinished(std::int64_t eventId, EventLog* log, const ClipResult& r)
{
    if (!r.complete) {
        report(Fault::Clip, QString::fromStdString(r.error));
        return;
    }
    cleared(Fault::Clip);
    if (log && eventId != 0)
        log->addFile(eventId, r.path, FileKind::Clip, r.bytes, now());
    listedBytes_ = -1;
    if (log == log_.get())
        emit clipSaved(eventId, QString::fromStdString(r.path));
}

void EventWatcher::openClipFinished(const ClipResult& r)
{
    Event& e = tracker_.current();
    if (!r.continuedIn.empty()) {
        // The source changed its size: the clip goes on in its next file.
        clipPartFinished(e.id, log_.get(), r);
        clipPart_ = r.continuedIn;
        return;
    }
    // The clip ended before its event: its writing failed, or the source changed its size
    // and no further file could be made. Told now, while the event goes on; the event's
    // end no longer waits for it.
    clip_ = 0;
    if (r.complete) {
        cleared(Fault::Clip);
        if (log_ && e.id != 0)
            log_->addFile(e.id, r.path, FileKind::Clip, r.bytes, now());
        listedBytes_ = -1;
        emit clipSaved(e.id, QString::fromStdString(r.path));
        report(Fault::Clip, QStringLiteral("The clip %1 ended before its event: the rest of the event is not recorded")
                                .arg(QString::fromStdString(r.path)));
    } else {
        report(Fault::Clip, QString::fromStdString(r.error));
        if (r.path == e.clip) {
            e.clip.clear();
            e.clipLost = r.error;
        }
    }
}

void EventWatcher::recordFile(std::int64_t eventId, const std::string& path, int kind, TimePoint when)
{
    std::error_code ec;
    const auto bytes = fs::file_size(path, ec);
    if (ec)
        return; // nothing was written
    cleared(Fault::Space);
    // A log too busy to take more tells what it loses through its writer.
    if (log_->addFile(eventId, storedPath(path), FileKind(kind), static_cast<std::int64_t>(bytes), when) &&
        listedBytes_ >= 0)
        listedBytes_ += static_cast<std::int64_t>(bytes);
}

void EventWatcher::updateThumbnail(const Event& e, const analysis::Bitmap& frame)
{
    // The event has ended but its clip is still being written: its thumbnail stays.
    std::string error;
    if (!makeRoomFor(thumbnailRoom, e.id, true))
        return;
    if (!writeThumbnail(frame, e.thumbnail, error)) {
        report(Fault::Thumbnail, QString::fromStdString(error));
        return;
    }
    // The picture of the peak takes other bytes than the first one did.
    log_->setFileBytes(storedPath(e.thumbnail), sizeOf(e.thumbnail));
    listedBytes_ = -1;
}

std::int64_t EventWatcher::listedBytes()
{
    if (listedBytes_ < 0 && log_)
        listedBytes_ = log_->presentBytes();
    return std::max<std::int64_t>(listedBytes_, 0);
}

RetentionNeeds EventWatcher::needs(std::int64_t incoming, std::int64_t keptEvent)
{
    RetentionNeeds n;
    n.incoming = incoming;
    n.recordBytes = logRecordRoom;
    if (keptEvent != 0)
        n.recording.insert(keptEvent);
    // The log's own pages and journal take room in the folder as the files do.
    // Files whose record still waits for the log's writer are there all the same.
    if (log_)
        n.unlisted += sizeOf(log_->path()) + sizeOf(log_->path() + "-wal") + sizeOf(log_->path() + "-shm") +
                      log_->queuedFileBytes();
    if (tracker_.open()) {
        n.recording.insert(tracker_.current().id);
        if (clip_ != 0)
            n.unlisted += sizeOf(ClipRecorder::temporaryNameOf(clipPart_));
    }
    for (const auto& [path, waiting] : awaitingClip_) {
        if (waiting.log != log_)
            continue;
        n.unlisted += sizeOf(ClipRecorder::temporaryNameOf(path));
        n.recording.insert(waiting.event.id);
    }
    if (const std::optional<DiskSpace> space = diskSpace_(folder_.toStdString()))
        n.diskShortfall = freeSpaceFloor(space->total) - (space->available - incoming);
    return n;
}

void EventWatcher::retained(const RetentionResult& result)
{
    if (result.removed > 0)
        listedBytes_ = -1;
    for (const std::int64_t id : result.removedEvents)
        emit eventRemoved(id);
    if (result.unfinished)
        retentionRest_.start();
    if (!result.error.empty())
        report(Fault::Retention, QString::fromStdString(result.error));
    else
        cleared(Fault::Retention);
}

void EventWatcher::applyRetention()
{
    if (!log_)
        return;
    // The disk's floor is kept by the writes that would pass it: a disk that others fill
    // does not cost the folder its files.
    RetentionNeeds n = needs(0, 0);
    n.diskShortfall = 0;
    // Removing many files (a full folder) takes long: it goes on in slices between the
    // windows' other work rather than in one wait.
    retained(events::applyRetention(*log_, {settings_.retentionBytes, settings_.retentionAge}, now(), n,
                                    std::chrono::steady_clock::now() + retentionSlice));
}

void EventWatcher::tidy()
{
    // A log too busy to take more tells what it loses through its writer.
    if (log_)
        pruneRemovalRecords(*log_, now());
    applyRetention();
}

bool EventWatcher::makeRoom(std::int64_t bytes)
{
    return makeRoomFor(bytes, 0, true);
}

bool EventWatcher::makeRoomFor(std::int64_t bytes, std::int64_t keptEvent, bool tell)
{
    if (folder_.isEmpty())
        return true;
    // The log records each file written: a page or two more of its journal.
    const RetentionNeeds n = needs(bytes > 0 ? bytes + logRecordRoom : 0, keptEvent);
    bool fits = n.diskShortfall <= 0 &&
                listedBytes() - (log_ ? log_->queuedFileBytes() : 0) + n.unlisted + n.incoming <= settings_.retentionBytes;
    if (!fits && log_) {
        // A write waits for the room it needs: only what it needs goes, in one go.
        const RetentionResult result =
            events::applyRetention(*log_, {settings_.retentionBytes, settings_.retentionAge}, now(), n);
        retained(result);
        fits = result.fits;
    }
    if (!fits && tell) {
        QString floor;
        if (const std::optional<DiskSpace> space = diskSpace_(folder_.toStdString()))
            floor = QStringLiteral(", %1 MB kept free on the disk").arg(freeSpaceFloor(space->total) >> 20);
        writeSkipped(QStringLiteral("The save folder is full: new frames, thumbnails and clips are not written "
                                    "until older ones can go (at most %1 MB%2)")
                         .arg(settings_.retentionBytes >> 20)
                         .arg(floor));
    }
    return fits;
}

void EventWatcher::writeSkipped(const QString& why)
{
    report(Fault::Space, why);
}

void EventWatcher::setDiskSpaceProbe(DiskSpaceProbe probe)
{
    diskSpace_ = probe ? std::move(probe) : DiskSpaceProbe(diskSpaceOf);
}

bool EventWatcher::deleteEvent(std::int64_t id, QString& message)
{
    if (!log_) {
        message = "No event log is open";
        return false;
    }
    if (tracker_.open() && tracker_.current().id == id) {
        message = QStringLiteral("The event in progress can be deleted once it ends");
        return false;
    }
    const std::optional<Event> e = log_->event(id);
    if (!e) {
        message = QStringLiteral("There is no event %1").arg(id);
        return false;
    }
    if (awaitingClip_.contains(e->clip)) {
        message = QStringLiteral("The clip of this event is still being written; it can be deleted in a moment");
        return false;
    }
    std::set<std::string> paths{e->clip, e->thumbnail};
    for (const StoredFile& file : log_->filesOf(id))
        paths.insert(file.path);
    // What cannot be removed now (a file made read-only, a folder of another user) does not
    // keep the event: the user asked for it to go.
    std::vector<std::string> kept;
    QStringList left;
    for (const std::string& path : paths) {
        std::error_code ec;
        if (!path.empty() && !fs::remove(path, ec) && ec) {
            kept.push_back(path);
            left << QString::fromStdString(path + " (" + ec.message() + ")");
        }
    }
    if (!log_->removeEvent(id, now(), "event deleted", kept)) {
        message = QString::fromStdString(log_->lastError());
        return false;
    }
    listedBytes_ = -1;
    message = left.isEmpty() ? QString()
                             : "The event was deleted, but " + left.join(", ") +
                                   " could not be removed; it goes with the old files when it can";
    emit eventRemoved(id);
    return true;
}

void EventWatcher::finish()
{
    if (tracker_.finish().ended)
        ended();
    gapTimer_.stop();
    // The clips are completed on the recorder's thread and report when they are.
    recorder_->closeAll();
}

} // namespace events
