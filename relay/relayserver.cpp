#include "relayserver.h"

#include "records.h"
#include "relaygame.h"
#include "relaylog.h"

#include <QTcpSocket>

#include <algorithm>

namespace arbelon {

namespace {
// Passwords are compared in time independent of where they differ.
bool sameSecret(const QByteArray &a, const QByteArray &b)
{
    unsigned diff = unsigned(a.size() ^ b.size());
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= unsigned(quint8(a[i]) ^ quint8(b.isEmpty() ? 0 : b[i % b.size()]));
    return diff == 0;
}

QString gameText(quint32 id) { return QStringLiteral("game %1").arg(id); }
// Users-count records the server sends in a second at most, beyond the per-game interval.
constexpr qint64 kUsersRecordsPerSecond = 1000000;
} // namespace

RelayServer::RelayServer(RelayConfig config, QObject *parent)
    : QObject(parent), m_config(std::move(config))
{
    m_elapsed.start();
    connect(&m_viewerServer, &QTcpServer::newConnection, this,
            [this] { acceptPending(m_viewerServer, RelayConnection::Port::Viewer); });
    connect(&m_filmerServer, &QTcpServer::newConnection, this,
            [this] { acceptPending(m_filmerServer, RelayConnection::Port::Filmer); });
    m_usersTimer.setSingleShot(true);
    connect(&m_usersTimer, &QTimer::timeout, this, &RelayServer::sendUsersUpdates);
    m_delayTimer.setSingleShot(true);
    connect(&m_delayTimer, &QTimer::timeout, this, &RelayServer::releaseDue);
    m_sweepTimer.setInterval(1000);
    connect(&m_sweepTimer, &QTimer::timeout, this, &RelayServer::sweep);
}

RelayServer::~RelayServer()
{
    m_stopping = true;
    const std::vector<RelayConnection *> conns = m_conns;
    for (RelayConnection *conn : conns)
        conn->abortWith(QStringLiteral("server shutting down"));
}

bool RelayServer::start(QString *error)
{
    // Connection storms must not overflow the kernel's accept queue.
    m_viewerServer.setListenBacklogSize(1024);
    m_filmerServer.setListenBacklogSize(1024);
    m_viewerServer.setMaxPendingConnections(256);
    m_filmerServer.setMaxPendingConnections(256);
    if (!m_viewerServer.listen(m_config.listenAddress, m_config.viewerPort)) {
        *error = QStringLiteral("viewer port %1: %2").arg(m_config.viewerPort).arg(m_viewerServer.errorString());
        return false;
    }
    if (!m_filmerServer.listen(m_config.listenAddress, m_config.filmerPort)) {
        *error = QStringLiteral("filmer port %1: %2").arg(m_config.filmerPort).arg(m_filmerServer.errorString());
        m_viewerServer.close();
        return false;
    }
    m_sweepTimer.start();
    return true;
}

void RelayServer::stop()
{
    m_stopping = true;
    m_viewerServer.close();
    m_filmerServer.close();
    m_sweepTimer.stop();
    m_usersTimer.stop();
    m_delayTimer.stop();
    const std::vector<RelayConnection *> conns = m_conns;
    for (RelayConnection *conn : conns)
        conn->abortWith(QStringLiteral("server shutting down"));
    m_games.clear();
    m_stopping = false;
}

void RelayServer::acceptPending(QTcpServer &server, RelayConnection::Port port)
{
    const RelayConnection::Limits limits{m_config.maxQueueBytes, m_config.chatBurst, m_config.chatLinesPerSecond,
                                         m_config.joinBurst, m_config.joinsPerSecond};
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        QString full;
        if (int(m_conns.size()) >= m_config.maxClients) {
            full = QStringLiteral("client limit %1 reached").arg(m_config.maxClients);
        } else {
            bool isV4 = false;
            const quint32 v4 = socket->peerAddress().toIPv4Address(&isV4);
            const QHostAddress address = isV4 ? QHostAddress(v4) : socket->peerAddress();
            if (m_perAddress.value(address) >= m_config.maxPerAddress)
                full = QStringLiteral("%1 connections from this address").arg(m_config.maxPerAddress);
        }
        if (!full.isEmpty()) {
            m_stats.countRefusal(full);
            RelayLog::write(QStringLiteral("refused connection from %1:%2: %3")
                                .arg(socket->peerAddress().toString())
                                .arg(socket->peerPort())
                                .arg(full));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto *conn = new RelayConnection(socket, port, m_nextConnId++, limits, *this, now(), this);
        conn->index = qsizetype(m_conns.size());
        m_conns.push_back(conn);
        ++m_perAddress[conn->address()];
        m_stats.connectionOpened(port == RelayConnection::Port::Filmer);
        RelayLog::write(QStringLiteral("%1 %2 connected").arg(role(*conn), conn->label()));
    }
}

QString RelayServer::role(const RelayConnection &conn)
{
    return conn.port() == RelayConnection::Port::Viewer ? QStringLiteral("viewer")
                                                        : QStringLiteral("filmer");
}

void RelayServer::ack(RelayConnection &conn, quint8 result)
{
    static const QByteArray accepted = buildAckNak(0);
    static const QByteArray refused = buildAckNak(1);
    conn.send(result == 0 ? accepted : refused);
}

RelayGame *RelayServer::findGame(quint32 gameId) const
{
    const auto it = m_games.find(gameId);
    return it == m_games.end() ? nullptr : it->second.get();
}

RelayGameView RelayServer::view(const RelayGame &game) const
{
    RelayGameView v;
    v.id = game.id();
    v.name = game.name();
    v.gameType = game.gameType();
    v.mod = game.mod();
    if (game.filmer())
        v.filmer = game.filmerName();
    v.users = game.users();
    v.listed.reserve(qsizetype(game.listed().size()));
    for (const RelayConnection *viewer : game.listed())
        v.listed.append(viewer->name());
    v.startedUtc = game.startedUtc();
    v.demoBytes = game.demoBytesIn();
    return v;
}

QList<RelayGameView> RelayServer::games() const
{
    QList<RelayGameView> out;
    out.reserve(qsizetype(m_games.size()));
    for (const auto &entry : m_games)
        out.append(view(*entry.second));
    return out;
}

RelayGameView RelayServer::game(quint32 gameId) const
{
    const RelayGame *g = findGame(gameId);
    return g ? view(*g) : RelayGameView{};
}

// ---- records ------------------------------------------------------------------------

void RelayServer::onRecord(RelayConnection &conn, QByteArrayView record)
{
    const qint32 type = packetType(record);
    const bool viewer = conn.port() == RelayConnection::Port::Viewer;
    if (conn.phase() == RelayConnection::Phase::AwaitHello) {
        if (viewer && type == USERINFO)
            handleUserInfo(conn, record);
        else if (!viewer && type == GAMEINFO)
            handleGameInfo(conn, record);
        else
            conn.abortWith(QStringLiteral("protocol error: %1 before %2")
                               .arg(PacketName(type), viewer ? QStringLiteral("USERINFO")
                                                             : QStringLiteral("GAMEINFO")));
        return;
    }
    switch (type) {
    case ACKNAK:
        break; // the answer to one of our records; nothing waits for it
    case USERINFO:
    case GAMEINFO:
        conn.abortWith(QStringLiteral("protocol error: second %1").arg(PacketName(type)));
        break;
    case WAITFORGAME: handleWaitForGame(conn, record); break;
    case LEAVEGAME: handleLeaveGame(conn); break;
    case SENDTEXT: handleSendText(conn, record); break;
    case DEMORESTART:
    case DEMOPACKET: handleDemoRecord(conn, record); break;
    default: break; // the connection lets no other type through
    }
}

void RelayServer::handleUserInfo(RelayConnection &conn, QByteArrayView record)
{
    const QByteArray name = UserRecordReader{record}.userName();
    if (name.isEmpty()) {
        refuseAndClose(conn, QStringLiteral("empty user name"));
        return;
    }
    conn.setName(name);
    conn.setReady();
    ack(conn, 0);
    sendGameList(conn);
    RelayLog::write(QStringLiteral("viewer %1 signed in").arg(conn.label()));
}

void RelayServer::handleGameInfo(RelayConnection &conn, QByteArrayView record)
{
    const GameInfoReader info{record};
    if (m_config.filmPasswordRequired && !sameSecret(info.password(), m_config.filmPassword)) {
        refuseAndClose(conn, QStringLiteral("wrong film password"));
        return;
    }
    if (info.gameName().isEmpty()) {
        refuseAndClose(conn, QStringLiteral("empty game name"));
        return;
    }
    if (info.userName().isEmpty()) {
        refuseAndClose(conn, QStringLiteral("empty user name"));
        return;
    }
    if (int(m_games.size()) >= m_config.maxGames) {
        refuseAndClose(conn, QStringLiteral("game limit %1 reached").arg(m_config.maxGames));
        return;
    }
    while (m_nextGameId == 0 || m_games.count(m_nextGameId))
        ++m_nextGameId;
    const quint32 id = m_nextGameId++;
    conn.setName(info.userName());
    auto game = std::make_unique<RelayGame>(id, info.gameName(), info.gameType(), info.modName(),
                                            &conn, m_config.maxDemoMemory, m_config.listedUsers);
    RelayGame &g = *game;
    m_games.emplace(id, std::move(game));
    conn.gameId = id;
    conn.setReady();
    ack(conn, 0);
    sendGameList(conn);
    const QByteArray detailed = g.detailedRecord();
    for (RelayConnection *other : m_conns) {
        if (other != &conn && other->phase() == RelayConnection::Phase::Ready)
            other->send(detailed);
    }
    conn.send(conn.userEnteredRecord()); // the Filmer is the first member of its lobby
    tell([&](RelayObserver &o) { o.gameOpened(view(g)); });
    RelayLog::write(QStringLiteral("filmer %1 opened %2 %3 (type %4, mod %5)")
                        .arg(conn.label(), gameText(id), RelayLog::quoted(info.gameName()))
                        .arg(info.gameType())
                        .arg(RelayLog::quoted(info.modName())));
}

void RelayServer::sendGameList(RelayConnection &conn)
{
    for (const auto &entry : m_games)
        conn.send(entry.second->detailedRecord());
}

void RelayServer::refuseAndClose(RelayConnection &conn, const QString &why)
{
    RelayLog::write(QStringLiteral("refused %1 %2: %3").arg(role(conn), conn.label(), why));
    m_stats.countRefusal(why);
    ack(conn, 1);
    conn.closeAfterFlush(QStringLiteral("refused: ") + why, now());
}

// ---- demo ---------------------------------------------------------------------------

void RelayServer::handleDemoRecord(RelayConnection &filmer, QByteArrayView record)
{
    RelayGame *game = findGame(filmer.gameId);
    if (!game)
        return; // cannot happen: a Filmer's game lives as long as the Filmer
    const bool restart = packetType(record) == DEMORESTART;
    if (!restart && !game->hasDemoStarted()) {
        // Viewers cannot place a block that belongs to no announced demo.
        RelayLog::write(QStringLiteral("filmer %1: DEMOPACKET before any DEMORESTART refused").arg(filmer.label()));
        ack(filmer, 1);
        return;
    }
    if (restart)
        game->noteDemoStarted();
    const QByteArray shared = record.toByteArray(); // the one copy all Viewers share
    game->countDemoIn(shared.size());
    m_stats.countDemoIn(shared.size());
    tell([&](RelayObserver &o) { o.demoRecord(game->id(), shared); });
    if (m_config.delaySeconds <= 0) {
        ack(filmer, 0);
        broadcastDemo(*game, shared);
        return;
    }
    const bool wasIdle = !game->hasHeld();
    game->hold(shared, now() + qint64(m_config.delaySeconds) * 1000);
    if (game->isHoldFull()) {
        // Back-pressure: the Filmer sends its next block only after this answer.
        RelayLog::write(QStringLiteral("%1: %2 delayed bytes held; the filmer waits")
                            .arg(gameText(game->id()))
                            .arg(game->heldBytes()));
        filmer.ackWithheld = true;
        filmer.pauseInput();
    } else {
        ack(filmer, 0);
    }
    if (wasIdle)
        armDelayTimer();
}

void RelayServer::broadcastDemo(RelayGame &game, const QByteArray &record)
{
    if (!game.keepBroadcast(record))
        RelayLog::write(QStringLiteral("%1: current demo passed %2 bytes; Viewers joining now start "
                                       "with the next demo")
                            .arg(gameText(game.id()))
                            .arg(m_config.maxDemoMemory));
    const bool restart = packetType(record) == DEMORESTART;
    m_stats.countDemoOut(record.size(), std::count_if(game.viewers().begin(), game.viewers().end(), [&](const RelayConnection *v) { return restart || v->demoSynced; }));
    for (RelayConnection *viewer : game.viewers()) {
        if (restart)
            viewer->demoSynced = true;
        if (viewer->demoSynced)
            viewer->send(record);
    }
}

void RelayServer::releaseDue()
{
    const qint64 t = now();
    std::vector<quint32> ended;
    for (const auto &entry : m_games) {
        RelayGame &game = *entry.second;
        while (game.hasHeld() && game.nextDueMs() <= t)
            broadcastDemo(game, game.takeHeld());
        RelayConnection *filmer = game.filmer();
        if (filmer && filmer->ackWithheld && !game.isHoldFull()) {
            filmer->ackWithheld = false;
            ack(*filmer, 0);
            filmer->resumeInput();
        }
        if (!filmer && !game.hasHeld())
            ended.push_back(game.id());
    }
    for (quint32 id : ended)
        removeGame(id);
    armDelayTimer();
}

void RelayServer::armDelayTimer()
{
    qint64 earliest = -1;
    for (const auto &entry : m_games) {
        if (entry.second->hasHeld() && (earliest < 0 || entry.second->nextDueMs() < earliest))
            earliest = entry.second->nextDueMs();
    }
    if (earliest < 0) {
        m_delayTimer.stop();
        return;
    }
    // Checked at least twice a second, so a clock that jumps is followed soon.
    m_delayTimer.start(int(std::clamp<qint64>(earliest - now(), 0, 500)));
}

void RelayServer::filmerLeft(RelayGame &game)
{
    game.filmerGone();
    if (game.hasHeld()) {
        // The delayed tail of the demo still reaches the Viewers; then the game ends.
        RelayLog::write(QStringLiteral("%1: filmer gone, sending the delayed records still held")
                            .arg(gameText(game.id())));
        markUsersChanged(game);
        tell([&](RelayObserver &o) { o.lobbyChanged(game.id()); });
        return;
    }
    removeGame(game.id());
}

void RelayServer::removeGame(quint32 gameId)
{
    const auto it = m_games.find(gameId);
    if (it == m_games.end())
        return;
    const std::unique_ptr<RelayGame> game = std::move(it->second);
    m_games.erase(it);
    m_usersDirty.erase(gameId);
    // Viewers stay connected, in no lobby; the Filmer leaves their user list.
    for (RelayConnection *viewer : game->viewers()) {
        viewer->send(game->filmerLeftRecord());
        viewer->gameId = 0;
        viewer->demoSynced = false;
        viewer->listed = false;
        viewer->lobbyIndex = -1;
    }
    broadcastReady(buildGameRemoved(gameId));
    tell([&](RelayObserver &o) { o.gameClosed(gameId); });
    RelayLog::write(QStringLiteral("%1 removed").arg(gameText(gameId)));
}

// ---- writing ------------------------------------------------------------------------

void RelayServer::schedulePump(RelayConnection &conn)
{
    if (m_toPump.empty())
        QMetaObject::invokeMethod(this, &RelayServer::pumpAll, Qt::QueuedConnection);
    m_toPump.push_back(&conn);
}

void RelayServer::pumpAll()
{
    m_pumpBatch.clear();
    m_pumpBatch.swap(m_toPump);
    // A connection may close (and be deleted later) while it waits here or while an earlier
    // one of this batch is pumped: onClosed takes it out of both lists.
    for (size_t i = 0; i < m_pumpBatch.size(); ++i) {
        if (RelayConnection *conn = m_pumpBatch[i])
            conn->pump();
    }
    m_pumpBatch.clear();
}

// ---- everyone -----------------------------------------------------------------------

void RelayServer::broadcastReady(const QByteArray &record)
{
    for (RelayConnection *conn : m_conns) {
        if (conn->phase() == RelayConnection::Phase::Ready)
            conn->send(record);
    }
}

void RelayServer::markUsersChanged(const RelayGame &game)
{
    // Counts are sent at most once per interval: a crowd joining one lobby would
    // otherwise cost one record per join for every connected client.
    m_usersDirty.insert(game.id());
    if (!m_usersTimer.isActive())
        m_usersTimer.start(int(std::max<qint64>(m_config.usersUpdateIntervalMs, m_usersNotBeforeMs - now())));
}

void RelayServer::sendUsersUpdates()
{
    const std::set<quint32> dirty = std::move(m_usersDirty);
    m_usersDirty.clear();
    for (quint32 id : dirty) {
        if (const RelayGame *game = findGame(id))
            broadcastReady(game->detailedRecord());
    }
    // Each pass costs a record per changed game for every client: with a thousand busy games
    // and ten thousand clients that is ten million records, so such passes come less often.
    const qint64 records = qint64(dirty.size()) * qint64(m_conns.size());
    m_usersNotBeforeMs = now() + records * 1000 / kUsersRecordsPerSecond;
}

void RelayServer::sweep()
{
    const qint64 t = now();
    std::vector<std::pair<RelayConnection *, QString>> expired;
    for (RelayConnection *conn : m_conns) {
        if (conn->phase() == RelayConnection::Phase::AwaitHello
            && t - conn->connectedAtMs() > qint64(m_config.helloTimeoutSeconds) * 1000)
            expired.emplace_back(conn, QStringLiteral("no hello within %1 s").arg(m_config.helloTimeoutSeconds));
        else if (conn->phase() == RelayConnection::Phase::Closing
                 && t - conn->closingSinceMs() > qint64(m_config.closeTimeoutSeconds) * 1000)
            expired.emplace_back(conn, QStringLiteral("did not take its last answer in time"));
        else if (conn->isOpen() && conn->partialSinceMs() >= 0
                 && t - conn->partialSinceMs() > qint64(m_config.recordTimeoutSeconds) * 1000)
            expired.emplace_back(conn, QStringLiteral("record not finished within %1 s").arg(m_config.recordTimeoutSeconds));
    }
    for (auto &[conn, reason] : expired)
        conn->abortWith(reason);
}

void RelayServer::onClosed(RelayConnection &conn, const QString &reason)
{
    RelayLog::write(QStringLiteral("closed %1 %2: %3").arg(role(conn), conn.label(), reason));
    m_stats.connectionClosed(conn.port() == RelayConnection::Port::Filmer, reason);
    std::erase(m_toPump, &conn);
    std::replace(m_pumpBatch.begin(), m_pumpBatch.end(), &conn, static_cast<RelayConnection *>(nullptr));
    // Swap-remove from the connection list.
    if (conn.index >= 0 && conn.index < qsizetype(m_conns.size()) && m_conns[size_t(conn.index)] == &conn) {
        RelayConnection *last = m_conns.back();
        m_conns[size_t(conn.index)] = last;
        last->index = conn.index;
        m_conns.pop_back();
        conn.index = -1;
        const auto count = m_perAddress.find(conn.address());
        if (count != m_perAddress.end() && --count.value() <= 0)
            m_perAddress.erase(count);
    }
    if (m_stopping)
        return;
    RelayGame *game = findGame(conn.gameId);
    if (!game)
        return;
    if (game->filmer() == &conn)
        filmerLeft(*game);
    else
        leaveLobby(conn, *game);
}

} // namespace arbelon
