#pragma once
// The relay server: accepts Viewers and Filmers on their two ports, keeps the games and
// their lobbies, and passes each Filmer's demo records on to the Viewers of its game.
// The games, lobbies and chat live on the thread of the event loop that owns the server;
// the sockets are served there too, or, with more than one worker, by worker threads.

#include "relayconfig.h"
#include "relayconnection.h"
#include "relaymailbox.h"
#include "relayobserver.h"
#include "relaypeer.h"
#include "relayworker.h"
#include "relaystats.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

namespace arbelon {

class RelayGame;

// A listening socket that hands each accepted descriptor on, so that the thread serving
// the connection is the one that makes its socket.
class RelayListener : public QTcpServer {
public:
    std::function<void(qintptr)> onDescriptor;

protected:
    void incomingConnection(qintptr descriptor) override { onDescriptor(descriptor); }
};

class RelayServer : public QObject, public RelayConnectionHandler {
    Q_OBJECT
public:
    explicit RelayServer(RelayConfig config, QObject *parent = nullptr);
    ~RelayServer() override;

    // Opens both ports; on failure returns false with the reason in *error.
    bool start(QString *error);
    // Closes both ports and every connection.
    void stop();

    quint16 viewerPort() const { return m_viewerServer.serverPort(); }
    quint16 filmerPort() const { return m_filmerServer.serverPort(); }
    const RelayConfig &config() const { return m_config; }
    int clientCount() const { return int(m_conns.size()); }
    // Worker threads serving connections; 0 when the server's own thread serves them.
    int workerCount() const { return int(m_workers.size()); }
    int gameCount() const { return int(m_games.size()); }
    // The games as they stand, by id; and one game (id 0 in the view when there is none).
    QList<RelayGameView> games() const;
    RelayGameView game(quint32 gameId) const;
    // Observers are not owned and must outlive the server or be removed first.
    void addObserver(RelayObserver *observer) { m_observers.push_back(observer); }
    void removeObserver(RelayObserver *observer) { std::erase(m_observers, observer); }
    // Counters for the metrics page; safe to read from any thread.
    const RelayStats &stats() const { return m_stats; }

    // Replaces the monotonic millisecond clock (tests drive the chat limit, the broadcast
    // delay and the hello timeout with it).
    void setClock(std::function<qint64()> clock) { m_clock = std::move(clock); }

    // Connections served on the server's own thread report here.
    void onRecord(RelayConnection &conn, QByteArrayView record) override;
    void onClosed(RelayConnection &conn, const QString &reason) override;
    void schedulePump(RelayConnection &conn) override;
    qint64 nowMs() const override { return now(); }

private:
    qint64 now() const { return m_clock ? m_clock() : m_elapsed.elapsed(); }
    void accept(qintptr descriptor, RelayConnection::Port port);
    RelayWorker *leastBusyWorker() const;
    void takeWorkerEvents();
    // Hands a worker's record to the logic, or keeps it while the peer's input is paused.
    void takeWorkerRecord(RelayPeer &peer, QByteArray record);
    void takeDeferred(RelayPeer &peer);
    void onPeerRecord(RelayPeer &peer, QByteArrayView record);
    void onPeerClosed(RelayPeer &peer, const QString &reason);

    // ---- hello ------------------------------------------------------------------
    void handleUserInfo(RelayPeer &conn, QByteArrayView record);
    void handleGameInfo(RelayPeer &conn, QByteArrayView record);
    void sendGameList(RelayPeer &conn);
    void refuseAndClose(RelayPeer &conn, const QString &why);

    // ---- lobby ------------------------------------------------------------------
    void handleWaitForGame(RelayPeer &conn, QByteArrayView record);
    void handleLeaveGame(RelayPeer &conn);
    void handleSendText(RelayPeer &conn, QByteArrayView record);
    void leaveLobby(RelayPeer &viewer, RelayGame &game);
    // Names a Viewer to every other member of its lobby.
    void announce(RelayGame &game, RelayPeer &viewer);

    // ---- demo -------------------------------------------------------------------
    void handleDemoRecord(RelayPeer &filmer, QByteArrayView record);
    void broadcastDemo(RelayGame &game, const RelayBlock &record);
    void releaseDue();
    void armDelayTimer();
    void filmerLeft(RelayGame &game);
    void removeGame(quint32 gameId);

    // ---- everyone ---------------------------------------------------------------
    void broadcastReady(const RelayBlock &record);
    void markUsersChanged(const RelayGame &game);
    void sendUsersUpdates();
    void sweep();
    void pumpAll();
    RelayGame *findGame(quint32 gameId) const;
    static void ack(RelayPeer &conn, quint8 result);
    RelayGameView view(const RelayGame &game) const;
    template <typename F> void tell(F &&f) const
    {
        for (RelayObserver *observer : m_observers)
            f(*observer);
    }
    static QString role(const RelayPeer &conn);
    RelayPeer::Limits peerLimits() const;

    RelayConfig m_config;
    RelayListener m_viewerServer;
    RelayListener m_filmerServer;
    std::unordered_map<quint64, std::unique_ptr<RelayPeer>> m_peers;
    std::vector<RelayPeer *> m_conns; // the open ones, for walking
    // Peers whose connection ended, kept until control is back in the event loop: a
    // caller may still hold one.
    std::vector<std::unique_ptr<RelayPeer>> m_ended;
    QHash<QHostAddress, int> m_perAddress; // open connections by client address
    std::map<quint32, std::unique_ptr<RelayGame>> m_games;
    quint32 m_nextGameId = 1;
    quint64 m_nextConnId = 1;
    bool m_stopping = false;
    // Connections with records to write; a connection is only ever deleted by an event
    // posted after it was listed here, so the list holds no dangling pointer when it runs.
    std::vector<RelayConnection *> m_toPump;
    std::vector<RelayConnection *> m_pumpBatch; // being pumped now; closed ones become null

    std::set<quint32> m_usersDirty;
    qint64 m_usersNotBeforeMs = 0; // the next pass of counts, by their cost
    std::vector<quint32> m_usersPass; // games of the pass under way, sent over several turns
    qint64 m_usersPassRecords = 0;
    QTimer m_usersTimer;
    QTimer m_delayTimer;
    QTimer m_sweepTimer;
    QElapsedTimer m_elapsed;
    std::function<qint64()> m_clock;
    std::vector<RelayObserver *> m_observers;

    // Worker threads: their reports arrive in one mailbox, declared before them so that
    // it outlives them.
    RelayMailbox<RelayWorkerEvent> m_workerEvents;
    std::unique_ptr<QSocketNotifier> m_workerEventsNotifier;
    std::vector<std::unique_ptr<RelayWorker>> m_workers;
    RelayStats m_stats;
};

} // namespace arbelon
