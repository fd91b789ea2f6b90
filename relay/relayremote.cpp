// The relay server's side of a cluster: games of other relay nodes listed and served here,
// and this server's games seen from elsewhere. Member functions of RelayServer.

#include "relayserver.h"

#include "records.h"
#include "relaygame.h"
#include "relaylog.h"

namespace arbelon {

namespace {
QString gameText(quint32 id) { return QStringLiteral("game %1").arg(id); }
// Other nodes' games listed at once: each costs every client a row.
constexpr int kMaxRemoteGames = 4096;
} // namespace

void RelayServer::setGameIdRange(quint32 first, quint32 last)
{
    m_firstGameId = qMax<quint32>(1, first);
    m_lastGameId = qMax(m_firstGameId, last);
    m_nextGameId = m_firstGameId;
}

bool RelayServer::isRemoteGame(quint32 gameId) const
{
    const RelayGame *game = findGame(gameId);
    return game && game->isRemote();
}

void RelayServer::sendToLobby(const RelayGame &game, const RelayBlock &record, const RelayPeer *except)
{
    if (game.filmer() && game.filmer() != except)
        game.filmer()->send(record);
    for (RelayPeer *viewer : game.viewers()) {
        if (viewer != except)
            viewer->send(record);
    }
}

void RelayServer::addRemoteGame(const RelayGameView &view)
{
    if (view.id == 0 || findGame(view.id)) {
        RelayLog::write(QStringLiteral("cluster: %1 %2 not listed: the number is taken here")
                            .arg(gameText(view.id), RelayLog::quoted(view.name)));
        return;
    }
    if (m_remoteGameCount >= kMaxRemoteGames) {
        RelayLog::write(QStringLiteral("cluster: %1 not listed: %2 games of other nodes listed already")
                            .arg(gameText(view.id))
                            .arg(kMaxRemoteGames));
        return;
    }
    auto game = std::make_unique<RelayGame>(view.id, view.name, view.gameType, view.mod, view.filmer,
                                            m_config.maxDemoMemory, m_config.listedUsers);
    game->setRemoteUsers(view.users);
    const RelayBlock row = game->row();
    m_games.emplace(view.id, std::move(game));
    ++m_remoteGameCount;
    broadcastReady(row);
    RelayLog::write(QStringLiteral("cluster: %1 %2 of another node listed")
                        .arg(gameText(view.id), RelayLog::quoted(view.name)));
}

void RelayServer::updateRemoteGame(const RelayGameView &view)
{
    RelayGame *game = findGame(view.id);
    if (!game || !game->isRemote())
        return;
    if (game->users() == view.users)
        return;
    game->setRemoteUsers(view.users);
    markUsersChanged(*game);
}

void RelayServer::removeRemoteGame(quint32 gameId)
{
    RelayGame *game = findGame(gameId);
    if (!game || !game->isRemote())
        return;
    --m_remoteGameCount;
    removeGame(gameId);
}

void RelayServer::setRemoteUsers(quint32 gameId, quint32 users)
{
    RelayGame *game = findGame(gameId);
    if (!game || game->isRemote() || game->users() - game->localUsers() == users)
        return;
    game->setRemoteUsers(users);
    markUsersChanged(*game);
}

void RelayServer::remoteMemberEntered(quint32 gameId, const QByteArray &userName)
{
    RelayGame *game = findGame(gameId);
    if (!game || userName.isEmpty())
        return;
    if (const RelayBlock entered = game->addRemoteNamed(userName))
        sendToLobby(*game, entered);
}

void RelayServer::remoteMemberLeft(quint32 gameId, const QByteArray &userName)
{
    RelayGame *game = findGame(gameId);
    if (!game)
        return;
    if (const RelayBlock left = game->removeRemoteNamed(userName))
        sendToLobby(*game, left);
}

void RelayServer::remoteChatLine(quint32 gameId, const QByteArray &userName, const QByteArray &text)
{
    RelayGame *game = findGame(gameId);
    if (!game)
        return;
    sendToLobby(*game, makeBlock(buildSendText(userName, text)));
    // A line of this server's own game is ordered here: the cluster hears it as any other.
    if (!game->isRemote())
        tell([&](RelayObserver &o) { o.chatLine(gameId, userName, text); });
}

void RelayServer::remoteDemoRecord(quint32 gameId, const QByteArray &record)
{
    RelayGame *game = findGame(gameId);
    if (!game || !game->isRemote())
        return;
    const bool restart = packetType(record) == DEMORESTART;
    if (!restart && !game->hasDemoStarted())
        return; // joined mid-demo: Viewers cannot place it; the next demo starts cleanly
    if (restart)
        game->noteDemoStarted();
    const RelayBlock shared = makeBlock(record);
    game->countDemoIn(shared->size());
    m_stats.countDemoIn(shared->size());
    // Observers are not told: the owner's archive keeps the demo, and the node sent it here.
    // The stream is not held back by a full delay: what the delay cannot hold is passed on.
    if (!passOn(*game, shared))
        RelayLog::write(QStringLiteral("%1: %2 delayed bytes held from another node")
                            .arg(gameText(gameId))
                            .arg(game->heldBytes()));
}

quint32 RelayServer::localUsers(quint32 gameId) const
{
    const RelayGame *game = findGame(gameId);
    return game ? game->localUsers() : 0;
}

QList<QByteArray> RelayServer::localNamed(quint32 gameId) const
{
    QList<QByteArray> names;
    if (const RelayGame *game = findGame(gameId)) {
        for (const RelayPeer *viewer : game->listed())
            names.append(viewer->lobbyName());
    }
    return names;
}

} // namespace arbelon
