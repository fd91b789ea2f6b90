#pragma once
// What the relay's web page shows, as text: the HTML pages (complete without JavaScript;
// the script only refreshes their lists), their JSON, the style sheet and the script.
// Every text a client chose (game, mod, user names, chat) is escaped here and nowhere else.

#include "relayarchive.h"
#include "relayfacts.h"
#include "relayobserver.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <map>
#include <memory>

namespace arbelon::web {

struct ChatLine {
    QDateTime timeUtc;
    QByteArray user;
    QByteArray text;
};

// What a page needs beyond the game views.
struct PageContext {
    QDateTime nowUtc;
    QString watchBase; // "arbelon://host:port/watch/", or empty when no link can be given
    bool archiveOn = false;
    std::map<quint32, std::shared_ptr<const LiveFacts>> facts; // what is on, by game
    const LiveFacts *factsOf(quint32 gameId) const
    {
        const auto it = facts.find(gameId);
        return it == facts.end() ? nullptr : it->second.get();
    }
};

// & < > " ' as entities: safe in element text and in quoted attribute values.
QString htmlEscape(const QString &text);
// A client's bytes for display: Latin-1, control characters as \xNN.
QString peerText(const QByteArray &bytes);
QString gameKind(qint32 gameType);
QString byteSize(qint64 bytes);
QString duration(qint64 seconds);

QJsonObject gameJson(const RelayGameView &game, const PageContext &ctx);
QJsonArray gamesJson(const QList<RelayGameView> &games, const PageContext &ctx);
QJsonObject gameDetailJson(const RelayGameView &game, const QList<ChatLine> &chat,
                           const QList<ArchivedDemo> &demos, const PageContext &ctx);
QJsonObject demoJson(const ArchivedDemo &demo);

QByteArray gamesPage(const QList<RelayGameView> &games, const PageContext &ctx);
QByteArray gamePage(const RelayGameView &game, const QList<ChatLine> &chat, const QList<ArchivedDemo> &demos,
                    const PageContext &ctx);
// Where a page of the archive stands among the others.
struct ArchivePaging {
    ArchiveQuery query;    // what the page was searched for
    QString older;         // the next page's address, empty on the last
    bool notFirst = false; // a page past the newest
    bool scanning = false; // the folder is still being checked
};
QByteArray archivePage(const QList<ArchivedDemo> &demos, const ArchivePaging &paging, const PageContext &ctx);
// One archived demo: what was on, its scoreboard and events (facts: the sidecar's "facts").
QByteArray archivedDemoPage(const ArchivedDemo &demo, const QJsonObject &facts, const PageContext &ctx);
QByteArray errorPage(int status, const QString &message);

QByteArray styleSheet();
QByteArray script();

} // namespace arbelon::web
