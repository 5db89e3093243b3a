#pragma once

#include <optional>
#include <string>

#include <sys/socket.h>

namespace web {

// Where the server listens: a numeric IPv4 or IPv6 address and a port.
struct ListenAddress {
    std::string address = "127.0.0.1";
    int port = 0; // 0: any free port
};

// Reads "[ADDRESS:]PORT": "8080", "0.0.0.0:8080", "[::1]:8080" (IPv6 in brackets). None,
// with `error` in words, when it is malformed. The port is 1 to 65535 (0 only with
// `anyPort`, for tests).
std::optional<ListenAddress> parseListen(const std::string& text, std::string& error, bool anyPort = false);

// Whether only this machine can reach the address (127.0.0.0/8, ::1).
bool isLoopback(const std::string& address);

// A client's address in numbers ("192.0.2.7", "2001:db8::7"); empty for other families.
std::string addressText(const sockaddr* address);

} // namespace web
