#include "WebServer.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <chrono>
#include <cctype>
#include <cstring>
#include <thread>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "CameraSlot.h"
#include "EventJson.h"
#include "EventLog.h"
#include "Files.h"
#include "Password.h"

namespace web {

namespace {

using namespace std::chrono_literals;

const char* const sessionCookie = "video_session";
constexpr auto deleteTimeout = 10s;
constexpr auto framePause = 100ms; // at most ten pictures a second to a viewer
constexpr auto keepAlive = 10s;    // a still camera's picture is sent again, so a gone viewer is noticed

std::string contentType(const std::string& file)
{
    static const std::map<std::string, std::string> types = {
        {".html", "text/html; charset=utf-8"}, {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"}, {".svg", "image/svg+xml"},
        {".json", "application/json"}, {".png", "image/png"}, {".ico", "image/x-icon"}};
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
// any port. Empty (no header; browsers always send one) counts as this machine.
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

// A listening socket of our own, so that a port in use is told as such; libmicrohttpd
// closes it when it stops.
int listenOn(const ListenAddress& listen, int& port, std::string& error)
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, listen.address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(std::uint16_t(listen.port));
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, listen.address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(std::uint16_t(listen.port));
        length = sizeof *v6;
    } else {
        error = "\"" + listen.address + "\" is not a numeric IP address";
        return -1;
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("cannot make a socket: ") + std::strerror(errno);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (storage.ss_family == AF_INET6)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    const std::string where = (storage.ss_family == AF_INET6 ? "[" + listen.address + "]" : listen.address) + ":" +
                              std::to_string(listen.port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
        error = errno == EADDRINUSE ? "the port of " + where + " is in use by another program"
                                    : "cannot listen on " + where + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (::listen(fd, 64) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        error = "cannot listen on " + where + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    port = ntohs(storage.ss_family == AF_INET6 ? v6->sin6_port : v4->sin_port);
    return fd;
}

std::map<std::string, std::string> loadPages()
{
    std::map<std::string, std::string> pages;
    const QDir folder(QStringLiteral(":/pages"));
    for (const QString& name : folder.entryList(QDir::Files)) {
        QFile file(folder.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            pages[name.toStdString()] = file.readAll().toStdString();
    }
    return pages;
}

MHD_Response* jsonResponse(const QJsonObject& object)
{
    const QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Compact);
    MHD_Response* response = MHD_create_response_from_buffer(std::size_t(text.size()),
                                                              const_cast<char*>(text.constData()), MHD_RESPMEM_MUST_COPY);
    if (response)
        MHD_add_response_header(response, "Content-Type", "application/json");
    return response;
}

// A live stream's state between the calls of its reader.
struct LiveStream {
    std::shared_ptr<CameraSlot> camera;
    const std::atomic<bool>* stopping = nullptr;
    std::string pending;
    std::size_t sent = 0;
    std::string last; // the last picture sent, for the keep-alive
    std::uint64_t number = 0;
    std::chrono::steady_clock::time_point lastSent{};

    static std::string part(const std::string& jpeg)
    {
        return "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) + "\r\n\r\n" +
               jpeg + "\r\n";
    }

    // Runs on the connection's own thread, so waiting here for the next frame holds up
    // nobody else.
    ssize_t read(char* buffer, std::size_t most)
    {
        while (sent == pending.size()) {
            if (stopping->load())
                return MHD_CONTENT_READER_END_OF_STREAM;
            const auto due = lastSent + framePause;
            if (std::chrono::steady_clock::now() < due)
                std::this_thread::sleep_until(due);
            std::uint64_t newer = 0;
            std::string jpeg = camera->jpegAfter(number, 1s, newer);
            if (jpeg.empty()) {
                if (camera->state().state == "stopped")
                    return MHD_CONTENT_READER_END_OF_STREAM;
                if (last.empty() || std::chrono::steady_clock::now() - lastSent < keepAlive)
                    continue;
                jpeg = last;
            } else {
                number = newer;
            }
            pending = part(jpeg);
            sent = 0;
            last = std::move(jpeg);
            lastSent = std::chrono::steady_clock::now();
        }
        const std::size_t n = std::min(most, pending.size() - sent);
        std::memcpy(buffer, pending.data() + sent, n);
        sent += n;
        return ssize_t(n);
    }
};

} // namespace

// One request: its connection, what it asks and the body it sent.
class Request {
public:
    Request(WebServer& server, MHD_Connection* connection) : server_(server), connection_(connection) {}

    std::string body;
    bool bodyTooLarge = false;

    MHD_Result answer(const std::string& method, const std::string& url);

private:
    std::string header(const char* name, MHD_ValueKind kind = MHD_HEADER_KIND) const
    {
        const char* value = MHD_lookup_connection_value(connection_, kind, name);
        return value ? value : "";
    }
    std::string clientAddress() const;
    // The CSRF token of this request's session; none when it is not signed in.
    std::optional<std::string> csrf();
    bool authenticated() { return server_.config_.passwordHash.empty() || csrf().has_value(); }
    bool csrfHolds();

    MHD_Result send(unsigned status, MHD_Response* response, bool api);
    MHD_Result bytes(unsigned status, const std::string& type, const std::string& data, bool api = true);
    MHD_Result json(unsigned status, const QJsonObject& object);
    MHD_Result error(unsigned status, const std::string& message);
    MHD_Result redirect(const std::string& where);
    MHD_Result page(const std::string& file);
    MHD_Result file(const std::string& root, const std::string& path, const std::string& type);

    MHD_Result api(const std::string& method, const std::vector<std::string>& parts);
    MHD_Result session();
    MHD_Result login();
    MHD_Result cameraList();
    MHD_Result snapshot(const std::shared_ptr<CameraSlot>& camera);
    MHD_Result live(const std::shared_ptr<CameraSlot>& camera);
    MHD_Result eventList();
    MHD_Result event(const std::string& method, const std::vector<std::string>& parts);

    WebServer& server_;
    MHD_Connection* connection_;
};

std::string Request::clientAddress() const
{
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection_, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr)
        return {};
    char text[INET6_ADDRSTRLEN] = {};
    const sockaddr* address = info->client_addr;
    if (address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    else if (address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return text;
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
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
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
        MHD_add_response_header(response, "Content-Range",
                                ("bytes " + std::to_string(first) + "-" + std::to_string(range.range.last) + "/" +
                                 std::to_string(size))
                                    .c_str());
    return send(part ? 206 : 200, response, true);
}

MHD_Result Request::answer(const std::string& method, const std::string& url)
{
    if (bodyTooLarge)
        return error(413, "the request's body is larger than 16 KiB");
    const bool get = method == "GET" || method == "HEAD";
    // Without a password the page answers only to this machine's own names, so that a web
    // site cannot point a name of its own at 127.0.0.1 and read the page through the
    // visitor's browser.
    if (server_.config_.passwordHash.empty() && !localHost(header("Host")))
        return error(403, "without a password the page answers only to localhost and 127.0.0.1");
    // libmicrohttpd decoded the address once; whatever still holds a backslash, a NUL or
    // a dot segment is no route of ours.
    if (url.empty() || url[0] != '/' || url.find('\\') != std::string::npos || url.find('\0') != std::string::npos)
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
        if (parts[3] == "live.mjpeg")
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
    const std::string address = clientAddress();
    if (const std::chrono::seconds wait = server_.throttle_.wait(address); wait.count() > 0) {
        MHD_Response* response = jsonResponse(QJsonObject{{"error", "too many wrong passwords; try again later"}});
        if (response)
            MHD_add_response_header(response, "Retry-After", std::to_string(wait.count()).c_str());
        return send(429, response, true);
    }
    if (server_.config_.passwordHash.empty())
        return error(400, "no password is set: there is nothing to sign in to");
    if (!header("Content-Type").starts_with("application/json"))
        return error(415, "the body must be JSON");
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(body));
    const QJsonValue password = document.object().value("password");
    if (!password.isString())
        return error(400, "the body must be {\"password\": \"...\"}");
    if (!passwordMatches(password.toString().toStdString(), server_.config_.passwordHash)) {
        server_.throttle_.failed(address);
        return error(401, "wrong password");
    }
    server_.throttle_.succeeded(address);
    std::string csrf;
    const std::string id = server_.logins_.open(csrf);
    MHD_Response* response = jsonResponse(QJsonObject{{"csrf", QString::fromStdString(csrf)}});
    if (response) {
        const std::string cookie = std::string(sessionCookie) + "=" + id + "; HttpOnly; SameSite=Strict; Path=/" +
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
    auto* stream = new LiveStream;
    stream->camera = camera;
    stream->stopping = &server_.stopping_;
    MHD_Response* response = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, 64 * 1024,
        [](void* cls, std::uint64_t, char* buffer, std::size_t most) {
            return static_cast<LiveStream*>(cls)->read(buffer, most);
        },
        stream, [](void* cls) { delete static_cast<LiveStream*>(cls); });
    if (!response) {
        delete stream;
        return MHD_NO;
    }
    MHD_add_response_header(response, "Content-Type", "multipart/x-mixed-replace; boundary=frame");
    return send(200, response, true);
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

    std::vector<std::pair<std::string, events::Event>> found;
    std::int64_t total = 0;
    for (const std::shared_ptr<CameraSlot>& camera : server_.cameras()) {
        const CameraState s = camera->state();
        if ((!cameraId.empty() && s.id != cameraId) || s.logPath.empty())
            continue;
        std::string why;
        const std::unique_ptr<events::EventLog> log = events::EventLog::openToRead(s.logPath, why);
        if (!log)
            continue;
        total += log->eventCount(*range);
        // The newest offset + limit of every camera hold the page of them all.
        for (events::Event& e : log->events(0, *offset + *limit, *range))
            found.emplace_back(s.id, std::move(e));
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.second.start > b.second.start; });
    QJsonArray list;
    for (std::size_t i = std::size_t(*offset); i < found.size() && list.size() < *limit; ++i)
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

void WebServer::Stopper::operator()(MHD_Daemon* daemon) const
{
    MHD_stop_daemon(daemon);
}

WebServer::WebServer(ServerConfig config) : config_(std::move(config)), runToken_(randomToken()), pages_(loadPages())
{
}

std::unique_ptr<WebServer> WebServer::start(const ServerConfig& config, std::string& error)
{
    if (!isLoopback(config.listen.address) && config.passwordHash.empty()) {
        error = "the web page on " + config.listen.address +
                " would be open to other machines without a password: set one (--http-password-hash) or "
                "listen on 127.0.0.1";
        return nullptr;
    }
    if (!config.passwordHash.empty() && !looksLikeHash(config.passwordHash)) {
        error = "the password hash is not one --http-password-hash makes";
        return nullptr;
    }
    if (config.certificatePem.empty() != config.keyPem.empty()) {
        error = "HTTPS needs both a certificate and its key";
        return nullptr;
    }
    std::unique_ptr<WebServer> server(new WebServer(config));
    const int fd = listenOn(config.listen, server->port_, error);
    if (fd < 0)
        return nullptr;

    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL;
    if (server->secure())
        flags |= MHD_USE_TLS;
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_LISTEN_SOCKET, fd, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, mostConnections, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, idleSeconds, nullptr},
        // The request's line and headers must fit in this; more is refused.
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, 32 * 1024, nullptr},
        {MHD_OPTION_THREAD_STACK_SIZE, 512 * 1024, nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED,
         reinterpret_cast<intptr_t>(+[](void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
             delete static_cast<Request*>(*state);
             *state = nullptr;
         }),
         nullptr},
    };
    if (server->secure()) {
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(server->config_.certificatePem.c_str())});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(server->config_.keyPem.c_str())});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});

    auto handler = +[](void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                       const char* upload, std::size_t* uploadSize, void** state) -> MHD_Result {
        auto* self = static_cast<WebServer*>(cls);
        if (!*state) {
            auto* request = new Request(*self, connection);
            *state = request;
            // A body announced too large is refused before it is read.
            const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
            if (length && std::strtoull(length, nullptr, 10) > mostBodyBytes) {
                request->bodyTooLarge = true;
                return request->answer(method, url);
            }
            return MHD_YES;
        }
        auto* request = static_cast<Request*>(*state);
        if (*uploadSize > 0) {
            // A body past the limit is read and dropped: its memory stays bounded.
            if (request->body.size() + *uploadSize > mostBodyBytes)
                request->bodyTooLarge = true;
            else
                request->body.append(upload, *uploadSize);
            *uploadSize = 0;
            return MHD_YES;
        }
        return request->answer(method, url);
    };
    MHD_Daemon* daemon =
        MHD_start_daemon(flags, 0, nullptr, nullptr, handler, server.get(), MHD_OPTION_ARRAY, options.data(),
                         MHD_OPTION_END);
    if (!daemon) {
        ::close(fd);
        error = server->secure() ? "cannot start the web server: the certificate or key is not usable (PEM)"
                                 : "cannot start the web server";
        return nullptr;
    }
    server->daemon_.reset(daemon);
    return server;
}

WebServer::~WebServer()
{
    stopping_ = true;
    for (const std::shared_ptr<CameraSlot>& camera : cameras())
        camera->wake();
    daemon_.reset();
}

std::shared_ptr<CameraSlot> WebServer::addCamera()
{
    auto camera = std::make_shared<CameraSlot>();
    const std::lock_guard lock(camerasMutex_);
    cameras_.push_back(camera);
    return camera;
}

std::vector<std::shared_ptr<CameraSlot>> WebServer::cameras() const
{
    const std::lock_guard lock(camerasMutex_);
    return cameras_;
}

std::shared_ptr<CameraSlot> WebServer::camera(const std::string& id) const
{
    for (const std::shared_ptr<CameraSlot>& camera : cameras())
        if (camera->state().id == id)
            return camera;
    return nullptr;
}

} // namespace web
