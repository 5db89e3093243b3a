#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include <QObject>
#include <QString>

#include "Bitmap.h"

class QSocketNotifier;

namespace platform {

// Plays one clip file into pictures for a window to show, without any widget: play,
// pause and seek, the position of the picture shown and the clip's length. GStreamer
// decodes on its own threads and hands the newest picture over; its bus wakes the GUI
// thread through the bus's descriptor, so the GUI thread never waits on the clip, and
// a pipeline that is done with goes to NULL on a thread of its own. Lives on the GUI
// thread.
class ClipPlayback : public QObject {
    Q_OBJECT
public:
    using Duration = std::chrono::milliseconds;

    explicit ClipPlayback(QObject* parent = nullptr);
    ~ClipPlayback() override;

    // Opens `path` paused at its start; its first picture and its length come once it is
    // decoded (pictureChanged, lengthKnown). False, with `error`, when no pipeline can be
    // built; a file that cannot be played is told through `failed`.
    bool open(const std::string& path, std::string& error);
    // Ends the clip: no picture, nothing open.
    void close();
    bool isOpen() const;
    const std::string& path() const { return path_; }

    void play();
    void pause();
    bool playing() const { return playing_; }
    // Shows the picture at `position` (within the clip), playing on from there if it played.
    void seek(Duration position);

    // The picture shown and where in the clip it lies (null before the first).
    std::shared_ptr<const analysis::Bitmap> picture() const;
    Duration position() const;
    // The clip's length; none until it is known.
    std::optional<Duration> length() const { return length_; }

signals:
    void pictureChanged();
    void lengthKnown();
    // Playing started or stopped (paused, or the clip ended).
    void playingChanged(bool playing);
    void failed(const QString& text);

private:
    struct Feed;
    void readBus();
    void dispose();

    std::string path_;
    std::shared_ptr<Feed> feed_;
    std::unique_ptr<QSocketNotifier> busNotifier_;
    std::optional<Duration> length_;
    std::optional<Duration> pendingSeek_; // asked for before the clip was ready to seek
    bool ready_ = false;                  // prerolled: seeks and queries work
    bool playing_ = false;
    bool ended_ = false;
};

} // namespace platform
