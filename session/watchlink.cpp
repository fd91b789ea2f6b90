#include "watchlink.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace arbelon {

namespace {

// A resolver reads "2130706433", "0x7f000001", "127.1" or "0177.0.0.1" as addresses: such a
// host is taken only in the one form that reads the same everywhere, four decimal parts.
QString numericHostRefusal(const QString &host)
{
    static const QRegularExpression numericLabel(QStringLiteral("^(?:[0-9]+|0[xX][0-9A-Fa-f]*)\\z"));
    static const QRegularExpression dottedQuad(
        QStringLiteral("^(?:(?:25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])\\.){3}"
                       "(?:25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])\\z"));
    const QStringList labels = host.split(u'.');
    for (const QString &label : labels) {
        if (!numericLabel.match(label).hasMatch())
            return {}; // a name
    }
    if (dottedQuad.match(host).hasMatch())
        return {};
    return QStringLiteral("watch link: \"%1\" is no address in the form a.b.c.d").arg(host);
}

} // namespace

bool parseWatchLink(const QString &text, WatchLink *link, QString *error)
{
    // The link comes from a web page: anything but the one shape is refused, not mended.
    // \z, not $: $ would also match before a final line feed. Numbers have no leading zero.
    static const QRegularExpression shape(QStringLiteral(
        "^arbelon://([A-Za-z0-9](?:[A-Za-z0-9.-]{0,251}[A-Za-z0-9])?|\\[[0-9A-Fa-f:.]{2,45}\\])"
        "(?::([1-9][0-9]{0,4}))?/watch/([1-9][0-9]{0,9})/?\\z"));
    const auto m = text.size() <= 300 ? shape.match(text) : QRegularExpressionMatch();
    if (!m.hasMatch()) {
        *error = QStringLiteral("not a watch link (arbelon://HOST[:PORT]/watch/ID)");
        return false;
    }
    QString host = m.captured(1);
    if (host.startsWith(u'[')) {
        host = host.mid(1, host.size() - 2);
        const QHostAddress address(host);
        if (address.protocol() != QAbstractSocket::IPv6Protocol) {
            *error = QStringLiteral("watch link: \"%1\" is no IPv6 address").arg(host);
            return false;
        }
        if (address.toString() != host.toLower()) {
            *error = QStringLiteral("watch link: write the IPv6 address \"%1\" as \"%2\"").arg(host, address.toString());
            return false;
        }
    } else if (const QString refusal = numericHostRefusal(host); !refusal.isEmpty()) {
        *error = refusal;
        return false;
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
