#pragma once

#include <optional>

#include <QString>

namespace watch {

// A broker to publish events to.
struct BrokerAddress {
    QString host;
    int port = 1883;
    friend bool operator==(const BrokerAddress&, const BrokerAddress&) = default;
};

// "HOST", "HOST:PORT", "[IPV6]" or "[IPV6]:PORT"; empty with `error` set when malformed.
std::optional<BrokerAddress> parseBrokerAddress(const QString& text, QString& error);

// Why `broker` is no broker address, as a message; empty when it is one or is empty.
QString brokerProblem(const QString& broker);

// Why `prefix` cannot be the discovery prefix the camera announces itself under to a
// home-automation hub, as a message; empty when it can (empty: not announced).
QString discoveryPrefixProblem(const QString& prefix);

} // namespace watch
