#pragma once
// What a relay node's cluster link needs from the relay server. The relay implements it;
// the other direction is the relay's RelayObserver events (relayobserver.h) plus the calls
// of ClusterNode that the relay makes for Viewers in games of other nodes.
// The node calls it on its own thread; ClusterThread carries the calls to ClusterBridge, which
// makes them on the games' thread.

#include "relayobserver.h"

#include <QByteArray>
#include <QList>
#include <QtGlobal>

namespace arbelon {

struct ClusterGameInfo;

// This node's own members of a game's lobby (remote members left out).
struct LocalLobby {
    quint32 users = 0;        // Filmer (if here) and Viewers connected to this node
    QList<QByteArray> listed; // those of them named in the lobby
};

class ClusterRelay {
public:
    virtual ~ClusterRelay() = default;

    // The relay numbers the games it opens from base + 1 on, below base + 2^20. Called when
    // the node has its slot in the cluster; games opened before keep their numbers and stay
    // off the cluster.
    virtual void setGameIdBase(quint32 base) = 0;
    virtual LocalLobby localLobby(quint32 gameId) const = 0;

    // Games of other nodes: listed, changed (users, demo state), gone.
    virtual void addRemoteGame(const ClusterGameInfo &game) = 0;
    virtual void updateRemoteGame(const ClusterGameInfo &game) = 0;
    virtual void removeRemoteGame(quint32 gameId) = 0;
    // This node's own game: how many of its members are on other nodes (counted in Users).
    virtual void setRemoteUsers(quint32 gameId, quint32 users) = 0;
    // Members on other nodes of a game this node lists (its own or a remote one). The relay
    // names them in the lobby; users counts of its own games include them.
    virtual void remoteLobbyEnter(quint32 gameId, const QByteArray &userName) = 0;
    virtual void remoteLobbyLeave(quint32 gameId, const QByteArray &userName) = 0;
    // For the relay's own game: a line from a Viewer on another node, to be ordered and sent
    // like a local SENDTEXT (the relay's chatLine event then carries it to the cluster).
    // For a remote game: a line as its owner ordered it, to be sent to the local members.
    virtual void remoteChatLine(quint32 gameId, const QByteArray &userName, const QByteArray &text) = 0;
    // A DEMORESTART or DEMOPACKET of a remote game, in order, each exactly once, beginning
    // with a DEMORESTART. Block sequences count from 1 per game.
    virtual void remoteDemoRecord(quint32 gameId, quint64 seq, const QByteArray &record) = 0;
};

} // namespace arbelon
