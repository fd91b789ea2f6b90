#pragma once
// A client as the server's logic sees it, on the thread that owns the games: who it is, where
// it stands in the lobbies, and the way to its socket, which is served either on the same
// thread (a RelayConnection beside it) or by a worker thread (through that worker's link).

#include "relayconnection.h"
#include "tokenbucket.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <deque>
#include <vector>

namespace arbelon {

// What the server asks of a connection served by another thread; each call is delivered
// to that thread in the order made.
class RelayPeerLink {
public:
    virtual ~RelayPeerLink() = default;
    virtual void send(quint64 id, const RelayBlock &record, bool list) = 0;
    virtual void startCatchUp(quint64 id, std::vector<RelayBlock> records) = 0;
    virtual void dropPendingDemo(quint64 id) = 0;
    virtual void setReady(quint64 id) = 0;
    virtual void closeAfterFlush(quint64 id, const QString &reason) = 0;
    virtual void abort(quint64 id, const QString &reason) = 0;
    virtual void pauseInput(quint64 id) = 0;
    virtual void resumeInput(quint64 id) = 0;
};

class RelayPeer {
public:
    using Port = RelayConnection::Port;
    using Phase = RelayConnection::Phase;

    struct Limits {
        int chatBurst;
        int chatLinesPerSecond;
        int joinBurst;
        int joinsPerSecond;
    };

    // Served on this thread by `local`, or elsewhere through `link`.
    RelayPeer(quint64 id, Port port, const QHostAddress &address, const QString &peerText,
              const Limits &limits, qint64 nowMs, RelayConnection *local, RelayPeerLink *link);

    // ---- identity -------------------------------------------------------------
    quint64 id() const { return m_id; }
    Port port() const { return m_port; }
    Phase phase() const { return m_phase; }
    qint64 connectedAtMs() const { return m_connectedAtMs; }
    qint64 closingSinceMs() const { return m_closingSinceMs; }
    // The client's address, IPv4 in its plain form: the key of the per-address cap.
    const QHostAddress &address() const { return m_address; }
    // "#id peer" and, once known, the user name: the label of every log line.
    QString label() const;
    RelayConnection *local() const { return m_local; }
    RelayPeerLink *link() const { return m_link; }

    // ---- lobby bookkeeping kept by the server ------------------------------------
    // The name the client signed in with.
    const QByteArray &name() const { return m_name; }
    // Sets the name and builds its USERENTERED / USERLEFT records once, to be shared.
    void setName(const QByteArray &name);
    // The name in the lobby it is in, unique there (the signed-in name until a lobby gives
    // it another); the lobby's records and chat lines carry this one.
    const QByteArray &lobbyName() const { return m_lobbyName; }
    void setLobbyName(const QByteArray &name);
    const RelayBlock &userEnteredRecord() const { return m_userEntered; }
    const RelayBlock &userLeftRecord() const { return m_userLeft; }
    quint32 gameId = 0;        // 0: in no lobby (Filmer: its own game)
    bool demoSynced = false;   // has had the DEMORESTART of the demo now being sent
    qsizetype index = -1;      // position in the server's connection list
    qsizetype lobbyIndex = -1; // position in its game's member list
    bool listed = false;       // announced by name to its lobby
    bool ackWithheld = false;  // Filmer: the answer to its last demo record waits for room
    bool floodRefusalLogged = false;
    bool takeChatToken(qint64 nowMs) { return m_chat.take(nowMs); }
    bool takeJoinToken(qint64 nowMs) { return m_joins.take(nowMs); }

    // ---- what reaches the socket ---------------------------------------------------
    void setReady();
    void send(const RelayBlock &record);
    // The game list's records (games added, removed, their counts): sent once nothing of
    // the lobby or the demo waits, so that a crowd's counts never hold up a block.
    void sendList(const RelayBlock &record);
    void startCatchUp(const std::vector<RelayBlock> &records);
    void dropPendingDemo();
    void pauseInput();
    void resumeInput();
    bool isInputPaused() const { return m_inputPaused; }
    // Records that a worker had read before the pause reached it, taken in order on resume.
    std::deque<QByteArray> deferred;
    // Reads nothing more, sends what is queued, then closes.
    void closeAfterFlush(const QString &reason, qint64 nowMs);
    // Closes at once, dropping what is queued. The server hears of the end through its
    // closing report, as for any other end.
    void abortWith(const QString &reason);
    // The connection has ended (its report reached the server).
    void markClosed()
    {
        m_phase = Phase::Closed;
        m_local = nullptr;
    }

private:
    const quint64 m_id;
    const Port m_port;
    const QHostAddress m_address;
    const QString m_peerText;
    const qint64 m_connectedAtMs;
    Phase m_phase = Phase::AwaitHello;
    qint64 m_closingSinceMs = 0;
    RelayConnection *m_local;
    RelayPeerLink *m_link;
    bool m_inputPaused = false;

    QByteArray m_name;
    QByteArray m_lobbyName;
    RelayBlock m_userEntered;
    RelayBlock m_userLeft;
    TokenBucket m_chat;
    TokenBucket m_joins;
};

} // namespace arbelon
