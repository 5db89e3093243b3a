#pragma once

// Plain HTTP/1.1 over a socket to 127.0.0.1, written byte for byte as the test says (no
// client library cleans the path up first), and the answer read to its end.

#include <chrono>
#include <map>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

struct HttpAnswer {
    int status = 0;                             // 0: the server closed the connection without an answer
    std::map<std::string, std::string> headers; // names in lowercase
    std::string body;
};

inline int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline HttpAnswer parseAnswer(const std::string& raw)
{
    HttpAnswer answer;
    const std::size_t end = raw.find("\r\n\r\n");
    if (raw.size() < 12 || !raw.starts_with("HTTP/1.") || end == std::string::npos)
        return answer;
    answer.status = std::stoi(raw.substr(9, 3));
    std::size_t line = raw.find("\r\n") + 2;
    while (line < end) {
        const std::size_t next = raw.find("\r\n", line);
        const std::string header = raw.substr(line, next - line);
        const std::size_t colon = header.find(':');
        std::string name = header.substr(0, colon);
        for (char& c : name)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        answer.headers[name] = header.substr(header.find_first_not_of(' ', colon + 1));
        line = next + 2;
    }
    answer.body = raw.substr(end + 4);
    return answer;
}

// Sends `request` as it is and reads until the server closes, at most `most` bytes or
// for `timeout`.
inline std::string rawExchange(int port, const std::string& request, std::size_t most = 1 << 24,
                               std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    const int fd = connectTo(port);
    if (fd < 0)
        return {};
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += std::size_t(n);
    }
    std::string raw;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    while (raw.size() < most && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        raw.append(buffer, std::size_t(n));
    }
    ::close(fd);
    return raw;
}

// One request, closed after its answer; `headers` end with "\r\n" each.
inline HttpAnswer http(int port, const std::string& method, const std::string& path, const std::string& headers = {},
                       const std::string& body = {})
{
    std::string request = method + " " + path + " HTTP/1.1\r\nConnection: close\r\n" +
                          (headers.find("Host:") == std::string::npos ? "Host: 127.0.0.1\r\n" : "") + headers;
    if (!body.empty() || method == "POST")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return parseAnswer(rawExchange(port, request + "\r\n" + body));
}
