#pragma once
// A relay's cluster node on a thread of its own: its registry calls wait on NATS round trips
// and its messages take decoding, neither of which may delay a block. The node is made, run
// and destroyed on that thread. This object stays on the games' thread: it hears the relay
// (RelayObserver, RelayUpstream) and posts what it hears to the node as calls carrying deep
// copies; the node's calls on the relay come back the same way and are made here, on the
// games' thread. The node reads this relay's lobbies from a copy kept beside it, which every
// lobby change updates.

#include "clusterbridge.h"
#include "clusterconfig.h"
#include "clustermailbox.h"
#include "relayobserver.h"
#include "relayupstream.h"

#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <future>
#include <set>

namespace arbelon {

class RelayFacts;
class RelayServer;

class ClusterThread : public QThread, public RelayObserver, public RelayUpstream {
    Q_OBJECT
public:
    ClusterThread(ClusterConfig config, RelayServer &server, QObject *parent = nullptr);
    // Ends the thread without leaving: to the other nodes, as a crash looks.
    ~ClusterThread() override;

    // Starts the thread and the node on it; false (with the reason) only for settings that
    // cannot work. Then add it to the server as an observer and its upstream.
    bool startNode(QString *error);
    // What is on in the games, shared with the other nodes; set before startNode.
    void setFacts(RelayFacts *facts) { m_facts = facts; }
    // Leaves the cluster cleanly (this relay's games leave every list at once) and ends the
    // thread; waits for both.
    void leave();

    // For the metrics, from any thread.
    bool isUnauthenticated() const { return m_unauthenticated.load(); }
    quint64 rejectedMessages() const { return m_rejected.load(); }
    // Demo records and chat lines held back by a full mailbox, both ways.
    quint64 heldBack() const { return m_toNode.heldBack() + m_toRelay.heldBack(); }

    // ---- RelayObserver, RelayUpstream: the games' thread -----------------------------
    void gameOpened(const RelayGameView &game) override;
    void gameClosed(quint32 gameId) override;
    void lobbyChanged(quint32 gameId) override;
    void chatLine(quint32 gameId, const QByteArray &userName, const QByteArray &text) override;
    void demoRecord(quint32 gameId, const QByteArray &record) override;
    void watchGame(quint32 gameId) override;
    void sendChat(quint32 gameId, const QByteArray &userName, const QByteArray &text) override;

protected:
    void run() override;

private:
    class NodeSide;

    void toNode(ClusterCall call);
    // A call carrying a copy of this relay's own members of the game.
    ClusterCall lobbyCall(ClusterCall::Kind kind, quint32 gameId) const;
    void postLobby(quint32 gameId);
    void flushLobbies();
    void fromNode();

    const ClusterConfig m_config;
    RelayServer &m_server;
    RelayFacts *m_facts = nullptr;
    ClusterBridge m_bridge;
    ClusterMailbox m_toNode;
    ClusterMailbox m_toRelay;
    QSocketNotifier m_fromNodeNotifier;
    // Lobby changes go to the node at most every few milliseconds per game: a crowd joining
    // costs the games' thread one copy of a lobby, not one per Viewer.
    std::set<quint32> m_lobbyDirty;
    QTimer m_lobbyTimer;
    std::promise<QString> m_started; // empty once the node runs, else why not
    std::atomic<bool> m_unauthenticated{false};
    std::atomic<quint64> m_rejected{0};
};

} // namespace arbelon
