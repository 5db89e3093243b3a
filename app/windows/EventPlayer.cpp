#include "EventPlayer.h"

#include <filesystem>

#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QSlider>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "ClipPlayback.h"
#include "ClipboardFrame.h"
#include "MovementPath.h"
#include "PictureView.h"

namespace app {

namespace {

// Wide enough for the path to be followed at a glance, small enough to fit beside the list.
constexpr int stillWidth = 480;

QString clockText(std::chrono::milliseconds time)
{
    const auto tenths = time.count() / 100;
    return QStringLiteral("%1:%2.%3")
        .arg(tenths / 600)
        .arg(tenths / 10 % 60, 2, 10, QLatin1Char('0'))
        .arg(tenths % 10);
}

} // namespace

EventPlayer::EventPlayer(QWidget* parent)
    : QWidget(parent), playback_(new platform::ClipPlayback(this)), picture_(new PictureView),
      playButton_(new QToolButton), scrubBar_(new QSlider(Qt::Horizontal)), time_(new QLabel), note_(new QLabel)
{
    setObjectName("EventPlayer");
    picture_->setObjectName("PlayerPicture");
    picture_->setMinimumSize(320, 240);
    picture_->setAccessibleName("Clip");
    playButton_->setObjectName("PlayButton");
    playButton_->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    playButton_->setAccessibleName("Play");
    playButton_->setToolTip("Play the clip");
    scrubBar_->setObjectName("ScrubBar");
    scrubBar_->setAccessibleName("Position in the clip");
    scrubBar_->setEnabled(false);
    time_->setObjectName("PlayerTime");
    note_->setObjectName("PlayerNote");
    note_->setWordWrap(true);

    auto* controls = new QHBoxLayout;
    controls->addWidget(playButton_);
    controls->addWidget(scrubBar_, 1);
    controls->addWidget(time_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(picture_, 1);
    layout->addLayout(controls);
    layout->addWidget(note_);

    connect(playButton_, &QToolButton::clicked, this, [this] {
        if (playback_->playing())
            pause();
        else
            play();
    });
    connect(scrubBar_, &QSlider::valueChanged, this, [this](int value) {
        if (!playback_->isOpen() && !openClip())
            return;
        playback_->seek(std::chrono::milliseconds(value));
    });
    connect(playback_, &platform::ClipPlayback::pictureChanged, this, &EventPlayer::showFrame);
    connect(playback_, &platform::ClipPlayback::lengthKnown, this, [this] {
        const QSignalBlocker quiet(scrubBar_);
        scrubBar_->setRange(0, int(playback_->length()->count()));
        scrubBar_->setPageStep(std::max(1, scrubBar_->maximum() / 10));
        scrubBar_->setEnabled(true);
        showTime();
    });
    connect(playback_, &platform::ClipPlayback::playingChanged, this, [this](bool playing) {
        playButton_->setIcon(style()->standardIcon(playing ? QStyle::SP_MediaPause : QStyle::SP_MediaPlay));
        playButton_->setAccessibleName(playing ? "Pause" : "Play");
    });
    connect(playback_, &platform::ClipPlayback::failed, this, [this](const QString& text) {
        setNote("The clip cannot be played: " + text);
    });
    setEvent(nullptr);
}

EventPlayer::~EventPlayer() = default;

void EventPlayer::setEvent(const events::Event* event)
{
    const bool same = event && hasEvent_ && event->id == eventId_ && event->clip == clip_;
    // The thumbnail is read once, and again when the event ends: it is written anew then.
    const bool readThumbnail = !same || event->ended != ended_ || event->thumbnail != thumbnail_;
    hasEvent_ = event != nullptr;
    eventId_ = event ? event->id : 0;
    ended_ = event && event->ended;
    path_ = event ? event->path : std::vector<events::PathPoint>{};
    overlay_ = QImage();
    thumbnail_ = event ? event->thumbnail : std::string();
    if (readThumbnail)
        still_ = thumbnail_.empty() ? QImage() : QImage(QString::fromStdString(thumbnail_));
    if (same) {
        // Drawn anew: the path grew. A clip that plays plays on.
        if (playback_->isOpen())
            showFrame();
        else
            showStill();
        return;
    }
    playback_->close();
    clip_ = event ? event->clip : std::string();
    {
        const QSignalBlocker quiet(scrubBar_);
        scrubBar_->setRange(0, 0);
        scrubBar_->setEnabled(false);
    }
    std::error_code ec;
    const bool clipThere = !clip_.empty() && std::filesystem::exists(clip_, ec);
    playButton_->setEnabled(clipThere);
    setNote(!event         ? QStringLiteral("Choose an event to see the path of its movement and play its clip.")
            : clip_.empty() ? QStringLiteral("This event has no clip.")
            : clipThere     ? QString()
            : event->ended  ? QStringLiteral("The clip is not there.")
                            : QStringLiteral("The clip can be played once it is written."));
    time_->clear();
    showStill();
}

bool EventPlayer::openClip()
{
    std::error_code ec;
    if (clip_.empty() || !std::filesystem::exists(clip_, ec)) {
        setNote(clip_.empty() ? QStringLiteral("This event has no clip.") : QStringLiteral("The clip is not there."));
        return false;
    }
    std::string error;
    if (!playback_->open(clip_, error)) {
        setNote(QString::fromStdString(error));
        return false;
    }
    return true;
}

bool EventPlayer::play()
{
    if (!playback_->isOpen() && !openClip())
        return false;
    setNote({});
    playback_->play();
    return true;
}

void EventPlayer::pause()
{
    playback_->pause();
}

void EventPlayer::showStill()
{
    overlay_ = QImage();
    picture_->setOverlay({});
    picture_->setPicture(
        hasEvent_ ? pathPicture(still_, path_, stillWidth) : QImage());
}

void EventPlayer::showFrame()
{
    const std::shared_ptr<const analysis::Bitmap> frame = playback_->picture();
    if (!frame)
        return;
    const QImage image = platform::sharedImage(frame);
    // The path is drawn at the frame's aspect, at a size that keeps its line smooth when
    // the frame is shown smaller.
    const QSize overlaySize(stillWidth, std::max(1, stillWidth * image.height() / std::max(1, image.width())));
    if (overlay_.size() != overlaySize) {
        overlay_ = pathOverlay(path_, overlaySize);
        picture_->setOverlay(overlay_);
    }
    picture_->setPicture(image);
    if (!scrubBar_->isSliderDown()) {
        const QSignalBlocker quiet(scrubBar_);
        scrubBar_->setValue(int(playback_->position().count()));
    }
    showTime();
}

void EventPlayer::showTime()
{
    const std::optional<std::chrono::milliseconds> length = playback_->length();
    time_->setText(clockText(playback_->position()) + (length ? " / " + clockText(*length) : QString()));
}

void EventPlayer::setNote(const QString& text)
{
    note_->setText(text);
    note_->setVisible(!text.isEmpty());
}

} // namespace app
