#include "clusternode.h"

#include "clusternames.h"
#include "factsjson.h"
#include "natslink.h"
#include "records.h"
#include "relaylog.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSet>

#include <algorithm>

namespace arbelon {

namespace {
constexpr int kMaxPeers = 256; // a publisher inventing names cannot grow the node without end
constexpr int kMaxRemoteGames = 8192;
constexpr int kLobbyRepublishBeats = 5; // lobby states again every 5 beats, for nodes that missed one
constexpr int kLobbyCoalesceMs = 100;
// A closed game's removal waits this long at most for its last record to be stored, and a
// node reading it this long at most for that record to arrive; its stream outlives both.
constexpr int kCloseStoreWaitMs = 5000;
constexpr int kCloseDrainMs = 15000;
constexpr int kStreamGraceMs = 30000;
// A chat line numbered further ahead than this of the last one is no line of its owner's:
// taken, it would silence the game's chat until that number came round.
constexpr quint64 kMaxChatJump = 10000;
constexpr int kChatterNames = 100;
constexpr size_t kMaxChatters = 4096;

quint16 slotOf(quint32 gameId) { return quint16(gameId >> clustermsg::kLocalIdBits); }

QString log(const QString &text) { return QStringLiteral("cluster: ") + text; }

bool isLoopbackUrl(const QString &url)
{
    QString host = url.section(QLatin1String("://"), 1).section(QLatin1Char('@'), -1);
    host = host.left(host.lastIndexOf(QLatin1Char(':')));
    return host == QLatin1String("localhost") || host.startsWith(QLatin1String("127."))
           || host == QLatin1String("[::1]");
}
} // namespace

using namespace clusternames;

bool ClusterNode::isUnauthenticated() const
{
    if (m_config.auth.identifies())
        return false;
    for (const QString &url : m_config.servers) {
        if (!isLoopbackUrl(url) && !url.section(QLatin1String("://"), 1).contains(QLatin1Char('@')))
            return true;
    }
    return false;
}

ClusterNode::ClusterNode(ClusterConfig config, ClusterRelay *relay, QObject *parent)
    : QObject(parent), m_config(std::move(config)), m_relay(relay)
{
    // Tells a restarted node (same name) from the one before it.
    m_epoch = quint64(QDateTime::currentMSecsSinceEpoch()) << 16 | QRandomGenerator::global()->bounded(65536u);
    m_clock.start();
    m_beatTimer.setInterval(m_config.heartbeatMs);
    connect(&m_beatTimer, &QTimer::timeout, this, &ClusterNode::beat);
    m_lobbyTimer.setSingleShot(true);
    m_lobbyTimer.setInterval(kLobbyCoalesceMs);
    connect(&m_lobbyTimer, &QTimer::timeout, this, [this] {
        for (quint32 id : std::exchange(m_lobbyDirty, {}))
            publishLobby(id);
    });
}

ClusterNode::~ClusterNode() = default;

bool ClusterNode::start(QString *error)
{
    if (!clustermsg::validNodeName(m_config.nodeName)) {
        *error = QStringLiteral("node name must be 1 to 32 of A-Z a-z 0-9 _ -");
        return false;
    }
    NatsLink::Settings s;
    s.servers = m_config.servers;
    s.name = QStringLiteral("arbelon-relay ") + QString::fromLatin1(m_config.nodeName);
    s.reconnectWaitMs = m_config.reconnectWaitMs;
    s.requestWaitMs = m_config.requestWaitMs;
    s.publishAckWaitMs = m_config.publishAckWaitMs;
    s.maxInboxBytes = m_config.maxInboxBytes;
    s.auth = m_config.auth;
    s.inboxPrefix = inboxPrefix(m_config.nodeName);
    if (!m_config.peers.isEmpty() && !slotOfPeer(m_config.peers, m_config.nodeName)) {
        *error = QStringLiteral("this node's name \"%1\" is not among --cluster-peers (or past slot %2)")
                     .arg(QString::fromLatin1(m_config.nodeName))
                     .arg(clustermsg::kMaxSlot);
        return false;
    }
    m_link = std::make_unique<NatsLink>(s);
    connect(m_link.get(), &NatsLink::connectionChanged, this, &ClusterNode::onConnection);
    connect(m_link.get(), &NatsLink::message, this, &ClusterNode::onMessage);
    connect(m_link.get(), &NatsLink::stored, this, &ClusterNode::onStored);
    connect(m_link.get(), &NatsLink::problem, this, [](const QString &text) { RelayLog::write(log(text)); });
    if (!m_link->start(error))
        return false;
    QString why;
    m_controlSub = m_link->subscribe(controlWildcard(), &why);
    if (!m_controlSub) {
        *error = QStringLiteral("cannot subscribe to %1: %2").arg(QString::fromLatin1(controlWildcard()), why);
        return false;
    }
    if (isUnauthenticated())
        RelayLog::write(log(QStringLiteral("warning: joining without credentials through servers not on this "
                                           "machine; anyone who reaches them can speak for any node "
                                           "(see --cluster-user-file and the other credentials)")));
    m_connected = m_link->isConnected();
    if (!m_connected)
        RelayLog::write(log(QStringLiteral("NATS not reachable yet; local games are served, retrying")));
    m_beatTimer.start();
    QTimer::singleShot(0, this, &ClusterNode::beat);
    return true;
}

void ClusterNode::leave()
{
    if (!m_link)
        return;
    // Leaving is not waited for: its games go at once, with their last blocks named for the
    // nodes that still read them.
    for (const auto &[id, game] : m_local) {
        if (!game.shared)
            continue;
        ClusterMessage m = make(ClusterMessage::GameRemove);
        m.gameId = id;
        m.seq = game.lastPublished;
        send(m);
    }
    // Nodes still reading a game's last records keep them: the stream goes only when it
    // holds nothing another node may read; else its age bound and the next start empty it.
    if (m_streamReady && m_streamsToPurge.empty()
        && std::none_of(m_local.begin(), m_local.end(), [](const auto &g) { return g.second.shared; }))
        m_link->deleteStream(streamName(m_config.nodeName), nullptr);
    if (m_joined) {
        m_link->kvDelete(nameKey(m_config.nodeName));
        m_link->kvDelete(slotKey(m_slot));
    }
    m_joined = false;
    m_beatTimer.stop();
    m_link.reset();
    RelayLog::write(log(QStringLiteral("node \"%1\" left the cluster").arg(QString::fromLatin1(m_config.nodeName))));
}

QList<ClusterGameInfo> ClusterNode::remoteGames() const
{
    QList<ClusterGameInfo> out;
    for (const auto &[id, game] : m_remote)
        out.append(game.info);
    return out;
}

quint64 ClusterNode::demoDuplicatesDropped() const
{
    quint64 n = 0;
    for (const auto &[id, game] : m_remote)
        n += game.feed ? game.feed->duplicates() : 0;
    return n;
}

// ---- registry and heartbeat ---------------------------------------------------------

void ClusterNode::onConnection(bool connected)
{
    if (connected == m_connected)
        return;
    m_connected = connected;
    RelayLog::write(log(connected ? QStringLiteral("NATS connected") : QStringLiteral("NATS lost; local games go on, reconnecting")));
    if (connected)
        beat(); // re-announce at once
}

ClusterNode::Claim ClusterNode::claim(const QByteArray &key, const QByteArray &value, quint64 *revision)
{
    QString why;
    if (*revision) {
        const NatsLink::KvResult updated = m_link->kvUpdate(key, value, *revision, revision, &why);
        if (updated == NatsLink::KvResult::Ok)
            return Claim::Ours;
        if (updated == NatsLink::KvResult::Failed)
            return Claim::Unknown; // no answer: more requests now would only hold the thread longer
    }
    if (m_link->kvCreate(key, value, revision, &why) == NatsLink::KvResult::Ok)
        return Claim::Ours;
    // Ours from before a reconnect, with a revision this node did not see (the answer to an
    // update that was stored can be lost in a failover).
    quint64 current = 0;
    const std::optional<QByteArray> held = m_link->kvGet(key, &current);
    if (!held)
        return Claim::Unknown; // the registry does not answer now: no one is known to hold it
    if (*held != value) {
        *revision = 0;
        return Claim::Theirs;
    }
    return m_link->kvUpdate(key, value, current, revision, &why) == NatsLink::KvResult::Ok ? Claim::Ours
                                                                                           : Claim::Unknown;
}

void ClusterNode::tryJoin()
{
    QString why;
    if (!m_bucketOpen) {
        m_bucketOpen = m_link->openBucket(registryBucket(), m_config.registryTtlMs, m_config.streamReplicas, &why);
        if (!m_bucketOpen) {
            RelayLog::write(log(QStringLiteral("cannot open the node registry: %1; retrying").arg(why)));
            return;
        }
    }
    const QByteArray me = m_config.nodeName + ' ' + QByteArray::number(m_epoch);
    const Claim name = claim(nameKey(m_config.nodeName), me, &m_nameRevision);
    if (name == Claim::Unknown)
        return; // the registry is not answering: the next beat asks again
    if (name == Claim::Theirs) {
        if (!m_nameRefusedLogged)
            RelayLog::write(log(QStringLiteral("node name \"%1\" is in use by another running node; not joining "
                                               "until it is free (choose another --node-name)")
                                    .arg(QString::fromLatin1(m_config.nodeName))));
        m_nameRefusedLogged = true;
        return;
    }
    m_nameRefusedLogged = false;
    // A listed node holds the slot of its place and no other: the servers may allow it no other key.
    const quint16 listed = slotOfPeer(m_config.peers, m_config.nodeName);
    if (!m_slot || claim(slotKey(m_slot), me, &m_slotRevision) != Claim::Ours) {
        const quint16 first = listed ? listed : m_slot ? m_slot : quint16(1 + qHash(m_config.nodeName) % clustermsg::kMaxSlot);
        quint16 found = 0;
        for (int i = 0; i < (listed ? 1 : clustermsg::kMaxSlot) && !found; ++i) {
            const quint16 slot = quint16(1 + (first - 1 + i) % clustermsg::kMaxSlot);
            m_slotRevision = 0;
            const Claim held = claim(slotKey(slot), me, &m_slotRevision);
            if (held == Claim::Ours)
                found = slot;
            else if (held == Claim::Unknown || !m_link->isConnected())
                return; // not a scan of thousands of slots while the registry does not answer
        }
        if (!found) {
            RelayLog::write(log(listed ? QStringLiteral("slot %1 (this node's place in --cluster-peers) is held by "
                                                        "another node; every node needs the same list; retrying")
                                             .arg(listed)
                                       : QStringLiteral("no free node slot; retrying")));
            return;
        }
        if (m_slot && found != m_slot)
            RelayLog::write(log(QStringLiteral("slot %1 was taken meanwhile; games opened before keep to this node").arg(m_slot)));
        if (!m_slot || found != m_slot) {
            m_slot = found;
            m_relay->setGameIdBase(quint32(m_slot) << clustermsg::kLocalIdBits);
        }
    }
    m_joined = true;
    RelayLog::write(log(QStringLiteral("node \"%1\" joined with slot %2 (game ids from %3)")
                            .arg(QString::fromLatin1(m_config.nodeName))
                            .arg(m_slot)
                            .arg((quint32(m_slot) << clustermsg::kLocalIdBits) + 1)));
    for (auto &[id, game] : m_local) {
        game.shared = slotOf(id) == m_slot;
        if (game.shared)
            shareGame(game);
    }
}

void ClusterNode::beat()
{
    if (!m_link)
        return;
    if (m_connected) {
        if (!m_joined) {
            tryJoin();
        } else {
            // Only a key held by another node ends this node's part; a registry that does not
            // answer (a NATS server failing over) does not, and heartbeats go on meanwhile.
            const QByteArray me = m_config.nodeName + ' ' + QByteArray::number(m_epoch);
            const Claim name = claim(nameKey(m_config.nodeName), me, &m_nameRevision);
            const Claim slot = name == Claim::Theirs ? Claim::Unknown : claim(slotKey(m_slot), me, &m_slotRevision);
            if (name == Claim::Theirs || slot == Claim::Theirs) {
                RelayLog::write(log(QStringLiteral("lost this node's registry entry to another node; rejoining")));
                m_joined = false;
            }
        }
    }
    if (m_joined) {
        ClusterMessage hb = make(ClusterMessage::Heartbeat);
        hb.slot = m_slot;
        hb.epoch = m_epoch;
        for (auto &[id, game] : m_local) {
            if (!game.shared)
                continue;
            if (!game.streamReady)
                shareGame(game);
            hb.games.append(game.info);
        }
        send(hb);
        sendFacts();
        for (auto &[id, game] : m_remote) {
            if (game.watched && !game.consumer)
                startConsumer(id, game);
        }
        if (++m_beats % kLobbyRepublishBeats == 0)
            publishAllLobbies();
    }
    // Peers not heard for too long are gone, with their games.
    std::vector<QByteArray> gone;
    for (const auto &[name, peer] : m_peers) {
        if (peer.seen.hasExpired(m_config.nodeTimeoutMs))
            gone.push_back(name);
    }
    for (const QByteArray &name : gone)
        dropPeer(name, QStringLiteral("no heartbeat for %1 ms").arg(m_config.nodeTimeoutMs));
}

void ClusterNode::sendFacts()
{
    if (!m_facts)
        return;
    for (auto &[id, game] : m_local) {
        if (!game.shared)
            continue;
        const std::shared_ptr<const LiveFacts> facts = m_facts->facts(id);
        if (!facts || facts->revision == game.factsRevision)
            continue;
        ClusterMessage m = make(ClusterMessage::GameFacts);
        m.gameId = id;
        m.record = QJsonDocument(factsJson(*facts)).toJson(QJsonDocument::Compact);
        if (m.record.size() > clustermsg::kMaxFacts)
            continue; // cannot be: a game's facts are bounded far below
        game.factsRevision = facts->revision;
        send(m);
    }
}

void ClusterNode::dropPeer(const QByteArray &node, const QString &why)
{
    const auto it = m_peers.find(node);
    if (it == m_peers.end())
        return;
    const std::set<quint32> games = it->second.games;
    m_peers.erase(it);
    RelayLog::write(log(QStringLiteral("node \"%1\" gone (%2); %3 games removed")
                            .arg(QString::fromLatin1(node), why)
                            .arg(games.size())));
    for (quint32 id : games)
        dropRemote(id);
    // Its members of the games that remain leave them.
    for (auto &[id, game] : m_remote)
        applyLobby(game.lobbies, id, node, {});
    for (auto &[id, game] : m_local) {
        applyLobby(game.lobbies, id, node, {});
        recountUsers(id, game);
    }
}

// ---- messages ---------------------------------------------------------------------

ClusterMessage ClusterNode::make(ClusterMessage::Type type) const
{
    ClusterMessage m;
    m.type = type;
    m.node = m_config.nodeName;
    return m;
}

void ClusterNode::send(const ClusterMessage &m)
{
    if (m_link && m_joined)
        m_link->publish(controlSubject(m_config.nodeName), clustermsg::encode(m));
}

void ClusterNode::reject(const QString &what)
{
    ++m_rejected;
    // The first few in full, then a count now and then: a flood costs no more than that.
    if (m_rejected <= 20 || m_rejected % 1000 == 0)
        RelayLog::write(log(QStringLiteral("ignored message (%1 so far): %2").arg(m_rejected).arg(what)));
}

void ClusterNode::onMessage(int subscription, const QByteArray &subject, const QByteArray &data, quint64)
{
    QString why;
    const std::optional<ClusterMessage> m = clustermsg::parse(data, &why);
    if (!m) {
        reject(QStringLiteral("%1: %2").arg(QString::fromLatin1(subject.left(64)), why));
        return;
    }
    if (subscription == m_controlSub) {
        // The sender is where it spoke: the servers let each node publish only there.
        const std::optional<QByteArray> sender = controlSender(subject);
        if (!sender || m->node != *sender) {
            reject(QStringLiteral("%1 from \"%2\" in the name of \"%3\"")
                       .arg(clustermsg::typeName(m->type), QString::fromLatin1(sender.value_or("?")), QString::fromLatin1(m->node)));
            return;
        }
        if (!m_config.peers.isEmpty() && !m_config.peers.contains(*sender)) {
            reject(QStringLiteral("\"%1\" is not among --cluster-peers").arg(QString::fromLatin1(*sender)));
            return;
        }
        if (m->type == ClusterMessage::DemoBlock) {
            reject(QStringLiteral("demo block on the control subject from \"%1\"").arg(QString::fromLatin1(m->node)));
            return;
        }
        handleControl(*m);
        return;
    }
    for (auto &[id, game] : m_remote) {
        if (game.consumer != subscription)
            continue;
        if (m->type != ClusterMessage::DemoBlock || m->gameId != id || m->node != game.node
            || subject != demoSubject(game.node, id)) {
            reject(QStringLiteral("%1 in the demo stream of game %2").arg(clustermsg::typeName(m->type)).arg(id));
            return;
        }
        handleDemo(game, *m);
        return;
    }
}

void ClusterNode::handleControl(const ClusterMessage &m)
{
    if (m.node == m_config.nodeName) {
        if (m.type == ClusterMessage::Heartbeat && m.epoch != m_epoch)
            reject(QStringLiteral("another node calls itself \"%1\"").arg(QString::fromLatin1(m.node)));
        return;
    }
    auto peerIt = m_peers.find(m.node);
    if (m.type == ClusterMessage::Heartbeat) {
        if (peerIt != m_peers.end() && peerIt->second.epoch != m.epoch)
            dropPeer(m.node, QStringLiteral("restarted"));
        peerIt = m_peers.find(m.node);
        if (peerIt == m_peers.end()) {
            if (int(m_peers.size()) >= kMaxPeers) {
                reject(QStringLiteral("more than %1 nodes; \"%2\" not listed").arg(kMaxPeers).arg(QString::fromLatin1(m.node)));
                return;
            }
            for (const auto &[name, peer] : m_peers) {
                if (peer.slot == m.slot) {
                    reject(QStringLiteral("\"%1\" claims slot %2 of \"%3\"").arg(QString::fromLatin1(m.node)).arg(m.slot).arg(QString::fromLatin1(name)));
                    return;
                }
            }
            if (const quint16 listed = slotOfPeer(m_config.peers, m.node); listed && m.slot != listed) {
                reject(QStringLiteral("\"%1\" claims slot %2, not its listed %3").arg(QString::fromLatin1(m.node)).arg(m.slot).arg(listed));
                return;
            }
            if (m.slot == m_slot && m_joined) {
                reject(QStringLiteral("\"%1\" claims this node's slot %2").arg(QString::fromLatin1(m.node)).arg(m.slot));
                return;
            }
            Peer peer;
            peer.epoch = m.epoch;
            peer.slot = m.slot;
            peerIt = m_peers.emplace(m.node, std::move(peer)).first;
            RelayLog::write(log(QStringLiteral("node \"%1\" seen (slot %2)").arg(QString::fromLatin1(m.node)).arg(m.slot)));
            publishAllLobbies(); // it missed them
        }
        peerIt->second.seen.start();
        handlePeerGames(peerIt->second, m.node, m.games, true);
        return;
    }
    if (peerIt == m_peers.end())
        return; // its next heartbeat brings everything
    Peer &peer = peerIt->second;
    switch (m.type) {
    case ClusterMessage::GameAnnounce:
        handlePeerGames(peer, m.node, m.games, false);
        break;
    case ClusterMessage::GameRemove:
        if (peer.games.erase(m.gameId))
            closeRemote(m.gameId, m.seq);
        break;
    case ClusterMessage::LobbyState:
        handleLobby(m);
        break;
    case ClusterMessage::GameFacts: {
        const auto it = m_remote.find(m.gameId);
        if (!m_facts || it == m_remote.end() || it->second.node != m.node)
            break;
        QJsonParseError error{};
        const QJsonDocument json = QJsonDocument::fromJson(m.record, &error);
        if (error.error != QJsonParseError::NoError || !json.isObject()) {
            reject(QStringLiteral("facts of game %1 are no JSON object").arg(m.gameId));
            break;
        }
        m_facts->setRemote(m.gameId, factsFromJson(json.object()));
        break;
    }
    case ClusterMessage::ChatRequest: {
        const auto it = m_local.find(m.gameId);
        if (it == m_local.end() || !it->second.shared)
            break;
        if (m_remoteChat.size() >= kMaxChatters)
            m_remoteChat.clear();
        auto bucket = m_remoteChat.try_emplace({m.node, m.user}, m_config.chatBurst, m_config.chatLinesPerSecond).first;
        if (!bucket->second.take(m_clock.elapsed())) {
            reject(QStringLiteral("chat of \"%1\" from \"%2\" above the rate").arg(QString::fromLatin1(m.user), QString::fromLatin1(m.node)));
            break;
        }
        m_relay->remoteChatLine(m.gameId, m.user, m.text); // the relay orders it; chatLine publishes it
        break;
    }
    case ClusterMessage::ChatLine: {
        const auto it = m_remote.find(m.gameId);
        if (it == m_remote.end() || it->second.node != m.node || m.seq <= it->second.lastChat)
            break;
        if (it->second.lastChat && m.seq - it->second.lastChat > kMaxChatJump) {
            reject(QStringLiteral("chat line %1 of game %2, %3 ahead of the last").arg(m.seq).arg(m.gameId).arg(m.seq - it->second.lastChat));
            break;
        }
        it->second.lastChat = m.seq;
        m_relay->remoteChatLine(m.gameId, m.user, m.text);
        break;
    }
    default:
        break;
    }
}

void ClusterNode::handlePeerGames(Peer &peer, const QByteArray &node, const QList<ClusterGameInfo> &games, bool whole)
{
    std::set<quint32> listed;
    for (const ClusterGameInfo &g : games) {
        if (slotOf(g.id) != peer.slot) {
            reject(QStringLiteral("\"%1\" (slot %2) announces game %3 of another slot").arg(QString::fromLatin1(node)).arg(peer.slot).arg(g.id));
            continue;
        }
        if (!peer.games.count(g.id) && int(peer.games.size()) >= m_config.maxGamesPerNode) {
            reject(QStringLiteral("\"%1\" lists more than %2 games").arg(QString::fromLatin1(node)).arg(m_config.maxGamesPerNode));
            continue;
        }
        listed.insert(g.id);
        peer.games.insert(g.id);
        upsertRemote(node, g);
    }
    if (!whole)
        return;
    for (auto it = peer.games.begin(); it != peer.games.end();) {
        if (listed.count(*it)) {
            ++it;
            continue;
        }
        dropRemote(*it);
        it = peer.games.erase(it);
    }
}

void ClusterNode::upsertRemote(const QByteArray &node, const ClusterGameInfo &g)
{
    auto it = m_remote.find(g.id);
    if (it == m_remote.end()) {
        if (int(m_remote.size()) >= kMaxRemoteGames) {
            reject(QStringLiteral("more than %1 remote games").arg(kMaxRemoteGames));
            return;
        }
        RemoteGame game;
        game.node = node;
        game.info = g;
        m_remote.emplace(g.id, std::move(game));
        m_relay->addRemoteGame(g);
        publishLobby(g.id);
        return;
    }
    if (it->second.info == g)
        return;
    it->second.info = g;
    m_relay->updateRemoteGame(g);
    if (it->second.watched && !it->second.consumer)
        startConsumer(g.id, it->second);
}

void ClusterNode::dropRemote(quint32 gameId)
{
    const auto it = m_remote.find(gameId);
    if (it == m_remote.end())
        return;
    const int consumer = it->second.consumer;
    m_remote.erase(it);
    m_relay->removeRemoteGame(gameId);
    // Last: ending a stream's consumer may wait on the servers for up to a request's time.
    if (consumer && m_link)
        m_link->unsubscribe(consumer);
}

// ---- lobbies ----------------------------------------------------------------------

void ClusterNode::lobbyChanged(quint32 gameId)
{
    m_lobbyDirty.insert(gameId);
    if (!m_lobbyTimer.isActive())
        m_lobbyTimer.start();
    const auto it = m_local.find(gameId);
    if (it != m_local.end())
        recountUsers(gameId, it->second);
}

void ClusterNode::publishLobby(quint32 gameId)
{
    const bool local = m_local.count(gameId) && m_local.at(gameId).shared;
    if (!local && !m_remote.count(gameId))
        return;
    const LocalLobby lobby = m_relay->localLobby(gameId);
    ClusterMessage m = make(ClusterMessage::LobbyState);
    m.gameId = gameId;
    m.users = lobby.users;
    m.names = lobby.listed.mid(0, clustermsg::kMaxNames);
    send(m);
}

void ClusterNode::flushLobby(quint32 gameId)
{
    // A Viewer named for its first line: everyone must have the name before the line, and
    // both travel on one subject, in the order they are sent.
    if (m_lobbyDirty.erase(gameId))
        publishLobby(gameId);
}

void ClusterNode::publishAllLobbies()
{
    for (const auto &[id, game] : m_local) {
        if (game.shared)
            publishLobby(id);
    }
    for (const auto &[id, game] : m_remote) {
        if (m_relay->localLobby(id).users)
            publishLobby(id);
    }
}

void ClusterNode::handleLobby(const ClusterMessage &m)
{
    // A node names --listed-users members and those who chatted: names past that bound (and an
    // allowance for chatters) only count, as they would here.
    LobbyPart part{m.users, m.names.mid(0, qMax(0, m_config.listedUsers) + kChatterNames)};
    if (const auto it = m_local.find(m.gameId); it != m_local.end()) {
        applyLobby(it->second.lobbies, m.gameId, m.node, std::move(part));
        recountUsers(m.gameId, it->second);
    } else if (const auto rit = m_remote.find(m.gameId); rit != m_remote.end()) {
        applyLobby(rit->second.lobbies, m.gameId, m.node, std::move(part));
    }
}

void ClusterNode::applyLobby(std::map<QByteArray, LobbyPart> &lobbies, quint32 gameId, const QByteArray &node,
                             LobbyPart part)
{
    LobbyPart &old = lobbies[node];
    // Sets, not list searches: a state of many names costs its length, not its square.
    const QSet<QByteArray> before(old.names.cbegin(), old.names.cend());
    const QSet<QByteArray> after(part.names.cbegin(), part.names.cend());
    for (const QByteArray &name : old.names) {
        if (!after.contains(name))
            m_relay->remoteLobbyLeave(gameId, name);
    }
    for (const QByteArray &name : part.names) {
        if (!before.contains(name))
            m_relay->remoteLobbyEnter(gameId, name);
    }
    if (part.users == 0)
        lobbies.erase(node);
    else
        old = std::move(part);
}

void ClusterNode::recountUsers(quint32 gameId, LocalGame &game)
{
    quint32 elsewhere = 0;
    for (const auto &[node, part] : game.lobbies)
        elsewhere += part.users;
    m_relay->setRemoteUsers(gameId, elsewhere);
    const quint32 users = m_relay->localLobby(gameId).users + elsewhere;
    if (users == game.info.users)
        return;
    game.info.users = users;
    announce(game);
}

// ---- games ------------------------------------------------------------------------

void ClusterNode::gameOpened(const RelayGameView &view)
{
    if (m_remote.count(view.id))
        return; // the relay's copy of a remote game
    LocalGame game;
    game.info.id = view.id;
    game.info.gameType = view.gameType;
    game.info.name = view.name.left(clustermsg::kMaxGameName);
    game.info.mod = view.mod.left(clustermsg::kMaxModName);
    game.info.filmer = view.filmer.left(clustermsg::kMaxUserName);
    game.info.users = view.users;
    game.shared = m_joined && slotOf(view.id) == m_slot;
    auto &stored = m_local[view.id] = std::move(game);
    if (stored.shared)
        shareGame(stored);
    else
        RelayLog::write(log(QStringLiteral("game %1 stays on this node (opened before it joined the cluster)").arg(view.id)));
}

void ClusterNode::shareGame(LocalGame &game)
{
    if (!m_link || !m_connected)
        return;
    const quint32 id = game.info.id;
    if (!game.streamReady) {
        QString why;
        if (!ensureStream(&why)) {
            RelayLog::write(log(QStringLiteral("game %1: %2; demo kept back until it can be made").arg(id).arg(why)));
            announce(game);
            return;
        }
        game.streamReady = true;
        // Records of the current demo that came meanwhile, in order, with their numbers.
        const QList<QByteArray> pending = std::exchange(game.unpublished, {});
        game.unpublishedBytes = 0;
        quint64 seq = game.nextBlock - quint64(pending.size());
        for (const QByteArray &record : pending)
            publishRecord(id, game, seq++, record);
    }
    announce(game);
}

bool ClusterNode::ensureStream(QString *why)
{
    if (m_streamReady)
        return true;
    const QByteArray stream = streamName(m_config.nodeName);
    const auto add = [&] {
        return m_link->addStream(stream, demoWildcard(m_config.nodeName), m_config.streamReplicas,
                                 m_config.nodeStreamMaxBytes, m_config.streamMaxAgeSeconds, why);
    };
    if (!add()) {
        // One left with other settings by an earlier version of the node is made again.
        if (!m_link->deleteStream(stream, nullptr) || !add())
            return false;
        m_streamEmptied = true;
    }
    // An earlier run's records carry game ids this run gives again.
    if (!m_streamEmptied && !m_link->purgeSubject(stream, demoWildcard(m_config.nodeName), why))
        return false;
    m_streamEmptied = true;
    m_streamReady = true;
    return true;
}

void ClusterNode::announce(const LocalGame &game)
{
    if (!game.shared)
        return;
    ClusterMessage m = make(ClusterMessage::GameAnnounce);
    m.games.append(game.info);
    send(m);
}

void ClusterNode::gameClosed(quint32 gameId)
{
    const auto it = m_local.find(gameId);
    if (it == m_local.end() || it->second.closing)
        return;
    LocalGame &game = it->second;
    if (!game.shared || !m_link) {
        m_local.erase(it);
        return;
    }
    // The removal goes out behind the last record, not ahead of it: the other nodes read the
    // records from the stream and the removal from the control subject, which do not wait
    // for each other. It stays listed in the heartbeats until then.
    game.closing = true;
    if (!game.streamReady)
        shareGame(game); // a last try to publish what was kept back for the stream
    if (game.lastMsgId.isEmpty() || !game.streamReady) {
        finishClose(gameId);
        return;
    }
    QTimer::singleShot(kCloseStoreWaitMs, this, [this, gameId] {
        const auto it = m_local.find(gameId);
        if (it == m_local.end() || !it->second.closing)
            return;
        RelayLog::write(log(QStringLiteral("game %1: its last block was not confirmed stored; removed anyway").arg(gameId)));
        finishClose(gameId);
    });
}

void ClusterNode::finishClose(quint32 gameId)
{
    const auto it = m_local.find(gameId);
    if (it == m_local.end())
        return;
    ClusterMessage m = make(ClusterMessage::GameRemove);
    m.gameId = gameId;
    m.seq = it->second.lastPublished;
    send(m);
    m_local.erase(it);
    if (!m_link)
        return;
    // Nodes still reading it get the time to finish.
    m_streamsToPurge.insert(gameId);
    QTimer::singleShot(kStreamGraceMs, this, [this, gameId] {
        if (m_streamsToPurge.erase(gameId) && m_link && !m_local.count(gameId))
            m_link->purgeSubject(streamName(m_config.nodeName), demoSubject(m_config.nodeName, gameId), nullptr);
    });
}

void ClusterNode::chatLine(quint32 gameId, const QByteArray &userName, const QByteArray &text)
{
    const auto it = m_local.find(gameId);
    if (it == m_local.end() || !it->second.shared)
        return; // a remote game's lines come from its owner
    flushLobby(gameId);
    ClusterMessage m = make(ClusterMessage::ChatLine);
    m.gameId = gameId;
    m.seq = it->second.nextChat++;
    m.user = userName.left(clustermsg::kMaxUserName);
    m.text = text.left(clustermsg::kMaxChatText);
    send(m);
}

void ClusterNode::sendChat(quint32 gameId, const QByteArray &userName, const QByteArray &text)
{
    if (!m_remote.count(gameId))
        return;
    flushLobby(gameId);
    ClusterMessage m = make(ClusterMessage::ChatRequest);
    m.gameId = gameId;
    m.user = userName.left(clustermsg::kMaxUserName);
    m.text = text.left(clustermsg::kMaxChatText);
    send(m);
}

// ---- demos ------------------------------------------------------------------------

void ClusterNode::demoRecord(quint32 gameId, const QByteArray &record)
{
    const auto it = m_local.find(gameId);
    if (it == m_local.end())
        return;
    LocalGame &game = it->second;
    const quint64 seq = game.nextBlock++;
    const bool start = packetType(record) == DEMORESTART;
    if (!game.shared)
        return;
    if (game.streamReady) {
        publishRecord(gameId, game, seq, record);
        return;
    }
    // Kept until the stream exists: the current demo only, within the stream's own bound.
    if (start) {
        game.unpublished.clear();
        game.unpublishedBytes = 0;
    }
    game.unpublished.append(record);
    game.unpublishedBytes += record.size();
    if (game.unpublishedBytes > m_config.streamMaxBytes) {
        game.unpublished.clear();
        game.unpublishedBytes = 0;
        RelayLog::write(log(QStringLiteral("game %1: demo too large to keep back; other nodes get the next one").arg(gameId)));
    }
}

void ClusterNode::publishRecord(quint32 gameId, LocalGame &game, quint64 seq, const QByteArray &record)
{
    ClusterMessage m = make(ClusterMessage::DemoBlock);
    m.gameId = gameId;
    m.seq = seq;
    m.record = record;
    const QByteArray msgId = QByteArray::number(gameId) + '-' + QByteArray::number(m_epoch) + '-' + QByteArray::number(seq);
    if (packetType(record) == DEMORESTART)
        game.demoStartMsgId = msgId;
    game.lastMsgId = msgId;
    game.lastPublished = seq;
    QString why;
    if (!m_link->publishStored(demoSubject(m_config.nodeName, gameId), clustermsg::encode(m), msgId, &why))
        RelayLog::write(log(QStringLiteral("game %1: block %2 not published: %3").arg(gameId).arg(seq).arg(why)));
}

void ClusterNode::onStored(const QByteArray &msgId, quint64 streamSeq)
{
    const quint32 gameId = msgId.left(msgId.indexOf('-')).toUInt();
    const auto it = m_local.find(gameId);
    if (it == m_local.end())
        return;
    if (it->second.lastMsgId == msgId) {
        it->second.lastMsgId.clear();
        if (it->second.closing) {
            finishClose(gameId);
            return;
        }
    }
    if (it->second.demoStartMsgId != msgId)
        return;
    // Late joiners elsewhere read from here.
    it->second.demoStartMsgId.clear();
    it->second.info.demoStartSeq = streamSeq;
    announce(it->second);
}

void ClusterNode::watchRemoteGame(quint32 gameId)
{
    const auto it = m_remote.find(gameId);
    if (it == m_remote.end())
        return;
    it->second.watched = true;
    if (!it->second.consumer)
        startConsumer(gameId, it->second);
}

void ClusterNode::startConsumer(quint32 gameId, RemoteGame &game)
{
    if (!m_link || !m_connected)
        return;
    QString why;
    game.feed = std::make_unique<DemoFeed>();
    game.consumer = m_link->consume(streamName(game.node), demoSubject(game.node, gameId), game.info.demoStartSeq, &why);
    if (!game.consumer)
        RelayLog::write(log(QStringLiteral("game %1: cannot read its demo yet: %2").arg(gameId).arg(why)));
}

void ClusterNode::handleDemo(RemoteGame &game, const ClusterMessage &m)
{
    for (const auto &[seq, record] : game.feed->push(m.seq, m.record))
        m_relay->remoteDemoRecord(m.gameId, seq, record);
    if (game.closingAfter && game.feed->lastDelivered() >= game.closingAfter)
        dropRemote(m.gameId); // game is gone from here on
}

void ClusterNode::closeRemote(quint32 gameId, quint64 lastSeq)
{
    const auto it = m_remote.find(gameId);
    if (it == m_remote.end())
        return;
    RemoteGame &game = it->second;
    if (!lastSeq || !game.consumer || !game.feed || game.feed->lastDelivered() >= lastSeq) {
        dropRemote(gameId);
        return;
    }
    game.closingAfter = lastSeq;
    QTimer::singleShot(kCloseDrainMs, this, [this, gameId, lastSeq] {
        const auto it = m_remote.find(gameId);
        if (it == m_remote.end() || it->second.closingAfter != lastSeq)
            return;
        RelayLog::write(log(QStringLiteral("game %1: removed by its node before block %2 arrived here")
                                .arg(gameId)
                                .arg(lastSeq)));
        dropRemote(gameId);
    });
}

} // namespace arbelon
