#include "EventReport.h"

#include <chrono>
#include <cmath>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "Cycle.h"
#include "Event.h"

namespace watch {

namespace {

QJsonArray files(const events::Event& event)
{
    QJsonArray list;
    for (const std::string& path : {event.clip, event.thumbnail})
        if (!path.empty())
            list.append(QString::fromStdString(path));
    return list;
}

// Event and cycle lines say the share of changed pixels alike: in percent with two
// decimals, which tells a small movement in a large frame from none.
double percent(double value)
{
    return std::round(value * 100) / 100;
}

QByteArray line(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

QByteArray eventStartJson(const events::Event& event, const SavedFrames& savedFrames)
{
    return line({
        {"event", "start"},
        {"id", qint64(event.id)},
        {"time", QString::fromStdString(events::localText(event.start))},
        {"utc", QString::fromStdString(events::utcText(event.start))},
        {"changed", qint64(event.peakCount)},
        {"percent", percent(event.peakPercent)},
        {"files", files(event)},
        {"savedFrames", savedFrames.count},
        {"savedFramesFolder", QString::fromStdString(savedFrames.folder)},
    });
}

QByteArray eventEndJson(const events::Event& event, const SavedFrames& savedFrames)
{
    return line({
        {"event", "end"},
        {"id", qint64(event.id)},
        {"time", QString::fromStdString(events::localText(event.end))},
        {"utc", QString::fromStdString(events::utcText(event.end))},
        {"start", QString::fromStdString(events::localText(event.start))},
        {"durationMs", qint64(events::toMilliseconds(event.end) - events::toMilliseconds(event.start))},
        {"peak", qint64(event.peakCount)},
        {"peakPercent", percent(event.peakPercent)},
        {"movingCycles", event.movingCycles},
        {"interrupted", event.interrupted},
        {"files", files(event)},
        {"savedFrames", savedFrames.count},
        {"savedFramesFolder", QString::fromStdString(savedFrames.folder)},
        {"clipLost", QString::fromStdString(event.clipLost)},
    });
}

const char* verdictOf(const watch::Cycle& cycle)
{
    if (cycle.newStream)
        return "reference";
    if (cycle.compared != 0)
        return "refused";
    if (cycle.confirmed)
        return "movement";
    return cycle.moving ? "rejected" : "still";
}

QByteArray cycleJson(const watch::Cycle& cycle)
{
    const auto time = std::chrono::time_point_cast<std::chrono::milliseconds>(cycle.time);
    const double pixels = cycle.frame ? double(cycle.frame->width()) * cycle.frame->height() : 0;
    QJsonObject object{
        {"time", QString::fromStdString(events::localText(time))},
        {"bright", cycle.result.BrightCount},
        {"dark", cycle.result.DarkCount},
        {"brightCounted", cycle.brightCounted},
        {"darkCounted", cycle.darkCounted},
        {"changed", qint64(cycle.changed)},
        {"percent", pixels > 0 ? percent(double(cycle.changed) * 100 / pixels) : 0.0},
        {"verdict", verdictOf(cycle)},
        {"reason", QString::fromStdString(cycle.reason)},
    };
    if (!cycle.savedFile.empty())
        object.insert("saved", QString::fromStdString(cycle.savedFile));
    if (!cycle.saveError.empty())
        object.insert("saveError", QString::fromStdString(cycle.saveError + ": " + cycle.saveErrorReason));
    if (!cycle.saveSkipped.empty())
        object.insert("saveSkipped", QString::fromStdString(cycle.saveSkipped));
    return line(object);
}

} // namespace watch
