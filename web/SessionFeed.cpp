#include "SessionFeed.h"

#include <utility>

#include "CameraSlot.h"
#include "EventLog.h"
#include "EventWatcher.h"
#include "MqttPublisher.h"
#include "Session.h"

namespace web {

namespace {

const char* stateName(platform::LiveSource::State state)
{
    switch (state) {
    case platform::LiveSource::State::Running:
        return "live";
    case platform::LiveSource::State::Connecting:
    case platform::LiveSource::State::Reconnecting:
        return "connecting";
    case platform::LiveSource::State::Stopped:
        return "failed";
    case platform::LiveSource::State::Closed:
        break;
    }
    return "stopped";
}

} // namespace

SessionFeed::SessionFeed(watch::Session& session, std::shared_ptr<CameraSlot> slot, std::function<bool()> automatic,
                         std::string name, QObject* parent)
    : QObject(parent), session_(session), slot_(std::move(slot)), automatic_(std::move(automatic)),
      name_(std::move(name))
{
    platform::LiveSource& source = session_.source();
    connect(&source, &platform::LiveSource::stateChanged, this, &SessionFeed::publish);
    connect(&source, &platform::LiveSource::statusChanged, this, [this](int, const QString& text) {
        status_ = text.toStdString();
        publish();
    });
    connect(&source, &platform::LiveSource::frameArrived, this, [this] {
        const analysis::Frame frame = session_.source().newest();
        slot_->setFrame(frame);
        if (!frame.empty() && (frame.pixels->width() != width_ || frame.pixels->height() != height_))
            publish();
    });
    connect(&session_, &watch::Session::saveFolderChanged, this, &SessionFeed::publish);
    connect(&session_.events(), &events::EventWatcher::opened, this, &SessionFeed::publish);
    // Neither the Auto button nor the detection's settings say when they change; a look
    // once a second keeps the page within a second of them.
    connect(&refresh_, &QTimer::timeout, this, &SessionFeed::publish);
    refresh_.start(1000);

    // The request waits on the server's thread; the deletion runs here, on the session's.
    slot_->setDeleter([this](std::int64_t id, std::promise<Deletion> answer) {
        auto promise = std::make_shared<std::promise<Deletion>>(std::move(answer));
        QMetaObject::invokeMethod(
            this,
            [this, id, promise] {
                events::EventWatcher& watcher = session_.events();
                if (!watcher.log() || !watcher.log()->event(id)) {
                    promise->set_value({Deletion::Result::Unknown, "no such event"});
                    return;
                }
                QString message;
                const bool deleted = watcher.deleteEvent(id, message);
                promise->set_value(
                    {deleted ? Deletion::Result::Deleted : Deletion::Result::Failed, message.toStdString()});
            },
            Qt::QueuedConnection);
    });
    status_ = source.statusText().toStdString();
    publish();
}

SessionFeed::~SessionFeed()
{
    slot_->detach();
}

void SessionFeed::publish()
{
    CameraState s;
    s.name = name_.empty() ? session_.source().name() : name_;
    s.id = events::MqttPublisher::topicLevel(s.name);
    s.state = stateName(session_.source().state());
    s.status = status_;
    s.autoEvaluation = automatic_ && automatic_();
    s.detection = session_.evaluation().detection().settings().anyOn();
    const analysis::Frame frame = session_.source().newest();
    if (!frame.empty()) {
        width_ = frame.pixels->width();
        height_ = frame.pixels->height();
    }
    s.width = width_;
    s.height = height_;
    events::EventWatcher& watcher = session_.events();
    if (!watcher.folder().isEmpty()) {
        s.saveFolder = watcher.folder().toStdString();
        if (watcher.log())
            s.logPath = watcher.log()->path();
    }
    slot_->setState(std::move(s));
}

} // namespace web
