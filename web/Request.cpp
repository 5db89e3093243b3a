#include "Request.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <map>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include "CameraSlot.h"
#include "EventJson.h"
#include "EventLog.h"
#include "Files.h"
#include "LiveStream.h"
#include "Password.h"
#include "WebServer.h"

namespace web {

namespace {

using namespace std::chrono_literals;

const char* const sessionCookie = "video_session";
constexpr auto deleteTimeout = 10s;

std::string contentType(const std::string& file)
{
    static const std::map<std::string, std::string> types = {{".html", "text/html; charset=utf-8"},
                                                             {".css", "text/css; charset=utf-8"},
                                                             {".js", "text/javascript; charset=utf-8"},
                                                             {".svg", "image/svg+xml"},
                                                             {".json", "application/json"},
                                                             {".png", "image/png"},
                                                             {".ico", "image/x-icon"}};
    const std::size_t dot = file.rfind('.');
    const auto found = dot == std::string::npos ? types.end() : types.find(file.substr(dot));
    return found == types.end() ? "application/octet-stream" : found->second;
}

std::vector<std::string> segments(const std::string& path)
{
    std::vector<std::string> parts;
    std::size_t start = 1;
    while (start <= path.size()) {
        const std::size_t slash = path.find('/', start);
        parts.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return parts;
}

// Whether a Host header names this machine itself: localhost or a loopback address, with
// any port. An empty one counts as this machine.
bool localHost(const std::string& host)
{
    std::string name = host;
    if (name.starts_with('[')) {
        name = name.substr(1, name.find(']') - 1);
    } else if (const std::size_t colon = name.find(':'); colon != std::string::npos) {
        name.resize(colon);
    }
    for (char& c : name)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return name.empty() || name == "localhost" || isLoopback(name);
}

std::optional<std::int64_t> eventId(const std::string& text)
{
    std::int64_t id = 0;
    const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (text.empty() || problem != std::errc() || end != text.data() + text.size() || id <= 0)
        return std::nullopt;
    return id;
}

MHD_Response* jsonResponse(const QJsonObject& object)
{
    const QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Compact);
    MHD_Response* response = MHD_create_response_from_buffer(
        std::size_t(text.size()), const_cast<char*>(text.constData()), MHD_RESPMEM_MUST_COPY);
    if (response)
        MHD_add_response_header(response, "Content-Type", "application/json");
    return response;
}

} // namespace

std::string Request::clientAddress() const
{
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection_, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return info ? addressText(info->client_addr) : std::string();
}

std::optional<std::string> Request::csrf()
{
    if (server_.config_.passwordHash.empty())
        return server_.runToken_;
    const std::string id = header(sessionCookie, MHD_COOKIE_KIND);
    if (id.empty())
        return std::nullopt;
    return server_.logins_.csrfOf(id);
}

bool Request::authenticated()
{
    return server_.config_.passwordHash.empty() || csrf().has_value();
}

bool Request::csrfHolds()
{
    const std::optional<std::string> token = csrf();
    const std::string given = header("X-CSRF-Token");
    return token && !given.empty() && sameText(given, *token);
}

MHD_Result Request::send(unsigned status, MHD_Response* response, bool api)
{
    if (!response)
        return MHD_NO;
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "Content-Security-Policy",
                            "default-src 'self'; img-src 'self' data:; media-src 'self'; object-src 'none'; "
                            "frame-ancestors 'none'");
    MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
    if (api)
        MHD_add_response_header(response, "Cache-Control", "no-store");
    const MHD_Result queued = MHD_queue_response(connection_, status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result Request::bytes(unsigned status, const std::string& type, const std::string& data, bool api)
{
    MHD_Response* response =
        MHD_create_response_from_buffer(data.size(), const_cast<char*>(data.data()), MHD_RESPMEM_MUST_COPY);
    if (response && !type.empty())
        MHD_add_response_header(response, "Content-Type", type.c_str());
    return send(status, response, api);
}

MHD_Result Request::json(unsigned status, const QJsonObject& object)
{
    return send(status, jsonResponse(object), true);
}

MHD_Result Request::error(unsigned status, const std::string& message)
{
    return json(status, QJsonObject{{"error", QString::fromStdString(message)}});
}

MHD_Result Request::redirect(const std::string& where)
{
    MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    if (response)
        MHD_add_response_header(response, "Location", where.c_str());
    return send(303, response, false);
}

MHD_Result Request::page(const std::string& file)
{
    const auto found = server_.pages_.find(file);
    if (found == server_.pages_.end())
        return bytes(404, "text/plain; charset=utf-8", "Not found\n", false);
    return bytes(200, contentType(file), found->second, false);
}

MHD_Result Request::file(const std::string& root, const std::string& path, const std::string& type)
{
    const std::optional<std::string> real = fileInside(root, path);
    if (!real)
        return error(404, "the file is not there");
    const int fd = ::open(real->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat status = {};
    // A second hard link is none of the program's: a file linked into the folder from
    // outside it would be served as the event's own.
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) {
        if (fd >= 0)
            ::close(fd);
        return error(404, "the file is not there");
    }
    const auto size = std::uint64_t(status.st_size);
    const RangeRequest range = parseRange(header("Range"), size);
    if (range.kind == RangeRequest::Kind::Unsatisfiable) {
        ::close(fd);
        MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
        if (response)
            MHD_add_response_header(response, "Content-Range", ("bytes */" + std::to_string(size)).c_str());
        return send(416, response, true);
    }
    const bool part = range.kind == RangeRequest::Kind::Part;
    const std::uint64_t first = part ? range.range.first : 0;
    const std::uint64_t length = part ? range.range.last - first + 1 : size;
    // The response owns the descriptor from here on.
    MHD_Response* response = MHD_create_response_from_fd_at_offset64(length, fd, first);
    if (!response) {
        ::close(fd);
        return MHD_NO;
    }
    MHD_add_response_header(response, "Content-Type", type.c_str());
    MHD_add_response_header(response, "Accept-Ranges", "bytes");
    if (part)
        MHD_add_response_header(
            response, "Content-Range",
            ("bytes " + std::to_string(first) + "-" + std::to_string(range.range.last) + "/" + std::to_string(size))
                .c_str());
    return send(part ? 206 : 200, response, true);
}

MHD_Result Request::answer(const std::string& method, const std::string& url)
{
    if (bodyTooLarge)
        return error(413, "the request's body is larger than 16 KiB");
    const bool get = method == "GET" || method == "HEAD";
    // One Host, as HTTP/1.1 asks: a proxy in front and this server must not read two
    // different ones.
    int hosts = 0;
    MHD_get_connection_values(
        connection_, MHD_HEADER_KIND,
        [](void* count, MHD_ValueKind, const char* key, const char*) {
            *static_cast<int*>(count) += strcasecmp(key, "Host") == 0;
            return MHD_YES;
        },
        &hosts);
    if (hosts != 1)
        return error(400, "a request names its host once");
    // Without a password the page answers only to this machine's own names, so that a web
    // site cannot point a name of its own at 127.0.0.1 and read the page through the
    // visitor's browser.
    if (server_.config_.passwordHash.empty() && !localHost(header("Host")))
        return error(403, "without a password the page answers only to localhost and 127.0.0.1");
    // libmicrohttpd decoded the address once; whatever still holds a backslash or a dot
    // segment is no route of ours.
    if (url.empty() || url[0] != '/' || url.find('\\') != std::string::npos)
        return bytes(404, "text/plain; charset=utf-8", "Not found\n", false);
    const std::vector<std::string> parts = segments(url);
    for (const std::string& part : parts)
        if (part == "." || part == "..")
            return bytes(404, "text/plain; charset=utf-8", "Not found\n", false);
    if (!parts.empty() && parts[0] == "api")
        return api(method, parts);
    if (get && parts.size() == 2 && parts[0] == "static") {
        const std::string& name = parts[1];
        // Only the files compiled in, by their plain names; never a page by this route.
        if (name.empty() || name[0] == '.' || name.ends_with(".html"))
            return bytes(404, "text/plain; charset=utf-8", "Not found\n", false);
        return page(name);
    }
    static const std::map<std::string, std::string> pages = {
        {"/", "index.html"}, {"/events", "events.html"}, {"/login", "login.html"}};
    const auto found = pages.find(url);
    if (!get || found == pages.end())
        return bytes(404, "text/plain; charset=utf-8", "Not found\n", false);
    if (url != "/login" && !authenticated())
        return redirect("/login");
    return page(found->second);
}

MHD_Result Request::api(const std::string& method, const std::vector<std::string>& parts)
{
    const bool get = method == "GET" || method == "HEAD";
    const std::size_t n = parts.size();
    if (n == 2 && parts[1] == "session" && get)
        return session();
    if (n == 2 && parts[1] == "login" && method == "POST")
        return login();
    if (!authenticated())
        return error(401, "sign in first");
    if (n == 2 && parts[1] == "logout" && method == "POST") {
        if (!csrfHolds())
            return error(403, "the request lacks the session's CSRF token");
        server_.logins_.close(header(sessionCookie, MHD_COOKIE_KIND));
        MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
        if (response)
            MHD_add_response_header(response, "Set-Cookie",
                                    "video_session=; HttpOnly; SameSite=Strict; Path=/; Max-Age=0");
        return send(204, response, true);
    }
    if (n == 2 && parts[1] == "cameras" && get)
        return cameraList();
    if (n == 4 && parts[1] == "cameras" && get) {
        const std::shared_ptr<CameraSlot> camera = server_.camera(parts[2]);
        if (!camera)
            return error(404, "no such camera");
        if (parts[3] == "snapshot.jpg")
            return snapshot(camera);
        // A stream has no length to tell a HEAD request.
        if (parts[3] == "live.mjpeg" && method == "GET")
            return live(camera);
    }
    if (n == 2 && parts[1] == "events" && get)
        return eventList();
    if (n >= 4 && parts[1] == "events")
        return event(method, parts);
    return error(404, "no such route");
}

MHD_Result Request::session()
{
    const bool required = !server_.config_.passwordHash.empty();
    const std::optional<std::string> token = csrf();
    return json(200, QJsonObject{{"authenticated", token.has_value()},
                                 {"passwordRequired", required},
                                 {"csrf", QString::fromStdString(token.value_or(""))}});
}

MHD_Result Request::login()
{
    if (server_.config_.passwordHash.empty())
        return error(400, "no password is set: there is nothing to sign in to");
    if (!header("Content-Type").starts_with("application/json"))
        return error(415, "the body must be JSON");
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(body));
    const QJsonValue password = document.object().value("password");
    if (!password.isString())
        return error(400, "the body must be {\"password\": \"...\"}");
    const std::string address = clientAddress();
    if (const std::chrono::seconds wait = server_.throttle_.begin(address); wait.count() > 0) {
        MHD_Response* response = jsonResponse(QJsonObject{{"error", "too many tries; try again later"}});
        if (response)
            MHD_add_response_header(response, "Retry-After", std::to_string(wait.count()).c_str());
        return send(429, response, true);
    }
    const bool matched = passwordMatches(password.toString().toStdString(), server_.config_.passwordHash);
    server_.throttle_.end(address, matched);
    if (!matched)
        return error(401, "wrong password");
    std::string csrf;
    const std::string id = server_.logins_.open(csrf);
    MHD_Response* response = jsonResponse(QJsonObject{{"csrf", QString::fromStdString(csrf)}});
    if (response) {
        // Kept as long as the session lives, across the browser's restarts.
        const std::string cookie = std::string(sessionCookie) + "=" + id + "; HttpOnly; SameSite=Strict; Path=/; Max-Age=" +
                                   std::to_string(std::chrono::seconds(Logins::lifetime).count()) +
                                   (server_.secure() ? "; Secure" : "");
        MHD_add_response_header(response, "Set-Cookie", cookie.c_str());
    }
    return send(200, response, true);
}

MHD_Result Request::cameraList()
{
    QJsonArray list;
    for (const std::shared_ptr<CameraSlot>& camera : server_.cameras()) {
        const CameraState s = camera->state();
        list.append(QJsonObject{{"id", QString::fromStdString(s.id)},
                                {"name", QString::fromStdString(s.name)},
                                {"state", QString::fromStdString(s.state)},
                                {"status", QString::fromStdString(s.status)},
                                {"auto", s.autoEvaluation},
                                {"detection", s.detection},
                                {"width", s.width},
                                {"height", s.height}});
    }
    return json(200, QJsonObject{{"cameras", list}});
}

MHD_Result Request::snapshot(const std::shared_ptr<CameraSlot>& camera)
{
    std::uint64_t number = 0;
    const std::string jpeg = camera->jpegAfter(0, 0ms, number);
    if (jpeg.empty())
        return error(503, "the camera has no picture yet");
    return bytes(200, "image/jpeg", jpeg);
}

MHD_Result Request::live(const std::shared_ptr<CameraSlot>& camera)
{
    return send(200, liveResponse(camera, server_.stopping_), true);
}

MHD_Result Request::eventList()
{
    const std::string cameraId = header("camera", MHD_GET_ARGUMENT_KIND);
    const std::optional<events::TimeRange> range =
        dayRange(header("from", MHD_GET_ARGUMENT_KIND), header("to", MHD_GET_ARGUMENT_KIND));
    if (!range)
        return error(400, "from and to are dates: YYYY-MM-DD");
    const auto number = [&](const char* name, std::int64_t fallback, std::int64_t most) -> std::optional<std::int64_t> {
        const std::string text = header(name, MHD_GET_ARGUMENT_KIND);
        if (text.empty())
            return fallback;
        std::int64_t value = -1;
        const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (problem != std::errc() || end != text.data() + text.size() || value < 0 || value > most)
            return std::nullopt;
        return value;
    };
    const std::optional<std::int64_t> offset = number("offset", 0, 1'000'000'000);
    const std::optional<std::int64_t> limit = number("limit", 50, 200);
    if (!offset || !limit)
        return error(400, "offset is a whole number from 0, limit one from 0 to 200");

    std::vector<std::pair<std::string, std::unique_ptr<events::EventLog>>> logs;
    for (const std::shared_ptr<CameraSlot>& camera : server_.cameras()) {
        const CameraState s = camera->state();
        if ((!cameraId.empty() && s.id != cameraId) || s.logPath.empty())
            continue;
        std::string why;
        if (std::unique_ptr<events::EventLog> log = events::EventLog::openToRead(s.logPath, why))
            logs.emplace_back(s.id, std::move(log));
    }
    // One log gives its page itself; of several, the newest offset + limit of each hold
    // the page of them all.
    const bool one = logs.size() == 1;
    std::vector<std::pair<std::string, events::Event>> found;
    std::int64_t total = 0;
    for (const auto& [id, log] : logs) {
        total += log->eventCount(*range);
        for (events::Event& e : log->events(one ? *offset : 0, one ? *limit : *offset + *limit, *range))
            found.emplace_back(id, std::move(e));
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.second.start > b.second.start; });
    QJsonArray list;
    for (std::size_t i = one ? 0 : std::size_t(*offset); i < found.size() && list.size() < *limit; ++i)
        list.append(eventJson(found[i].first, found[i].second));
    return json(200, QJsonObject{{"total", qint64(total)}, {"offset", qint64(*offset)}, {"events", list}});
}

MHD_Result Request::event(const std::string& method, const std::vector<std::string>& parts)
{
    const bool get = method == "GET" || method == "HEAD";
    const std::shared_ptr<CameraSlot> camera = server_.camera(parts[2]);
    const std::optional<std::int64_t> id = eventId(parts[3]);
    if (!camera || !id || parts.size() > 5)
        return error(404, "no such event");
    if (parts.size() == 4 && method == "DELETE") {
        if (!csrfHolds())
            return error(403, "the request lacks the session's CSRF token");
        const Deletion done = camera->deleteEvent(*id, deleteTimeout);
        switch (done.result) {
        case Deletion::Result::Deleted:
            return send(204, MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT), true);
        case Deletion::Result::Unknown:
            return error(404, "no such event");
        case Deletion::Result::Failed:
            break;
        }
        return error(409, done.message);
    }
    if (!get)
        return error(404, "no such route");
    const CameraState s = camera->state();
    std::string why;
    const std::unique_ptr<events::EventLog> log =
        s.logPath.empty() ? nullptr : events::EventLog::openToRead(s.logPath, why);
    const std::optional<events::Event> e = log ? log->event(*id) : std::nullopt;
    if (!e)
        return error(404, "no such event");
    if (parts.size() == 4)
        return json(200, eventJson(s.id, *e));
    if (parts[4] == "thumbnail.jpg" && !e->thumbnail.empty())
        return file(s.saveFolder, e->thumbnail, "image/jpeg");
    if (parts[4] == "clip" && !clipType(e->clip).empty())
        return file(s.saveFolder, e->clip, clipType(e->clip));
    return error(404, "no such file");
}

} // namespace web
