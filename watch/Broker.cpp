#include "Broker.h"

namespace watch {

std::optional<BrokerAddress> parseBrokerAddress(const QString& text, QString& error)
{
    BrokerAddress address;
    QString rest; // ":PORT" or nothing
    if (text.startsWith('[')) {
        const qsizetype close = text.indexOf(']');
        if (close < 0) {
            error = QStringLiteral("\"%1\" opens a bracket it does not close").arg(text);
            return std::nullopt;
        }
        address.host = text.mid(1, close - 1);
        rest = text.mid(close + 1);
    } else if (text.count(':') > 1) {
        error = QStringLiteral("\"%1\": write an IPv6 address in brackets, as [::1]:1883").arg(text);
        return std::nullopt;
    } else {
        const qsizetype colon = text.indexOf(':');
        address.host = text.left(colon);
        rest = colon < 0 ? QString() : text.mid(colon);
    }
    address.host = address.host.trimmed();
    if (address.host.isEmpty()) {
        error = QStringLiteral("\"%1\" names no host").arg(text);
        return std::nullopt;
    }
    if (!rest.isEmpty()) {
        bool ok = rest.startsWith(':');
        const int port = ok ? rest.mid(1).toInt(&ok) : 0;
        if (!ok || port < 1 || port > 65535) {
            error = QStringLiteral("\"%1\" does not end in a port from 1 to 65535").arg(text);
            return std::nullopt;
        }
        address.port = port;
    }
    return address;
}

QString brokerProblem(const QString& broker)
{
    QString why;
    if (broker.trimmed().isEmpty() || parseBrokerAddress(broker.trimmed(), why))
        return {};
    return QStringLiteral("The MQTT broker %1; write HOST or HOST:PORT, or nothing for none.").arg(why);
}

QString discoveryPrefixProblem(const QString& prefix)
{
    // The hub subscribes below the prefix: wildcards would subscribe to more, and an empty
    // level or a leading or trailing slash gives topics it does not look at.
    if (prefix.contains('+') || prefix.contains('#') || prefix.contains(QChar(0)))
        return QStringLiteral("\"%1\" holds an MQTT wildcard").arg(prefix);
    if (prefix.startsWith('/') || prefix.endsWith('/') || prefix.contains(QStringLiteral("//")))
        return QStringLiteral("\"%1\" has an empty topic level").arg(prefix);
    return {};
}

} // namespace watch
