#pragma once

#include <cstdint>
#include <vector>

#include <QImage>
#include <QWidget>

#include "Event.h"

class QLabel;
class QSlider;
class QToolButton;

namespace platform {
class ClipPlayback;
}

namespace app {

class PictureView;

// Plays the clip of one event inside the window, with play/pause and a bar to seek
// along it; while no clip plays, shows the event's thumbnail with the path its movement
// took. The path is drawn over the playing clip too.
class EventPlayer : public QWidget {
    Q_OBJECT
public:
    explicit EventPlayer(QWidget* parent = nullptr);
    ~EventPlayer() override;

    // Shows `event` (null: none). The same event again (one in progress that moved on)
    // only updates what is drawn; its clip plays on.
    void setEvent(const events::Event* event);
    // Plays the event's clip from where it stands; false with the reason shown when it has
    // none to play.
    bool play();
    void pause();

    platform::ClipPlayback& playback() { return *playback_; }
    PictureView* picture() const { return picture_; }
    QSlider* scrubBar() const { return scrubBar_; }

private:
    // Opens the clip paused; false with the reason shown when it cannot.
    bool openClip();
    void showStill();
    void showFrame();
    void showTime();
    void setNote(const QString& text);

    platform::ClipPlayback* playback_;
    PictureView* picture_;
    QToolButton* playButton_;
    QSlider* scrubBar_;
    QLabel* time_;
    QLabel* note_;
    std::int64_t eventId_ = 0;
    std::string clip_;
    std::string thumbnail_;
    QImage still_; // the thumbnail as read
    bool ended_ = false;
    std::vector<events::PathPoint> path_;
    QImage overlay_; // the path over the clip's frames, made once per path and frame size
    bool hasEvent_ = false;
};

} // namespace app
