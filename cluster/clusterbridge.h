#pragma once
// Joins a relay server to its cluster node: the node's calls reach the server's games, and
// the server's requests for other nodes' games reach the node.

#include "clusterrelay.h"
#include "relayupstream.h"

namespace arbelon {

class ClusterNode;
class RelayServer;

class ClusterBridge final : public ClusterRelay, public RelayUpstream {
public:
    explicit ClusterBridge(RelayServer &server) : m_server(server) {}
    // The node to ask; set once it exists (it needs the bridge to be made).
    void setNode(ClusterNode *node) { m_node = node; }

    void setGameIdBase(quint32 base) override;
    QList<RelayGameView> localGames() const override;
    LocalLobby localLobby(quint32 gameId) const override;
    void addRemoteGame(const ClusterGameInfo &game) override;
    void updateRemoteGame(const ClusterGameInfo &game) override;
    void removeRemoteGame(quint32 gameId) override;
    void setRemoteUsers(quint32 gameId, quint32 users) override;
    void remoteLobbyEnter(quint32 gameId, const QByteArray &userName) override;
    void remoteLobbyLeave(quint32 gameId, const QByteArray &userName) override;
    void remoteChatLine(quint32 gameId, const QByteArray &userName, const QByteArray &text) override;
    void remoteDemoRecord(quint32 gameId, quint64 seq, const QByteArray &record) override;

    void watchGame(quint32 gameId) override;
    void sendChat(quint32 gameId, const QByteArray &userName, const QByteArray &text) override;

private:
    RelayServer &m_server;
    ClusterNode *m_node = nullptr;
};

} // namespace arbelon
