#include "EventReport.h"

#include <chrono>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "Cycle.h"
#include "Event.h"

namespace watch {

namespace {

QJsonArray files(const events::Event& event, const std::vector<std::string>& savedFrames)
{
    QJsonArray list;
    for (const std::string& path : {event.clip, event.thumbnail})
        if (!path.empty())
            list.append(QString::fromStdString(path));
    for (const std::string& path : savedFrames)
        list.append(QString::fromStdString(path));
    return list;
}

QByteArray line(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

QByteArray eventStartJson(const events::Event& event, const std::vector<std::string>& savedFrames)
{
    return line({
        {"event", "start"},
        {"id", qint64(event.id)},
        {"time", QString::fromStdString(events::localText(event.start))},
        {"utc", QString::fromStdString(events::utcText(event.start))},
        {"changed", qint64(event.peakCount)},
        {"percent", event.peakPercent},
        {"files", files(event, savedFrames)},
    });
}

QByteArray eventEndJson(const events::Event& event, const std::vector<std::string>& savedFrames)
{
    return line({
        {"event", "end"},
        {"id", qint64(event.id)},
        {"time", QString::fromStdString(events::localText(event.end))},
        {"utc", QString::fromStdString(events::utcText(event.end))},
        {"start", QString::fromStdString(events::localText(event.start))},
        {"durationMs", qint64(events::toMilliseconds(event.end) - events::toMilliseconds(event.start))},
        {"peak", qint64(event.peakCount)},
        {"peakPercent", event.peakPercent},
        {"movingCycles", event.movingCycles},
        {"interrupted", event.interrupted},
        {"files", files(event, savedFrames)},
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
    QJsonObject object{
        {"time", QString::fromStdString(events::localText(time))},
        {"bright", cycle.result.BrightCount},
        {"dark", cycle.result.DarkCount},
        {"brightCounted", cycle.brightCounted},
        {"darkCounted", cycle.darkCounted},
        {"changed", qint64(cycle.changed)},
        {"percent", qint64(cycle.percent)},
        {"verdict", verdictOf(cycle)},
        {"reason", QString::fromStdString(cycle.reason)},
    };
    if (!cycle.savedFile.empty())
        object.insert("saved", QString::fromStdString(cycle.savedFile));
    if (!cycle.saveError.empty())
        object.insert("saveError", QString::fromStdString(cycle.saveError + ": " + cycle.saveErrorReason));
    return line(object);
}

} // namespace watch
