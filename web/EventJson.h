#pragma once

#include <optional>
#include <string>

#include <QJsonObject>

#include "Event.h"
#include "EventLog.h"

namespace web {

// "2026-12-10T07:15:03+01:00": local time with its offset from UTC, always as digits.
std::string isoTime(events::TimePoint time);

// An event as the web page's API gives it; its thumbnail and clip as addresses of the API.
QJsonObject eventJson(const std::string& camera, const events::Event& event);

// The events started on the local days `from` to `to`, both "YYYY-MM-DD" and both
// included; an empty one leaves that side open. None when either is malformed.
std::optional<events::TimeRange> dayRange(const std::string& from, const std::string& to);

} // namespace web
