#pragma once
// What the relay tells the parts that watch it (the web page, the archive, a cluster
// link) and the view of a game it gives them. Called on the thread that owns the games.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QtGlobal>

#include <memory>

namespace arbelon {

struct RelayGameView {
    quint32 id = 0;
    QByteArray name;
    qint32 gameType = 0;
    QByteArray mod;
    QByteArray filmer;        // empty once the Filmer has gone (the delayed tail drains)
    quint32 users = 0;        // the Filmer and every Viewer, named or not
    QList<QByteArray> listed; // the Viewers named in the lobby, in the order they were named
    QDateTime startedUtc;
    qint64 demoBytes = 0; // demo records taken from the Filmer so far, all demos
    bool remote = false;  // another cluster node's game
};

class RelayObserver {
public:
    virtual ~RelayObserver() = default;
    virtual void gameOpened(const RelayGameView &game) { Q_UNUSED(game); }
    virtual void gameClosed(quint32 gameId) { Q_UNUSED(gameId); }
    // Someone entered or left the lobby (the view has the new lists).
    virtual void lobbyChanged(quint32 gameId) { Q_UNUSED(gameId); }
    // A chat line as every member of the lobby receives it.
    virtual void chatLine(quint32 gameId, const QByteArray &userName, const QByteArray &text)
    {
        Q_UNUSED(gameId);
        Q_UNUSED(userName);
        Q_UNUSED(text);
    }
    // A DEMORESTART or DEMOPACKET record accepted from the Filmer, whole, as it arrived
    // (before any broadcast delay).
    virtual void demoRecord(quint32 gameId, const QByteArray &record)
    {
        Q_UNUSED(gameId);
        Q_UNUSED(record);
    }
    // The same record as it goes out to the game's Viewers, after the broadcast delay. It is
    // shared and never changes, so another thread may read it.
    virtual void demoSent(quint32 gameId, const std::shared_ptr<const QByteArray> &record)
    {
        Q_UNUSED(gameId);
        Q_UNUSED(record);
    }
};

} // namespace arbelon
