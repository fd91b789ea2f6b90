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
#include "relaypumpqueue.h"
#include "relayworker.h"
#include "relaystats.h"
#include "relayupstream.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>
#include "acceptloop.h"

#include <QTcpServer>
#include <QTcpSocket>
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
    std::function<void(int)> onRefused; // out of descriptors: that many turned away

    bool open(const QHostAddress &address, quint16 port)
    {
        if (!listen(address, port))
            return false;
        m_loop = std::make_unique<AcceptLoop>(*this, buildAckNak(akFull), onDescriptor, onRefused);
        return true;
    }
    void shut()
    {
        m_loop.reset();
        close();
    }
    ~RelayListener() override { m_loop.reset(); }

protected:
    void incomingConnection(qintptr descriptor) override { onDescriptor(descriptor); }

private:
    std::unique_ptr<AcceptLoop> m_loop;
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
    // ---- games of other relay nodes ------------------------------------------------
    // Games this server opens from now on are numbered first..last (a cluster gives each
    // node a range of its own); games already open keep their numbers.
    void setGameIdRange(quint32 first, quint32 last);
    void setUpstream(RelayUpstream *upstream) { m_upstream = upstream; }
    // The web page's port, told to each Viewer as it signs in (0: none).
    void setWebPort(quint16 port) { m_webPort = port; }
    bool isRemoteGame(quint32 gameId) const;
    // Another node's game: listed to every client here, open to Viewers. The view's users
    // count is every member on every node; an update changes the row (and the count).
    void addRemoteGame(const RelayGameView &game);
    void updateRemoteGame(const RelayGameView &game);
    void removeRemoteGame(quint32 gameId);
    // This server's own game: members it has on other nodes, counted in its Users.
    void setRemoteUsers(quint32 gameId, quint32 users);
    // A member on another node is named in (or leaves) a lobby this server lists.
    void remoteMemberEntered(quint32 gameId, const QByteArray &userName);
    void remoteMemberLeft(quint32 gameId, const QByteArray &userName);
    // Own game: a line from a Viewer elsewhere, ordered here like a local one (observers hear
    // it). Another node's game: the line as that node ordered it, for the members here.
    void remoteChatLine(quint32 gameId, const QByteArray &userName, const QByteArray &text);
    // A DEMORESTART or DEMOPACKET of another node's game, in order, each once.
    void remoteDemoRecord(quint32 gameId, const QByteArray &record);
    // This server's members of a game: how many, and the Viewers named in its lobby.
    quint32 localUsers(quint32 gameId) const;
    QList<QByteArray> localNamed(quint32 gameId) const;

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
    // A connection past a limit: its hello is answered "full" (within bounds), then it closes.
    // Out of descriptors, what waited at a port was turned away: logged once until it passes.
    void onRefusedForFiles(int count);
    void turnAway(std::unique_ptr<QTcpSocket> socket, qintptr descriptor, RelayConnection::Port port,
                  const QHostAddress &address);
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
    void refuseAndClose(RelayPeer &conn, const QString &why, quint8 result = akRefused);

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
    // A record accepted for broadcast: now, or after the delay. False when the Filmer must
    // wait for room in the delay.
    bool passOn(RelayGame &game, const RelayBlock &record);
    // Every member here: the Filmer when it is here, and the Viewers.
    void sendToLobby(const RelayGame &game, const RelayBlock &record, const RelayPeer *except = nullptr);
    void releaseDue();
    void armDelayTimer();
    void filmerLeft(RelayGame &game);
    void removeGame(quint32 gameId);

    // ---- everyone ---------------------------------------------------------------
    // A record of the game list to every client past its hello, in the list's lane.
    void broadcastReady(const RelayBlock &record);
    void markUsersChanged(const RelayGame &game);
    void sendUsersUpdates();
    void sweep();
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
    qint64 m_refusedForFiles = 0; // since the shortage began; -1: none now
    std::unordered_map<quint64, std::unique_ptr<RelayPeer>> m_peers;
    std::vector<RelayPeer *> m_conns; // the open ones, for walking
    // Peers whose connection ended, kept until control is back in the event loop: a
    // caller may still hold one.
    std::vector<std::unique_ptr<RelayPeer>> m_ended;
    QHash<QHostAddress, int> m_perAddress; // open connections by client address
    // Connections being told that the relay is full, at most so many.
    static constexpr int kMaxTurnAways = 64;
    static constexpr int kMaxTurnAwaysPerAddress = 2;
    int m_turnAways = 0;
    QHash<QHostAddress, int> m_turnAwaysPerAddress;
    std::map<quint32, std::unique_ptr<RelayGame>> m_games;
    quint32 m_nextGameId = 1;
    int m_remoteGameCount = 0;
    quint32 m_firstGameId = 1;
    quint32 m_lastGameId = 0xffffffffu;
    RelayUpstream *m_upstream = nullptr;
    quint16 m_webPort = 0;
    quint64 m_nextConnId = 1;
    bool m_stopping = false;
    // Connections served on this thread with records to write; a connection is only ever
    // deleted by an event posted after it was listed here, and forgotten when it closes.
    RelayPumpQueue m_pumps{this};

    std::set<quint32> m_usersDirty;
    qint64 m_usersNotBeforeMs = 0;    // the next pass of counts, by their cost
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
