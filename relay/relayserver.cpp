#include "relayserver.h"

#include "records.h"
#include "relaygame.h"
#include "relaylog.h"
#include "relayturnaway.h"

#include <QTcpSocket>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

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
// Users-count records the server sends in a second at most, beyond the per-game interval:
// a pass after a crowd joined a thousand games is spread over seconds instead of crowding
// out the demo blocks (each record also costs its client a read and an answer).
constexpr qint64 kUsersRecordsPerSecond = 250000;
// Users-count records sent in one turn of the event loop.
constexpr qint64 kUsersRecordsPerTurn = 50000;
} // namespace

RelayServer::RelayServer(RelayConfig config, QObject *parent)
    : QObject(parent), m_config(std::move(config))
{
    m_elapsed.start();
    m_viewerServer.onDescriptor = [this](qintptr fd) { accept(fd, RelayConnection::Port::Viewer); };
    m_filmerServer.onDescriptor = [this](qintptr fd) { accept(fd, RelayConnection::Port::Filmer); };
    m_viewerServer.onRefused = m_filmerServer.onRefused = [this](int count) { onRefusedForFiles(count); };
    m_refusedForFiles = -1;

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
    const std::vector<RelayPeer *> conns = m_conns;
    for (RelayPeer *conn : conns)
        conn->abortWith(QStringLiteral("server shutting down"));
    m_workers.clear(); // each closes what it still serves
}

bool RelayServer::start(QString *error)
{
    // Connection storms must not overflow the kernel's accept queue.
    m_viewerServer.setListenBacklogSize(1024);
    m_filmerServer.setListenBacklogSize(1024);
    m_viewerServer.setMaxPendingConnections(256);
    m_filmerServer.setMaxPendingConnections(256);
    if (!m_viewerServer.open(m_config.listenAddress, m_config.viewerPort)) {
        *error = QStringLiteral("viewer port %1: %2").arg(m_config.viewerPort).arg(m_viewerServer.errorString());
        return false;
    }
    if (!m_filmerServer.open(m_config.listenAddress, m_config.filmerPort)) {
        *error = QStringLiteral("filmer port %1: %2").arg(m_config.filmerPort).arg(m_filmerServer.errorString());
        m_viewerServer.shut();
        return false;
    }
    m_sweepTimer.start();
#ifdef Q_OS_UNIX
    // Connections are handed to workers as descriptors, which only this family of
    // systems lets one read the peer of without making a socket object.
    if (m_config.workers > 1 && m_workers.empty() && m_workerEvents.isValid()) {
        m_workerEventsNotifier = std::make_unique<QSocketNotifier>(qintptr(m_workerEvents.descriptor()),
                                                                   QSocketNotifier::Read);
        connect(m_workerEventsNotifier.get(), &QSocketNotifier::activated, this, &RelayServer::takeWorkerEvents);
        const RelayWorker::Settings settings{m_config.maxQueueBytes, qint64(m_config.recordTimeoutSeconds) * 1000,
                                             qint64(m_config.closeTimeoutSeconds) * 1000, m_clock};
        for (int i = 0; i < m_config.workers; ++i)
            m_workers.push_back(std::make_unique<RelayWorker>(i, settings, m_workerEvents));
    }
#endif
    return true;
}

void RelayServer::stop()
{
    m_stopping = true;
    m_viewerServer.shut();
    m_filmerServer.shut();
    m_sweepTimer.stop();
    m_usersTimer.stop();
    m_delayTimer.stop();
    const std::vector<RelayPeer *> conns = m_conns;
    for (RelayPeer *conn : conns)
        conn->abortWith(QStringLiteral("server shutting down"));
    // Workers report those ends later; the server forgets their clients now.
    for (RelayPeer *conn : std::vector<RelayPeer *>(m_conns)) {
        if (auto *worker = static_cast<RelayWorker *>(conn->link()))
            worker->forget();
        onPeerClosed(*conn, QStringLiteral("server shutting down"));
    }
    m_games.clear();
    m_stopping = false;
}

RelayPeer::Limits RelayServer::peerLimits() const
{
    return {m_config.chatBurst, m_config.chatLinesPerSecond, m_config.joinBurst, m_config.joinsPerSecond};
}

namespace {
QHostAddress plain(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

QString peerText(const QHostAddress &address, quint16 port)
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                             : address.toString();
    return host + QLatin1Char(':') + QString::number(port);
}

void closeDescriptor(qintptr fd)
{
#ifdef Q_OS_UNIX
    ::close(int(fd));
#else
    QTcpSocket socket;
    socket.setSocketDescriptor(fd);
    socket.abort();
#endif
}
} // namespace

void RelayServer::accept(qintptr descriptor, RelayConnection::Port port)
{
    // Who is calling, before any socket object exists for it.
    QHostAddress address;
    quint16 remotePort = 0;
    std::unique_ptr<QTcpSocket> socket;
    if (m_workers.empty()) {
        socket = std::make_unique<QTcpSocket>();
        if (!socket->setSocketDescriptor(descriptor)) {
            closeDescriptor(descriptor);
            return;
        }
        address = plain(socket->peerAddress());
        remotePort = socket->peerPort();
    } else {
#ifdef Q_OS_UNIX
        sockaddr_storage storage = {};
        socklen_t length = sizeof storage;
        if (::getpeername(int(descriptor), reinterpret_cast<sockaddr *>(&storage), &length) != 0) {
            closeDescriptor(descriptor);
            return;
        }
        address = plain(QHostAddress(reinterpret_cast<const sockaddr *>(&storage)));
        remotePort = storage.ss_family == AF_INET6
                         ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&storage)->sin6_port)
                         : ntohs(reinterpret_cast<const sockaddr_in *>(&storage)->sin_port);
#endif
    }
    const QString text = peerText(address, remotePort);
    if (m_refusedForFiles > 0) {
        RelayLog::write(QStringLiteral("open files to spare again: accepting (%1 connections refused meanwhile)")
                            .arg(m_refusedForFiles));
        m_refusedForFiles = -1;
    }
    QString full;
    if (int(m_conns.size()) >= m_config.maxClients)
        full = QStringLiteral("client limit %1 reached").arg(m_config.maxClients);
    else if (m_perAddress.value(address) >= m_config.maxPerAddress)
        full = QStringLiteral("%1 connections from this address").arg(m_config.maxPerAddress);
    if (!full.isEmpty()) {
        m_stats.countRefusal(full);
        RelayLog::write(QStringLiteral("refused connection from %1: %2").arg(text, full));
        turnAway(std::move(socket), descriptor, port, address);
        return;
    }
    const quint64 id = m_nextConnId++;
    RelayConnection *local = nullptr;
    RelayWorker *worker = nullptr;
    if (socket) {
        local = new RelayConnection(socket.release(), port, id, m_config.maxQueueBytes, *this, now(), this);
    } else {
        worker = leastBusyWorker();
        worker->adopt(id, descriptor, port);
    }
    auto peer = std::make_unique<RelayPeer>(id, port, address, text, peerLimits(), now(), local, worker);
    RelayPeer *conn = peer.get();
    if (local)
        local->owner = conn;
    m_peers.emplace(id, std::move(peer));
    conn->index = qsizetype(m_conns.size());
    m_conns.push_back(conn);
    ++m_perAddress[address];
    m_stats.connectionOpened(port == RelayConnection::Port::Filmer);
    RelayLog::write(QStringLiteral("%1 %2 connected").arg(role(*conn), conn->label()));
}

void RelayServer::onRefusedForFiles(int count)
{
    if (m_refusedForFiles < 0) {
        rlimit limit = {};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        RelayLog::write(QStringLiteral("open-file limit %1 reached: new connections are refused until some close")
                            .arg(quint64(limit.rlim_cur)));
        m_refusedForFiles = 0;
    }
    m_refusedForFiles += count;
    for (int i = 0; i < count; ++i)
        m_stats.countRefusal(QStringLiteral("open-file limit"));
}

void RelayServer::turnAway(std::unique_ptr<QTcpSocket> socket, qintptr descriptor, RelayConnection::Port port,
                           const QHostAddress &address)
{
    // Answering costs a socket for a few seconds: only so many at once, and fewer from one
    // host, which must not keep everyone else from hearing that the relay is full.
    if (m_turnAways >= kMaxTurnAways || m_turnAwaysPerAddress.value(address) >= kMaxTurnAwaysPerAddress) {
        if (socket)
            socket->abort();
        else
            closeDescriptor(descriptor);
        return;
    }
    if (!socket) {
        socket = std::make_unique<QTcpSocket>();
        if (!socket->setSocketDescriptor(descriptor)) {
            closeDescriptor(descriptor);
            return;
        }
    }
    ++m_turnAways;
    ++m_turnAwaysPerAddress[address];
    new RelayTurnAway(
        socket.release(), port, m_config.closeTimeoutSeconds * 1000, [this, address] {
            --m_turnAways;
            const auto count = m_turnAwaysPerAddress.find(address);
            if (count != m_turnAwaysPerAddress.end() && --count.value() <= 0)
                m_turnAwaysPerAddress.erase(count);
        },
        this);
}

RelayWorker *RelayServer::leastBusyWorker() const
{
    RelayWorker *best = m_workers.front().get();
    for (const auto &worker : m_workers) {
        if (worker->connectionCount() < best->connectionCount())
            best = worker.get();
    }
    return best;
}

void RelayServer::takeWorkerEvents()
{
    std::vector<RelayWorkerEvent> events = m_workerEvents.take();
    for (RelayWorkerEvent &event : events) {
        const auto it = m_peers.find(event.id);
        if (it == m_peers.end())
            continue; // forgotten when the server stopped
        RelayPeer &peer = *it->second;
        auto *worker = static_cast<RelayWorker *>(peer.link());
        if (event.kind == RelayWorkerEvent::Kind::Closed) {
            if (worker)
                worker->forget();
            onPeerClosed(peer, event.reason);
            continue;
        }
        takeWorkerRecord(peer, std::move(event.record));
    }
}

void RelayServer::takeWorkerRecord(RelayPeer &peer, QByteArray record)
{
    if (peer.phase() == RelayConnection::Phase::Closed)
        return;
    // Until the pause reached its worker, a Filmer that does not wait for answers had more
    // records read: they wait here, within the worker's credit, as in the kernel otherwise.
    if (peer.isInputPaused() || !peer.deferred.empty()) {
        peer.deferred.push_back(std::move(record));
        return;
    }
    onPeerRecord(peer, record);
    if (peer.phase() != RelayConnection::Phase::Closed)
        static_cast<RelayWorker *>(peer.link())->taken(peer.id(), record.size());
}

void RelayServer::takeDeferred(RelayPeer &peer)
{
    while (!peer.deferred.empty() && !peer.isInputPaused() && peer.phase() != RelayConnection::Phase::Closed) {
        const QByteArray record = std::move(peer.deferred.front());
        peer.deferred.pop_front();
        onPeerRecord(peer, record);
        if (peer.phase() != RelayConnection::Phase::Closed)
            static_cast<RelayWorker *>(peer.link())->taken(peer.id(), record.size());
    }
}

QString RelayServer::role(const RelayPeer &conn)
{
    return conn.port() == RelayConnection::Port::Viewer ? QStringLiteral("viewer")
                                                        : QStringLiteral("filmer");
}

void RelayServer::ack(RelayPeer &conn, quint8 result)
{
    static const RelayBlock accepted = makeBlock(buildAckNak(akAccepted));
    static const RelayBlock refused = makeBlock(buildAckNak(akRefused));
    conn.send(result == akAccepted ? accepted : result == akRefused ? refused
                                                                    : makeBlock(buildAckNak(result)));
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
    if (game.isOpen())
        v.filmer = game.filmerName();
    v.users = game.users();
    v.listed.reserve(qsizetype(game.listed().size()));
    for (const RelayPeer *viewer : game.listed())
        v.listed.append(viewer->lobbyName());
    v.startedUtc = game.startedUtc();
    v.demoBytes = game.demoBytesIn();
    v.remote = game.isRemote();
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
    if (conn.owner)
        onPeerRecord(*conn.owner, record);
}

void RelayServer::onPeerRecord(RelayPeer &conn, QByteArrayView record)
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

void RelayServer::handleUserInfo(RelayPeer &conn, QByteArrayView record)
{
    const QByteArray name = UserRecordReader{record}.userName();
    if (name.isEmpty()) {
        refuseAndClose(conn, QStringLiteral("empty user name"));
        return;
    }
    conn.setName(name);
    conn.setReady();
    if (m_webPort != 0)
        conn.send(makeBlock(buildAckNak(akAccepted, m_webPort)));
    else
        ack(conn, akAccepted);
    sendGameList(conn);
    RelayLog::write(QStringLiteral("viewer %1 signed in").arg(conn.label()));
}

void RelayServer::handleGameInfo(RelayPeer &conn, QByteArrayView record)
{
    const GameInfoReader info{record};
    // Compared as text: the command line gives UTF-8, a client sends Windows-1252 when it can.
    const auto asSent = [](const QByteArray &password) {
        return encodeText(decodeText(password), rec::giPasswordWidth - 1);
    };
    if (m_config.filmPasswordRequired && !sameSecret(asSent(info.password()), asSent(m_config.filmPassword))) {
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
    if (int(m_games.size()) - m_remoteGameCount >= m_config.maxGames) {
        refuseAndClose(conn, QStringLiteral("game limit %1 reached").arg(m_config.maxGames), akFull);
        return;
    }
    // The range holds more numbers than --max-games allows games.
    while (m_nextGameId < m_firstGameId || m_nextGameId > m_lastGameId || m_nextGameId == 0
           || m_games.count(m_nextGameId)) {
        if (m_nextGameId < m_firstGameId || m_nextGameId >= m_lastGameId)
            m_nextGameId = m_firstGameId;
        else
            ++m_nextGameId;
    }
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
    const RelayBlock detailed = g.row();
    for (RelayPeer *other : m_conns) {
        if (other != &conn && other->phase() == RelayConnection::Phase::Ready)
            other->sendList(detailed);
    }
    conn.send(conn.userEnteredRecord()); // the Filmer is the first member of its lobby
    tell([&](RelayObserver &o) { o.gameOpened(view(g)); });
    RelayLog::write(QStringLiteral("filmer %1 opened %2 %3 (type %4, mod %5)")
                        .arg(conn.label(), gameText(id), RelayLog::quoted(info.gameName()))
                        .arg(info.gameType())
                        .arg(RelayLog::quoted(info.modName())));
}

void RelayServer::sendGameList(RelayPeer &conn)
{
    for (const auto &entry : m_games)
        conn.sendList(entry.second->row());
}

void RelayServer::refuseAndClose(RelayPeer &conn, const QString &why, quint8 result)
{
    RelayLog::write(QStringLiteral("refused %1 %2: %3").arg(role(conn), conn.label(), why));
    m_stats.countRefusal(why);
    ack(conn, result);
    conn.closeAfterFlush(QStringLiteral("refused: ") + why, now());
}

// ---- demo ---------------------------------------------------------------------------

void RelayServer::handleDemoRecord(RelayPeer &filmer, QByteArrayView record)
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
    const RelayBlock shared = makeBlock(record.toByteArray()); // the one copy all Viewers share
    game->countDemoIn(shared->size());
    m_stats.countDemoIn(shared->size());
    tell([&](RelayObserver &o) { o.demoRecord(game->id(), *shared); });
    if (passOn(*game, shared)) {
        ack(filmer, 0);
        return;
    }
    // Back-pressure: the Filmer sends its next block only after this answer.
    RelayLog::write(QStringLiteral("%1: %2 delayed bytes held; the filmer waits")
                        .arg(gameText(game->id()))
                        .arg(game->heldBytes()));
    filmer.ackWithheld = true;
    filmer.pauseInput();
}

bool RelayServer::passOn(RelayGame &game, const RelayBlock &record)
{
    if (m_config.delaySeconds <= 0) {
        broadcastDemo(game, record);
        return true;
    }
    const bool wasIdle = !game.hasHeld();
    game.hold(record, now() + qint64(m_config.delaySeconds) * 1000);
    if (wasIdle)
        armDelayTimer();
    return !game.isHoldFull();
}

void RelayServer::broadcastDemo(RelayGame &game, const RelayBlock &record)
{
    if (!game.keepBroadcast(record))
        RelayLog::write(QStringLiteral("%1: current demo passed %2 bytes; Viewers joining now start "
                                       "with the next demo")
                            .arg(gameText(game.id()))
                            .arg(m_config.maxDemoMemory));
    const bool restart = packetType(*record) == DEMORESTART;
    tell([&](RelayObserver &o) { o.demoSent(game.id(), record); });
    m_stats.countDemoOut(record->size(), std::count_if(game.viewers().begin(), game.viewers().end(),
                                                       [&](const RelayPeer *v) { return restart || v->demoSynced; }));
    for (RelayPeer *viewer : game.viewers()) {
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
        RelayPeer *filmer = game.filmer();
        if (filmer && filmer->ackWithheld && !game.isHoldFull()) {
            filmer->ackWithheld = false;
            ack(*filmer, 0);
            filmer->resumeInput();
            if (!filmer->local())
                takeDeferred(*filmer);
        }
        if (!filmer && !game.hasHeld() && !game.isRemote())
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
    for (RelayPeer *viewer : game->viewers()) {
        viewer->send(game->filmerLeftRecord());
        viewer->gameId = 0;
        viewer->demoSynced = false;
        viewer->listed = false;
        viewer->lobbyIndex = -1;
    }
    broadcastReady(makeBlock(buildGameRemoved(gameId)));
    tell([&](RelayObserver &o) { o.gameClosed(gameId); });
    RelayLog::write(QStringLiteral("%1 removed").arg(gameText(gameId)));
}

// ---- writing ------------------------------------------------------------------------

void RelayServer::schedulePump(RelayConnection &conn)
{
    m_pumps.schedule(conn);
}

// ---- everyone -----------------------------------------------------------------------

void RelayServer::broadcastReady(const RelayBlock &record)
{
    for (RelayPeer *conn : m_conns) {
        if (conn->phase() == RelayConnection::Phase::Ready)
            conn->sendList(record);
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
    // A pass costs a record per changed game for every client: with a thousand busy games
    // and ten thousand clients that is ten million records. It is cut into turns of the
    // event loop, so that joins and blocks are not held up behind it.
    if (m_usersPass.empty()) {
        m_usersPass.assign(m_usersDirty.begin(), m_usersDirty.end());
        m_usersDirty.clear();
        m_usersPassRecords = 0;
    }
    const qint64 clients = std::max<qint64>(1, qint64(m_conns.size()));
    qint64 games = std::max<qint64>(1, kUsersRecordsPerTurn / clients);
    qint64 sent = 0;
    while (!m_usersPass.empty() && games-- > 0) {
        const quint32 id = m_usersPass.back();
        m_usersPass.pop_back();
        if (const RelayGame *game = findGame(id)) {
            broadcastReady(RelayBlock(game->row()));
            sent += clients;
        }
    }
    m_usersPassRecords += sent;
    if (!m_usersPass.empty()) {
        // The rest of the pass at the records' rate.
        m_usersTimer.start(int(sent * 1000 / kUsersRecordsPerSecond));
        return;
    }
    // Passes that cost much come less often.
    m_usersNotBeforeMs = now() + m_usersPassRecords * 1000 / kUsersRecordsPerSecond;
    if (!m_usersDirty.empty())
        m_usersTimer.start(int(std::max<qint64>(m_config.usersUpdateIntervalMs, m_usersNotBeforeMs - now())));
}

void RelayServer::sweep()
{
    const qint64 t = now();
    std::vector<std::pair<RelayPeer *, QString>> expired;
    for (RelayPeer *conn : m_conns) {
        if (conn->phase() == RelayConnection::Phase::AwaitHello
            && t - conn->connectedAtMs() > qint64(m_config.helloTimeoutSeconds) * 1000)
            expired.emplace_back(conn, QStringLiteral("no hello within %1 s").arg(m_config.helloTimeoutSeconds));
        else if (conn->phase() == RelayConnection::Phase::Closing
                 && t - conn->closingSinceMs() > qint64(m_config.closeTimeoutSeconds) * 1000)
            expired.emplace_back(conn, QStringLiteral("did not take its last answer in time"));
    }
    for (auto &[conn, reason] : expired)
        conn->abortWith(reason);
    // Records begun and not finished: a matter of the thread that reads them (workers
    // check their own).
    std::vector<RelayConnection *> local;
    for (RelayPeer *conn : m_conns) {
        if (conn->local())
            local.push_back(conn->local());
    }
    for (RelayConnection *conn : local) {
        if (conn->owner)
            conn->checkTimeouts(t, qint64(m_config.recordTimeoutSeconds) * 1000,
                                qint64(m_config.closeTimeoutSeconds) * 1000);
    }
}

void RelayServer::onClosed(RelayConnection &local, const QString &reason)
{
    m_pumps.forget(local);
    RelayPeer *peer = local.owner;
    local.owner = nullptr;
    if (peer)
        onPeerClosed(*peer, reason);
}

void RelayServer::onPeerClosed(RelayPeer &conn, const QString &reason)
{
    if (conn.phase() == RelayConnection::Phase::Closed)
        return;
    conn.markClosed();
    RelayLog::write(QStringLiteral("closed %1 %2: %3").arg(role(conn), conn.label(), reason));
    m_stats.connectionClosed(conn.port() == RelayConnection::Port::Filmer, reason);
    // Deleted once control is back in the event loop: a caller up the stack may hold it.
    if (const auto it = m_peers.find(conn.id()); it != m_peers.end()) {
        if (m_ended.empty())
            QMetaObject::invokeMethod(
                this, [this] { m_ended.clear(); }, Qt::QueuedConnection);
        m_ended.push_back(std::move(it->second));
        m_peers.erase(it);
    }
    // Swap-remove from the connection list.
    if (conn.index >= 0 && conn.index < qsizetype(m_conns.size()) && m_conns[size_t(conn.index)] == &conn) {
        RelayPeer *last = m_conns.back();
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
