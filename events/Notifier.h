#pragma once

#include <chrono>
#include <optional>

#include <QObject>
#include <QString>

#include "Event.h"

namespace events {

// A note on the desktop when an event starts, through the desktop's notification
// service on the session bus: the camera's name in its summary, the event's thumbnail as
// its picture. Off unless enabled; after a note, further starts stay
// silent for the cooldown so a busy scene does not flood the desktop. Never waits for
// the service.
class Notifier : public QObject {
    Q_OBJECT
public:
    explicit Notifier(QObject* parent = nullptr);

    void setEnabled(bool enabled) { enabled_ = enabled; }
    void setCooldown(std::chrono::milliseconds cooldown) { cooldown_ = cooldown; }
    // The camera the events come from, as the windows name it (empty: none named).
    void setCamera(const QString& name) { camera_ = name; }

    // Sends a note unless off or within the cooldown; true when one was sent.
    bool eventStarted(const Event& event);

signals:
    // The service could not be reached or refused the note.
    void failed(const QString& reason);

private:
    bool enabled_ = false;
    QString camera_;
    std::chrono::milliseconds cooldown_{60'000};
    std::optional<std::chrono::steady_clock::time_point> last_;
};

} // namespace events
