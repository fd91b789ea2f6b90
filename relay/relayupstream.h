#pragma once
// What the relay asks of the link that brings it the games of other relay nodes. Called on
// the thread that owns the games.

#include <QByteArray>
#include <QtGlobal>

namespace arbelon {

class RelayUpstream {
public:
    virtual ~RelayUpstream() = default;
    // A Viewer here entered another node's game: its demo records are wanted from the
    // current demo's start (each call after the first is a no-op for the link).
    virtual void watchGame(quint32 gameId) = 0;
    // A Viewer here said a line in another node's game, which orders its chat: the line
    // comes back through RelayServer::remoteChatLine like everyone else's.
    virtual void sendChat(quint32 gameId, const QByteArray &userName, const QByteArray &text) = 0;
};

} // namespace arbelon
