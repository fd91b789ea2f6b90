#include "clusterbridge.h"

#include "clustermessage.h"
#include "relayserver.h"

namespace arbelon {

namespace {
// A node's game numbers: its slot's range, 2^20 of them.
constexpr quint32 kGamesPerSlot = 1u << 20;

RelayGameView viewOf(const ClusterGameInfo &game)
{
    RelayGameView v;
    v.id = game.id;
    v.name = game.name;
    v.gameType = game.gameType;
    v.mod = game.mod;
    v.filmer = game.filmer;
    v.users = game.users;
    return v;
}
} // namespace

void ClusterBridge::setGameIdBase(quint32 base)
{
    m_server.setGameIdRange(base + 1, base + kGamesPerSlot - 1);
}

LocalLobby ClusterBridge::localLobby(quint32 gameId) const
{
    return LocalLobby{m_server.localUsers(gameId), m_server.localNamed(gameId)};
}

void ClusterBridge::addRemoteGame(const ClusterGameInfo &game) { m_server.addRemoteGame(viewOf(game)); }
void ClusterBridge::updateRemoteGame(const ClusterGameInfo &game) { m_server.updateRemoteGame(viewOf(game)); }
void ClusterBridge::removeRemoteGame(quint32 gameId) { m_server.removeRemoteGame(gameId); }
void ClusterBridge::setRemoteUsers(quint32 gameId, quint32 users) { m_server.setRemoteUsers(gameId, users); }

void ClusterBridge::remoteLobbyEnter(quint32 gameId, const QByteArray &userName)
{
    m_server.remoteMemberEntered(gameId, userName);
}

void ClusterBridge::remoteLobbyLeave(quint32 gameId, const QByteArray &userName)
{
    m_server.remoteMemberLeft(gameId, userName);
}

void ClusterBridge::remoteChatLine(quint32 gameId, const QByteArray &userName, const QByteArray &text)
{
    m_server.remoteChatLine(gameId, userName, text);
}

void ClusterBridge::remoteDemoRecord(quint32 gameId, quint64 seq, const QByteArray &record)
{
    Q_UNUSED(seq); // the node has put them in order, each once
    m_server.remoteDemoRecord(gameId, record);
}

} // namespace arbelon
