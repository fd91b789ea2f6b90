#pragma once
// The relay server: accepts Viewers and Filmers on their two ports, keeps the games and
// their lobbies, and passes each Filmer's demo records on to the Viewers of its game.
// Everything runs on the thread of the event loop that owns it.

#include "relayconfig.h"
#include "relayconnection.h"
#include "relayobserver.h"
#include "relaystats.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace arbelon {

class RelayGame;

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

    void onRecord(RelayConnection &conn, QByteArrayView record) override;
    void onClosed(RelayConnection &conn, const QString &reason) override;
    void schedulePump(RelayConnection &conn) override;
    qint64 nowMs() const override { return now(); }

private:
    qint64 now() const { return m_clock ? m_clock() : m_elapsed.elapsed(); }
    void acceptPending(QTcpServer &server, RelayConnection::Port port);

    // ---- hello ------------------------------------------------------------------
    void handleUserInfo(RelayConnection &conn, QByteArrayView record);
    void handleGameInfo(RelayConnection &conn, QByteArrayView record);
    void sendGameList(RelayConnection &conn);
    void refuseAndClose(RelayConnection &conn, const QString &why);

    // ---- lobby ------------------------------------------------------------------
    void handleWaitForGame(RelayConnection &conn, QByteArrayView record);
    void handleLeaveGame(RelayConnection &conn);
    void handleSendText(RelayConnection &conn, QByteArrayView record);
    void leaveLobby(RelayConnection &viewer, RelayGame &game);
    // Names a Viewer to every other member of its lobby.
    void announce(RelayGame &game, RelayConnection &viewer);

    // ---- demo -------------------------------------------------------------------
    void handleDemoRecord(RelayConnection &filmer, QByteArrayView record);
    void broadcastDemo(RelayGame &game, const QByteArray &record);
    void releaseDue();
    void armDelayTimer();
    void filmerLeft(RelayGame &game);
    void removeGame(quint32 gameId);

    // ---- everyone ---------------------------------------------------------------
    void broadcastReady(const QByteArray &record);
    void markUsersChanged(const RelayGame &game);
    void sendUsersUpdates();
    void sweep();
    void pumpAll();
    RelayGame *findGame(quint32 gameId) const;
    static void ack(RelayConnection &conn, quint8 result);
    RelayGameView view(const RelayGame &game) const;
    template <typename F> void tell(F &&f) const
    {
        for (RelayObserver *observer : m_observers)
            f(*observer);
    }
    static QString role(const RelayConnection &conn);

    RelayConfig m_config;
    QTcpServer m_viewerServer;
    QTcpServer m_filmerServer;
    std::vector<RelayConnection *> m_conns;
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
    QTimer m_usersTimer;
    QTimer m_delayTimer;
    QTimer m_sweepTimer;
    QElapsedTimer m_elapsed;
    std::function<qint64()> m_clock;
    std::vector<RelayObserver *> m_observers;
    RelayStats m_stats;
};

} // namespace arbelon
