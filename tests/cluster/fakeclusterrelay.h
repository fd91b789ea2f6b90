#pragma once
// A relay as the cluster node sees it: records what the node tells it, and plays the relay's
// side (games opened, lobbies, chat ordered) through the node's observer calls.

#include "clustermessage.h"
#include "clusternode.h"
#include "clusterrelay.h"

#include <QMap>

namespace arbelon::test {

class FakeClusterRelay : public ClusterRelay {
public:
    ClusterNode *node = nullptr; // the relay's observer

    quint32 base = 0;
    quint32 nextLocal = 0;
    QMap<quint32, RelayGameView> local;
    QMap<quint32, LocalLobby> lobbies; // this node's own members
    QMap<quint32, ClusterGameInfo> remote;
    QList<quint32> removed;
    QMap<quint32, QList<QByteArray>> remoteMembers;
    QMap<quint32, QList<QByteArray>> chat; // every line the local members see, in order
    QMap<quint32, QList<QByteArray>> demo; // remote demo records in arrival order
    QMap<quint32, QList<quint64>> demoSeqs;
    QMap<quint32, quint32> remoteUsers; // own games: members on other nodes

    quint32 openGame(const QByteArray &name)
    {
        RelayGameView view;
        view.id = base + ++nextLocal;
        view.name = name;
        view.gameType = 1;
        view.mod = "baseq3";
        view.filmer = "ann";
        view.users = 1;
        local.insert(view.id, view);
        lobbies[view.id] = LocalLobby{1, {"ann"}};
        node->gameOpened(view);
        return view.id;
    }
    void closeGame(quint32 id)
    {
        local.remove(id);
        lobbies.remove(id);
        node->gameClosed(id);
    }
    void viewerEnters(quint32 id, const QByteArray &name)
    {
        LocalLobby &lobby = lobbies[id];
        ++lobby.users;
        lobby.listed.append(name);
        node->lobbyChanged(id);
    }
    // A local member's line, as RelayServer orders and sends it.
    void say(quint32 id, const QByteArray &user, const QByteArray &text)
    {
        if (remote.contains(id)) {
            node->sendChat(id, user, text);
            return;
        }
        chat[id].append(user + ": " + text);
        node->chatLine(id, user, text);
    }

    void setGameIdBase(quint32 b) override
    {
        base = b;
        nextLocal = 0;
    }
    LocalLobby localLobby(quint32 id) const override { return lobbies.value(id); }
    void addRemoteGame(const ClusterGameInfo &g) override { remote.insert(g.id, g); }
    void updateRemoteGame(const ClusterGameInfo &g) override { remote.insert(g.id, g); }
    void setRemoteUsers(quint32 gameId, quint32 users) override { remoteUsers[gameId] = users; }
    void removeRemoteGame(quint32 id) override
    {
        remote.remove(id);
        removed.append(id);
    }
    void remoteLobbyEnter(quint32 id, const QByteArray &user) override { remoteMembers[id].append(user); }
    void remoteLobbyLeave(quint32 id, const QByteArray &user) override { remoteMembers[id].removeOne(user); }
    void remoteChatLine(quint32 id, const QByteArray &user, const QByteArray &text) override
    {
        if (local.contains(id)) { // a remote Viewer's line in this relay's game: ordered here
            say(id, user, text);
            return;
        }
        chat[id].append(user + ": " + text);
    }
    void remoteDemoRecord(quint32 id, quint64 seq, const QByteArray &record) override
    {
        demo[id].append(record);
        demoSeqs[id].append(seq);
    }
};

} // namespace arbelon::test
