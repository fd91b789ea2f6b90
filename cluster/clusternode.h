#pragma once
// A relay node's part in a cluster, on a thread of its own (ClusterThread). It tells the
// other nodes about this node's games, lobbies, chat and demo records (from the relay's
// RelayObserver events) and tells the relay about theirs (through ClusterRelay).
//
// - Registry: a JetStream key-value bucket holds each running node's name and slot, created
//   only where absent and refreshed every beat, so a name in use is refused and a dead
//   node's entries expire. The slot (1..4095) is the high 12 bits of the node's game ids,
//   so ids are unique in the cluster without a request per game.
// - Games: a heartbeat each second carries the node's whole list; changes go out at once.
//   A node not heard for nodeTimeoutMs is gone with its games.
// - Demos: one stream per node, a subject per game; records carry a block sequence and a de-duplication id, and
//   a node reads a remote game's stream from its current demo's start (DemoFeed orders it).
// - Chat: a line in a remote game goes to the owning node as a request; the owner's relay
//   orders it with its own lines and the owner publishes the result, numbered.
// - Trust: each node publishes only under its own name (clusternames.h); a message's sender
//   is its subject's, and with --cluster-peers only listed nodes, each at its listed slot.
// Without NATS the relay's own games go on as before; the node joins again when it returns.

#include "clusterconfig.h"
#include "clustermessage.h"
#include "clusterrelay.h"
#include "demofeed.h"
#include "relayobserver.h"
#include "tokenbucket.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <map>
#include <memory>
#include <set>

namespace arbelon {

class NatsLink;
class RelayFacts;

class ClusterNode : public QObject, public RelayObserver {
    Q_OBJECT
public:
    ClusterNode(ClusterConfig config, ClusterRelay *relay, QObject *parent = nullptr);
    ~ClusterNode() override;

    // Starts connecting and beating; false only for settings that cannot work.
    bool start(QString *error);
    // Leaves the cluster cleanly: this node's games are removed everywhere at once and its
    // name is free again. Destroying a node without it looks like a crash to the others.
    void leave();

    // What is on in the games: this node's sent to the others with the heartbeat when it
    // changed, theirs taken in. Set before start; it outlives the node. Null: none.
    void setFacts(RelayFacts *facts) { m_facts = facts; }

    bool isJoined() const { return m_joined; }
    quint16 slot() const { return m_slot; }
    bool isRemoteGame(quint32 gameId) const { return m_remote.count(gameId) != 0; }
    QList<ClusterGameInfo> remoteGames() const;

    // ---- from the relay, for Viewers of games of other nodes ---------------------------
    // A local Viewer entered a remote game: read its demo from the current demo's start.
    void watchRemoteGame(quint32 gameId);
    // A local Viewer's chat line in a remote game, for its owner to order.
    void sendChat(quint32 gameId, const QByteArray &userName, const QByteArray &text);

    // ---- RelayObserver --------------------------------------------------------------
    void gameOpened(const RelayGameView &game) override;
    void gameClosed(quint32 gameId) override;
    void lobbyChanged(quint32 gameId) override;
    void chatLine(quint32 gameId, const QByteArray &userName, const QByteArray &text) override;
    void demoRecord(quint32 gameId, const QByteArray &record) override;

    // Counters for the log and the tests.
    quint64 rejectedMessages() const { return m_rejected; }
    quint64 demoDuplicatesDropped() const;

    // Whether the node joined without telling the servers who it is, to a server that is
    // not on this machine: anyone who reaches those servers can speak in the cluster.
    bool isUnauthenticated() const;

private:
    struct LobbyPart {
        quint32 users = 0;
        QList<QByteArray> names;
    };
    struct LocalGame {
        ClusterGameInfo info;
        bool shared = false; // numbered in this node's slot: known to the cluster
        bool streamReady = false;
        quint64 nextBlock = 1;
        quint64 nextChat = 1;
        QByteArray demoStartMsgId;     // the current demo's DEMORESTART, until its store is answered
        QByteArray lastMsgId;          // the last record published, until its store is answered
        quint64 lastPublished = 0;     // its block sequence
        bool closing = false;          // closed here; its removal waits for its last record's store
        QList<QByteArray> unpublished; // current demo while the stream could not be made
        qint64 unpublishedBytes = 0;
        std::map<QByteArray, LobbyPart> lobbies; // other nodes' members
        quint64 factsRevision = 0;               // of the facts last sent
    };
    struct RemoteGame {
        QByteArray node;
        ClusterGameInfo info;
        int consumer = 0;
        bool watched = false;
        std::unique_ptr<DemoFeed> feed;
        quint64 lastChat = 0;
        std::map<QByteArray, LobbyPart> lobbies;
        quint64 closingAfter = 0; // removed by its owner: dropped once this block is delivered
    };
    struct Peer {
        quint64 epoch = 0;
        quint16 slot = 0;
        QElapsedTimer seen;
        std::set<quint32> games;
    };

    void beat();
    void sendFacts(); // this node's games whose facts changed
    void tryJoin();
    enum class Claim { Ours,
                       Theirs,
                       Unknown };
    Claim claim(const QByteArray &key, const QByteArray &value, quint64 *revision);
    void onConnection(bool connected);
    void onMessage(int subscription, const QByteArray &subject, const QByteArray &data, quint64 streamSeq);
    void onStored(const QByteArray &msgId, quint64 streamSeq);
    void handleControl(const ClusterMessage &m);
    void handlePeerGames(Peer &peer, const QByteArray &node, const QList<ClusterGameInfo> &games, bool whole);
    void upsertRemote(const QByteArray &node, const ClusterGameInfo &game);
    void dropRemote(quint32 gameId);
    // The owner removed it after block lastSeq: its Viewers get every block up to it first.
    void closeRemote(quint32 gameId, quint64 lastSeq);
    // Tells the cluster that a game closed here is gone, once its last record is stored.
    void finishClose(quint32 gameId);
    void dropPeer(const QByteArray &node, const QString &why);
    void handleLobby(const ClusterMessage &m);
    void applyLobby(std::map<QByteArray, LobbyPart> &lobbies, quint32 gameId, const QByteArray &node, LobbyPart part);
    void handleDemo(RemoteGame &game, const ClusterMessage &m);
    void startConsumer(quint32 gameId, RemoteGame &game);
    void shareGame(LocalGame &game);
    void publishRecord(quint32 gameId, LocalGame &game, quint64 seq, const QByteArray &record);
    void announce(const LocalGame &game);
    // This node's demo stream, made (and on first use emptied of an earlier run's records).
    bool ensureStream(QString *why);
    void publishLobby(quint32 gameId);
    void flushLobby(quint32 gameId);
    void publishAllLobbies();
    void recountUsers(quint32 gameId, LocalGame &game);
    void send(const ClusterMessage &m);
    ClusterMessage make(ClusterMessage::Type type) const;
    void reject(const QString &what);

    ClusterConfig m_config;
    ClusterRelay *m_relay;
    RelayFacts *m_facts = nullptr;
    std::unique_ptr<NatsLink> m_link;
    int m_controlSub = 0;
    quint64 m_epoch = 0;
    bool m_connected = false;
    bool m_bucketOpen = false;
    bool m_joined = false;
    bool m_nameRefusedLogged = false;
    quint16 m_slot = 0;
    quint64 m_nameRevision = 0;
    quint64 m_slotRevision = 0;
    int m_beats = 0;
    QTimer m_beatTimer;
    QTimer m_lobbyTimer;
    std::set<quint32> m_lobbyDirty;
    std::map<quint32, LocalGame> m_local;
    std::map<quint32, RemoteGame> m_remote;
    std::map<QByteArray, Peer> m_peers;
    std::set<quint32> m_streamsToPurge; // removed games whose records other nodes may still read
    bool m_streamReady = false;
    bool m_streamEmptied = false;
    quint64 m_rejected = 0;
    // Chat rate of other nodes' users in this node's games, by node and user; forgotten
    // wholesale when it grows past its bound (a sender inventing names gains a burst).
    std::map<std::pair<QByteArray, QByteArray>, TokenBucket> m_remoteChat;
    QElapsedTimer m_clock;
};

} // namespace arbelon
