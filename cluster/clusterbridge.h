#pragma once
// The relay server as its cluster node's calls reach it, on the games' thread.

#include "clusterrelay.h"

namespace arbelon {

class RelayServer;

class ClusterBridge final : public ClusterRelay {
public:
    explicit ClusterBridge(RelayServer &server) : m_server(server) {}

    void setGameIdBase(quint32 base) override;
    LocalLobby localLobby(quint32 gameId) const override;
    void addRemoteGame(const ClusterGameInfo &game) override;
    void updateRemoteGame(const ClusterGameInfo &game) override;
    void removeRemoteGame(quint32 gameId) override;
    void setRemoteUsers(quint32 gameId, quint32 users) override;
    void remoteLobbyEnter(quint32 gameId, const QByteArray &userName) override;
    void remoteLobbyLeave(quint32 gameId, const QByteArray &userName) override;
    void remoteChatLine(quint32 gameId, const QByteArray &userName, const QByteArray &text) override;
    void remoteDemoRecord(quint32 gameId, quint64 seq, const QByteArray &record) override;

private:
    RelayServer &m_server;
};

} // namespace arbelon
