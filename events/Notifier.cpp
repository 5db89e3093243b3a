#include "Notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDateTime>
#include <QFileInfo>
#include <QUrl>
#include <QVariantMap>

namespace events {

Notifier::Notifier(QObject* parent) : QObject(parent) {}

bool Notifier::eventStarted(const Event& event)
{
    const auto nowTime = std::chrono::steady_clock::now();
    if (!enabled_ || (last_ && nowTime - *last_ < cooldown_))
        return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        emit failed("Desktop notification: no session bus (" + bus.lastError().message() + ")");
        return false;
    }
    last_ = nowTime;

    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                                       "org.freedesktop.Notifications", "Notify");
    const QString time = QDateTime::fromMSecsSinceEpoch(toMilliseconds(event.start)).toString("HH:mm:ss");
    QVariantMap hints;
    hints["category"] = QStringLiteral("device");
    hints["desktop-entry"] = QStringLiteral("video");
    // The service reads the picture itself, by its location.
    if (!event.thumbnail.empty())
        hints["image-path"] = QUrl::fromLocalFile(QFileInfo(QString::fromStdString(event.thumbnail)).absoluteFilePath())
                                  .toString();
    const QString summary = camera_.isEmpty() ? QStringLiteral("Movement") : QStringLiteral("Movement: ") + camera_;
    call << QStringLiteral("Video") << 0u << QStringLiteral("camera-web") << summary
         << QStringLiteral("Movement at %1: %2 pixels changed (%3 %)")
                .arg(time)
                .arg(event.peakCount)
                .arg(event.peakPercent, 0, 'f', 1)
         << QStringList() << hints << -1;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isError())
            emit failed("Desktop notification failed: " + reply.error().message());
        w->deleteLater();
    });
    return true;
}

} // namespace events
