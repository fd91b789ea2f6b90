#include "watchlink.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace arbelon {

bool parseWatchLink(const QString &text, WatchLink *link, QString *error)
{
    // The link comes from a web page: anything but the one shape is refused, not mended.
    static const QRegularExpression shape(QStringLiteral(
        "^arbelon://([A-Za-z0-9](?:[A-Za-z0-9.-]{0,251}[A-Za-z0-9])?|\\[[0-9A-Fa-f:.]{2,45}\\])"
        "(?::([0-9]{1,5}))?/watch/([0-9]{1,10})/?$"));
    const auto m = text.size() <= 300 ? shape.match(text) : QRegularExpressionMatch();
    if (!m.hasMatch()) {
        *error = QStringLiteral("not a watch link (arbelon://HOST[:PORT]/watch/ID)");
        return false;
    }
    QString host = m.captured(1);
    if (host.startsWith(u'[')) {
        host = host.mid(1, host.size() - 2);
        if (QHostAddress(host).protocol() != QAbstractSocket::IPv6Protocol) {
            *error = QStringLiteral("watch link: \"%1\" is no IPv6 address").arg(host);
            return false;
        }
    }
    uint port = 0;
    if (m.hasCaptured(2)) {
        port = m.captured(2).toUInt();
        if (port == 0 || port > 65535) {
            *error = QStringLiteral("watch link: port %1 outside 1..65535").arg(m.captured(2));
            return false;
        }
    }
    const qulonglong id = m.captured(3).toULongLong();
    if (id == 0 || id > 0xffffffffULL) {
        *error = QStringLiteral("watch link: game %1 outside 1..4294967295").arg(m.captured(3));
        return false;
    }
    link->host = host;
    link->port = quint16(port);
    link->gameId = quint32(id);
    return true;
}

} // namespace arbelon
