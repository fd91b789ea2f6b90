#pragma once
// The link a relay's web page gives beside each game: arbelon://HOST[:PORT]/watch/ID.
// Opening one connects as a Viewer to HOST (PORT, or the viewer port) and watches game ID.

#include <QString>
#include <QtGlobal>

namespace arbelon {

struct WatchLink {
    QString host;     // a name or an address (IPv6 without its brackets)
    quint16 port = 0; // 0: the viewer port
    quint32 gameId = 0;
};

// Strict: the scheme, a plain host, an optional port 1..65535 and a game id 1..4294967295 in
// digits, nothing else (no user, query or fragment), at most 300 characters. False with the
// reason otherwise.
bool parseWatchLink(const QString &text, WatchLink *link, QString *error);

} // namespace arbelon
