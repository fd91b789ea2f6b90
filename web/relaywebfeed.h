#pragma once
// What the web page shows of the relay, handed from the games' thread to the web's thread:
// the games, their lobbies and last chat lines, copied whole into a snapshot that neither
// thread changes once it is made. A change publishes a new snapshot at most once per
// interval, and a quiet relay once a second (demo bytes, the cluster's counters), so the
// games' thread pays a bounded share however often pages are asked for.

#include "relayobserver.h"
#include "relaywebpages.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace arbelon {

class RelayFacts;
class RelayServer;
class RelayStats;

struct WebSnapshot {
    QList<RelayGameView> games;                   // by id
    std::map<quint32, QList<web::ChatLine>> chat; // a game's last lines, oldest first
    QByteArray extraMetrics;                      // the layers above, in the metrics' text format
    const RelayGameView *game(quint32 id) const;
};

class RelayWebFeed : public QObject, public RelayObserver {
    Q_OBJECT
public:
    static constexpr int kChatLines = 100;

    // intervalMs 0: every change publishes at once (tests). The server must outlive this
    // object, which lives on the server's thread.
    explicit RelayWebFeed(RelayServer &server, int intervalMs = 100, QObject *parent = nullptr);
    ~RelayWebFeed() override;

    // Any thread.
    std::shared_ptr<const WebSnapshot> snapshot() const;
    const RelayStats &stats() const { return m_stats; } // atomic counters
    QHostAddress listenAddress() const { return m_listen; }
    quint16 viewerPort() const { return m_viewerPort; }
    // What is on in the games, or null; set before the page starts, outlives it.
    void setFacts(const RelayFacts *facts) { m_facts = facts; }
    const RelayFacts *facts() const { return m_facts; }

    // Called on the server's thread with each snapshot.
    void setExtraMetrics(std::function<QByteArray()> metrics);

    void gameOpened(const RelayGameView &game) override;
    void gameClosed(quint32 gameId) override;
    void lobbyChanged(quint32 gameId) override;
    void chatLine(quint32 gameId, const QByteArray &userName, const QByteArray &text) override;
    void demoRecord(quint32 gameId, const QByteArray &record) override;

private:
    void changed();
    void publish();

    RelayServer &m_server;
    const RelayStats &m_stats;
    const QHostAddress m_listen;
    const quint16 m_viewerPort;
    const int m_intervalMs;
    QTimer m_due;       // the next publication after a change
    QTimer m_heartbeat; // a quiet relay's
    QElapsedTimer m_sincePublished;
    std::map<quint32, std::deque<web::ChatLine>> m_chat;
    std::function<QByteArray()> m_extraMetrics;
    const RelayFacts *m_facts = nullptr;

    mutable std::mutex m_mutex;
    std::shared_ptr<const WebSnapshot> m_snapshot;
};

} // namespace arbelon
