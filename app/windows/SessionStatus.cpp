#include "SessionStatus.h"

#include "LiveSource.h"

namespace app {

QString sessionStatusText(const SessionStatus& status, const platform::LiveSource& source)
{
    using State = platform::LiveSource::State;
    const QString autoPart = status.autoOn ? QStringLiteral("; Auto every %1 ms").arg(status.periodMs)
                                           : QStringLiteral("; Auto off");
    // Without video, Auto runs only on pictures another program puts on the desktop's clipboard.
    if (!status.videoStarted)
        return status.autoOn ? QStringLiteral("No video; Auto every %1 ms on the clipboard's pictures").arg(status.periodMs)
                             : QStringLiteral("No video");
    switch (source.state()) {
    case State::Closed:
        // Start Video found no source, or the source's first connection failed.
        return source.failure().empty() ? QStringLiteral("No camera") : source.statusText();
    case State::Connecting: return source.statusText() + autoPart;
    case State::Running: return QStringLiteral("Live window: %1").arg(QString::fromStdString(source.name())) + autoPart;
    case State::Reconnecting: return source.statusText() + autoPart;
    case State::Stopped: return source.statusText();
    }
    return {};
}

} // namespace app
