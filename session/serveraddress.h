#pragma once
// The address box's text: a host name or an IP address, with an optional port after it.

#include <QString>

#include <optional>

namespace arbelon {

struct ServerAddress {
    QString host;
    quint16 port = 0; // 0: none given, the role's own port applies

    // "host", "host:PORT", "1.2.3.4:PORT", "::1", "[::1]" and "[::1]:PORT"; none for an empty
    // text, a port that is not 1-65535 or brackets that do not close.
    static std::optional<ServerAddress> parse(const QString &text);
};

} // namespace arbelon
