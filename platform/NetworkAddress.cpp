#include "NetworkAddress.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

namespace platform {

namespace {

constexpr std::array schemes{std::string_view("rtsp"), std::string_view("rtsps"), std::string_view("http"),
                             std::string_view("https")};

std::string lowered(std::string_view text)
{
    std::string s(text);
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = char(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// %XX escapes decoded; a stray '%' stays as it is.
std::string decoded(std::string_view text)
{
    std::string s;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            s += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            s += text[i];
        }
    }
    return s;
}

// A user name as an address writes it: what is not plainly allowed there escaped.
std::string encoded(std::string_view text)
{
    std::string s;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || std::string_view("-._~!$&'()*+,;=").find(c) != std::string_view::npos) {
            s += c;
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", byte);
            s += escape;
        }
    }
    return s;
}

// A value in double quotes, as a source description takes it.
std::string quoted(std::string_view value)
{
    std::string s = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\')
            s += '\\';
        s += c;
    }
    return s + '"';
}

} // namespace

std::string NetworkAddress::hostPort() const
{
    return port > 0 ? host + ':' + std::to_string(port) : host;
}

std::string NetworkAddress::location(bool withUser) const
{
    std::string text = scheme + "://";
    if (withUser && !user.empty())
        text += encoded(user) + '@';
    return text + hostPort() + path;
}

std::string networkName(std::string_view text)
{
    std::string error;
    const std::optional<NetworkAddress> address = parseNetworkAddress(text, error);
    if (!address)
        return {};
    std::string name = address->hostPort() + address->path.substr(0, address->path.find_first_of("?#"));
    while (name.ends_with('/'))
        name.pop_back();
    return name;
}

bool looksLikeNetworkAddress(std::string_view text)
{
    const auto colon = text.find("://");
    return colon != std::string_view::npos &&
           std::find(schemes.begin(), schemes.end(), lowered(text.substr(0, colon))) != schemes.end();
}

std::optional<NetworkAddress> parseNetworkAddress(std::string_view text, std::string& error)
{
    const auto colon = text.find("://");
    if (!looksLikeNetworkAddress(text)) {
        error = "a network camera's address starts with rtsp://, rtsps://, http:// or https://";
        return std::nullopt;
    }
    NetworkAddress address;
    address.scheme = lowered(text.substr(0, colon));
    std::string_view rest = text.substr(colon + 3);
    const auto pathStart = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, pathStart);
    address.path = pathStart == std::string_view::npos ? std::string() : std::string(rest.substr(pathStart));
    if (authority.find_first_of(" \t\r\n\"") != std::string_view::npos ||
        address.path.find_first_of(" \t\r\n\"") != std::string::npos) {
        error = "a network camera's address holds no spaces or quotes (write them as %20 and %22)";
        return std::nullopt;
    }
    // The last '@' ends the user and password, which may hold an '@' of their own.
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        const std::string_view userInfo = authority.substr(0, at);
        const auto separator = userInfo.find(':');
        address.user = decoded(userInfo.substr(0, separator));
        if (separator != std::string_view::npos)
            address.password = decoded(userInfo.substr(separator + 1));
        authority = authority.substr(at + 1);
    }
    std::string_view port;
    if (authority.starts_with('[')) {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) {
            error = "the address's IPv6 host lacks its closing ']'";
            return std::nullopt;
        }
        address.host = std::string(authority.substr(0, close + 1));
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty() && !after.starts_with(':')) {
            error = "the address's host is followed by something that is no port";
            return std::nullopt;
        }
        port = after.empty() ? after : after.substr(1);
    } else {
        const auto separator = authority.find(':');
        address.host = std::string(authority.substr(0, separator));
        port = separator == std::string_view::npos ? std::string_view() : authority.substr(separator + 1);
    }
    if (address.host.empty() || address.host == "[]") {
        error = "the address names no host";
        return std::nullopt;
    }
    if (!port.empty()) {
        int value = 0;
        for (const char c : port) {
            if (c < '0' || c > '9' || value > 65535) {
                value = -1;
                break;
            }
            value = value * 10 + (c - '0');
        }
        if (value < 1 || value > 65535) {
            error = "the address's port is not a number from 1 to 65535";
            return std::nullopt;
        }
        address.port = value;
    }
    return address;
}

std::optional<RtspTransport> parseRtspTransport(std::string_view text)
{
    const std::string value = lowered(text);
    if (value == "tcp")
        return RtspTransport::Tcp;
    if (value == "udp")
        return RtspTransport::Udp;
    return std::nullopt;
}

const char* transportName(RtspTransport transport)
{
    return transport == RtspTransport::Udp ? "udp" : "tcp";
}

std::string networkSourceDescription(const NetworkAddress& address, RtspTransport transport)
{
    // The user goes in a property of its own: RTSP's source takes no address with a user
    // but without a password.
    const std::string location = "location=" + quoted(address.location(false)) +
                                 (address.user.empty() ? std::string() : " user-id=" + quoted(address.user));
    const auto micro = [](auto duration) {
        return std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(duration).count());
    };
    if (address.isRtsp()) {
        // rtsps:// chooses TLS over TCP itself; a transport given would take TLS away.
        const std::string protocols =
            address.scheme == "rtsps" ? std::string() : std::string(" protocols=") + transportName(transport);
        // Only the video stream: a camera's audio would otherwise race it to the output.
        return "rtspsrc " + location + protocols + " latency=" + std::to_string(networkLatency.count()) +
               " tcp-timeout=" + micro(networkTimeout) + " timeout=" + micro(networkTimeout) +
               " ! application/x-rtp,media=video ! parsebin";
    }
    // Each picture is stamped as it arrives, as a camera's own clock is not sent along.
    return "souphttpsrc " + location + " is-live=true do-timestamp=true timeout=" +
           std::to_string(std::chrono::seconds(networkTimeout).count()) + " ! multipartdemux ! image/jpeg";
}

std::string descriptionProperty(std::string_view description, std::string_view key)
{
    const std::string_view first = description.substr(0, description.find('!'));
    const std::string pattern = " " + std::string(key) + "=";
    const std::size_t at = first.find(pattern);
    if (at == std::string_view::npos)
        return {};
    std::string_view value = first.substr(at + pattern.size());
    if (!value.starts_with('"'))
        return std::string(value.substr(0, value.find_first_of(" \t")));
    std::string text;
    for (std::size_t i = 1; i < value.size() && value[i] != '"'; ++i) {
        if (value[i] == '\\' && i + 1 < value.size())
            ++i;
        text += value[i];
    }
    return text;
}

std::string descriptionLocation(std::string_view description)
{
    const std::string location = descriptionProperty(description, "location");
    return location.empty() ? descriptionProperty(description, "uri") : location;
}

} // namespace platform
