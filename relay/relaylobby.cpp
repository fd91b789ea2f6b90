// The relay server's lobbies: entering and leaving, the named members, chat. Member
// functions of RelayServer, kept apart from its connection and demo handling.

#include "relayserver.h"

#include "relaygame.h"
#include "relaylog.h"

namespace arbelon {

namespace {
QString gameText(quint32 id) { return QStringLiteral("game %1").arg(id); }
} // namespace

// ---- lobby --------------------------------------------------------------------------

void RelayServer::handleWaitForGame(RelayPeer &conn, QByteArrayView record)
{
    if (conn.gameId != 0) {
        conn.abortWith(QStringLiteral("protocol error: WAITFORGAME while in %1").arg(gameText(conn.gameId)));
        return;
    }
    const auto id = quint32(WaitForGameReader{record}.gameId());
    RelayGame *game = findGame(id);
    if (!game || !game->isOpen()) {
        RelayLog::write(QStringLiteral("viewer %1 refused: no %2").arg(conn.label(), gameText(id)));
        m_stats.countRefusal(QStringLiteral("no game"));
        ack(conn, 1);
        return;
    }
    if (!conn.takeJoinToken(now())) {
        m_stats.countRefusal(QStringLiteral("flood"));
        if (!conn.floodRefusalLogged)
            RelayLog::write(QStringLiteral("viewer %1: lobby entries refused (flood limit)").arg(conn.label()));
        conn.floodRefusalLogged = true;
        ack(conn, 1);
        return;
    }
    conn.floodRefusalLogged = false;
    // The answer first: the client clears its user list when it enters the lobby.
    ack(conn, 0);
    conn.setLobbyName(game->takeName(conn.name()));
    const bool named = game->addViewer(&conn);
    conn.gameId = id;
    conn.send(game->filmerEnteredRecord());
    for (RelayPeer *viewer : game->listed())
        conn.send(viewer->userEnteredRecord());
    for (const RelayBlock &named : game->remoteNamed())
        conn.send(named);
    if (named)
        announce(*game, conn);
    else
        conn.send(conn.userEnteredRecord()); // it sees itself in its own list
    // A Viewer given another name is told which, in a line without a sender: every client
    // shows one, and the list alone would not say which entry is its own.
    if (decodeText(conn.lobbyName()) != decodeText(conn.name()))
        conn.send(makeBlock(buildSendText({}, encodeText(QStringLiteral("In this lobby you are known as \"%1\"")
                                                             .arg(decodeText(conn.lobbyName())),
                                                         255))));
    // A late joiner gets the current demo from its beginning, then the live records.
    conn.demoSynced = !game->keptDemo().empty();
    if (conn.demoSynced)
        conn.startCatchUp(game->keptDemo());
    m_stats.countDemoOut(conn.demoSynced ? game->keptDemo() : std::vector<RelayBlock>{});
    m_stats.observeJoin(now() - conn.connectedAtMs());
    markUsersChanged(*game);
    tell([&](RelayObserver &o) { o.lobbyChanged(id); });
    if (game->isRemote() && m_upstream)
        m_upstream->watchGame(id);
    RelayLog::write(QStringLiteral("viewer %1 entered %2 (%3 users)")
                        .arg(conn.label(), gameText(id))
                        .arg(game->users()));
}

void RelayServer::handleLeaveGame(RelayPeer &conn)
{
    // Also accepted outside a lobby: the game may have ended while the request travelled.
    if (RelayGame *game = findGame(conn.gameId))
        leaveLobby(conn, *game);
    conn.gameId = 0;
    ack(conn, 0);
}

void RelayServer::announce(RelayGame &game, RelayPeer &viewer)
{
    if (game.filmer())
        game.filmer()->send(viewer.userEnteredRecord());
    for (RelayPeer *other : game.viewers()) {
        if (other != &viewer)
            other->send(viewer.userEnteredRecord());
    }
}

void RelayServer::leaveLobby(RelayPeer &viewer, RelayGame &game)
{
    const bool wasNamed = game.removeViewer(&viewer);
    game.releaseName(viewer.lobbyName());
    viewer.gameId = 0;
    viewer.demoSynced = false;
    viewer.dropPendingDemo();
    if (wasNamed) {
        if (game.filmer())
            game.filmer()->send(viewer.userLeftRecord());
        for (RelayPeer *other : game.viewers())
            other->send(viewer.userLeftRecord());
    }
    markUsersChanged(game);
    tell([&](RelayObserver &o) { o.lobbyChanged(game.id()); });
    RelayLog::write(QStringLiteral("viewer %1 left %2 (%3 users)")
                        .arg(viewer.label(), gameText(game.id()))
                        .arg(game.users()));
}

void RelayServer::handleSendText(RelayPeer &conn, QByteArrayView record)
{
    RelayGame *game = findGame(conn.gameId);
    if (!game) {
        ack(conn, 1); // in no lobby: nobody to say it to
        return;
    }
    if (!conn.takeChatToken(now())) {
        m_stats.countRefusal(QStringLiteral("flood"));
        if (!conn.floodRefusalLogged)
            RelayLog::write(QStringLiteral("%1 %2: chat lines refused (flood limit)").arg(role(conn), conn.label()));
        conn.floodRefusalLogged = true;
        ack(conn, 1);
        return;
    }
    conn.floodRefusalLogged = false;
    ack(conn, 0);
    // Every line's sender is in everyone's user list: an unnamed Viewer is named first.
    if (&conn != game->filmer() && !conn.listed) {
        game->list(&conn);
        announce(*game, conn);
        tell([&](RelayObserver &o) { o.lobbyChanged(game->id()); });
    }
    const QByteArray text = SendTextReader{record}.text();
    if (game->isRemote()) {
        // Its node orders the game's chat; the line comes back from there to everyone here.
        if (m_upstream)
            m_upstream->sendChat(game->id(), conn.lobbyName(), text);
        return;
    }
    const RelayBlock line = makeBlock(buildSendText(conn.lobbyName(), text));
    if (game->filmer())
        game->filmer()->send(line);
    for (RelayPeer *viewer : game->viewers())
        viewer->send(line);
    tell([&](RelayObserver &o) { o.chatLine(game->id(), conn.lobbyName(), text); });
}

} // namespace arbelon
