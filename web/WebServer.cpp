#include "WebServer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <QDir>
#include <QFile>
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "CameraSlot.h"
#include "Password.h"
#include "Request.h"

namespace web {

namespace {

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

} // namespace

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
        {MHD_OPTION_NOTIFY_CONNECTION,
         reinterpret_cast<intptr_t>(+[](void* cls, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code) {
             const MHD_ConnectionInfo* info =
                 MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
             if (info)
                 static_cast<WebServer*>(cls)->count(info->client_addr, code == MHD_CONNECTION_NOTIFY_STARTED ? 1 : -1);
         }),
         server.get()},
        {MHD_OPTION_NOTIFY_COMPLETED,
         reinterpret_cast<intptr_t>(+[](void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
             delete static_cast<Request*>(*state);
             *state = nullptr;
         }),
         nullptr},
    };
    if (server->secure()) {
        // TLS 1.2 or later: the earlier versions' ciphers are broken.
        options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>("NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2")});
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
    auto policy = +[](void* cls, const sockaddr* address, socklen_t) -> MHD_Result {
        return static_cast<WebServer*>(cls)->admits(address) ? MHD_YES : MHD_NO;
    };
    MHD_Daemon* daemon = MHD_start_daemon(flags, 0, policy, server.get(), handler, server.get(), MHD_OPTION_ARRAY,
                                          options.data(), MHD_OPTION_END);
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

bool WebServer::admits(const sockaddr* address)
{
    const std::string text = addressText(address);
    if (text.empty() || isLoopback(text))
        return true;
    const std::lock_guard lock(connectionsMutex_);
    const auto found = connections_.find(LoginThrottle::keyOf(text));
    return found == connections_.end() || found->second < mostPerAddress;
}

// Counted as the server starts and ends each connection, which it pairs; a connection the
// policy refused is never started.
void WebServer::count(const sockaddr* address, int change)
{
    const std::string text = addressText(address);
    if (text.empty() || isLoopback(text))
        return;
    const std::lock_guard lock(connectionsMutex_);
    int& n = connections_[LoginThrottle::keyOf(text)];
    n += change;
    if (n <= 0)
        connections_.erase(LoginThrottle::keyOf(text));
}

} // namespace web
