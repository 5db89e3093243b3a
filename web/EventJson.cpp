#include "EventJson.h"

#include <chrono>
#include <cstdlib>

#include <QDate>
#include <QDateTime>
#include <QJsonValue>
#include <QString>

#include "Files.h"

namespace web {

std::string isoTime(events::TimePoint time)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(events::toMilliseconds(time));
    const int offset = local.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return QStringLiteral("%1%2%3:%4")
        .arg(local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")))
        .arg(offset < 0 ? '-' : '+')
        .arg(minutes / 60, 2, 10, QLatin1Char('0'))
        .arg(minutes % 60, 2, 10, QLatin1Char('0'))
        .toStdString();
}

QJsonObject eventJson(const std::string& camera, const events::Event& e)
{
    const QString base = QStringLiteral("/api/events/%1/%2").arg(QString::fromStdString(camera)).arg(e.id);
    QJsonObject o;
    o["camera"] = QString::fromStdString(camera);
    o["id"] = qint64(e.id);
    o["start"] = QString::fromStdString(isoTime(e.start));
    const bool hasEnd = e.ended || (e.interrupted && e.end > e.start);
    o["end"] = hasEnd ? QJsonValue(QString::fromStdString(isoTime(e.end))) : QJsonValue();
    o["duration"] = hasEnd ? QJsonValue(std::chrono::duration<double>(e.end - e.start).count()) : QJsonValue();
    o["peakPixels"] = qint64(e.peakCount);
    o["peakPercent"] = e.peakPercent;
    o["thumbnail"] = e.thumbnail.empty() ? QJsonValue() : QJsonValue(base + "/thumbnail.jpg");
    // An open event's clip is still being written.
    const std::string type = hasEnd ? clipType(e.clip) : std::string();
    o["clip"] = type.empty() ? QJsonValue() : QJsonValue(base + "/clip");
    o["clipType"] = type.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(type));
    return o;
}

std::optional<events::TimeRange> dayRange(const std::string& from, const std::string& to)
{
    events::TimeRange range;
    const auto day = [](const std::string& text) {
        return text.size() == 10 ? QDate::fromString(QString::fromStdString(text), Qt::ISODate) : QDate();
    };
    if (!from.empty()) {
        const QDate d = day(from);
        if (!d.isValid())
            return std::nullopt;
        range.from = events::fromMilliseconds(d.startOfDay().toMSecsSinceEpoch());
    }
    if (!to.empty()) {
        const QDate d = day(to);
        if (!d.isValid())
            return std::nullopt;
        range.to = events::fromMilliseconds(d.addDays(1).startOfDay().toMSecsSinceEpoch());
    }
    return range;
}

} // namespace web
