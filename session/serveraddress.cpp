#include "serveraddress.h"

namespace arbelon {

namespace {
std::optional<quint16> parsePort(QStringView text)
{
    bool ok = false;
    const uint port = text.toUInt(&ok, 10);
    if (!ok || port == 0 || port > 65535 || text.startsWith(QLatin1Char('+')))
        return std::nullopt;
    return quint16(port);
}
} // namespace

std::optional<ServerAddress> ServerAddress::parse(const QString &input)
{
    const QString text = input.trimmed();
    if (text.isEmpty())
        return std::nullopt;
    ServerAddress a;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        if (close < 2)
            return std::nullopt;
        a.host = text.mid(1, close - 1);
        const QStringView rest = QStringView(text).mid(close + 1);
        if (rest.isEmpty())
            return a;
        if (!rest.startsWith(QLatin1Char(':')))
            return std::nullopt;
        const std::optional<quint16> port = parsePort(rest.mid(1));
        if (!port)
            return std::nullopt;
        a.port = *port;
        return a;
    }
    // Two colons or more without brackets: an IPv6 address, which has no room for a port.
    if (text.count(QLatin1Char(':')) != 1) {
        a.host = text;
        return a;
    }
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    const std::optional<quint16> port = parsePort(QStringView(text).mid(colon + 1));
    if (colon == 0 || !port)
        return std::nullopt;
    a.host = text.left(colon);
    a.port = *port;
    return a;
}

} // namespace arbelon
