#include "Listen.h"

#include <charconv>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace web {

std::optional<ListenAddress> parseListen(const std::string& text, std::string& error, bool anyPort)
{
    ListenAddress result;
    std::string port = text;
    if (text.starts_with('[')) {
        const std::size_t close = text.find("]:");
        if (close == std::string::npos) {
            error = "\"" + text + "\" is not [IPv6 ADDRESS]:PORT";
            return std::nullopt;
        }
        result.address = text.substr(1, close - 1);
        port = text.substr(close + 2);
        in6_addr a6{};
        if (inet_pton(AF_INET6, result.address.c_str(), &a6) != 1) {
            error = "\"" + result.address + "\" is not an IPv6 address";
            return std::nullopt;
        }
    } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        result.address = text.substr(0, colon);
        port = text.substr(colon + 1);
        in_addr a4{};
        if (inet_pton(AF_INET, result.address.c_str(), &a4) != 1) {
            error = "\"" + result.address + "\" is not an IPv4 address (an IPv6 address goes in brackets: [::1]:8080)";
            return std::nullopt;
        }
    }
    int value = -1;
    const auto [end, problem] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || problem != std::errc() || end != port.data() + port.size() || value < (anyPort ? 0 : 1) ||
        value > 65535) {
        error = "\"" + port + "\" is not a port from 1 to 65535";
        return std::nullopt;
    }
    result.port = value;
    return result;
}

bool isLoopback(const std::string& address)
{
    in_addr a4{};
    if (inet_pton(AF_INET, address.c_str(), &a4) == 1)
        return (ntohl(a4.s_addr) >> 24) == 127;
    in6_addr a6{};
    return inet_pton(AF_INET6, address.c_str(), &a6) == 1 && IN6_IS_ADDR_LOOPBACK(&a6);
}

std::string addressText(const sockaddr* address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address && address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    else if (address && address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return text;
}

} // namespace web
