#pragma once
// One client connection of the relay server, on the thread that serves its socket: frames
// the records it sends (checking each header before its body is buffered) and feeds it the
// records the server sends from a queue of shared blocks, so one demo block is held once
// for any number of Viewers on any number of threads.

#include "receivebuffer.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <deque>
#include <memory>
#include <vector>

class QTcpSocket;

namespace arbelon {

class RelayConnection;
class RelayPeer;

// A record as queued for sending: immutable and shared, so that the threads serving
// Viewers hold one block between them and never copy it per Viewer.
using RelayBlock = std::shared_ptr<const QByteArray>;
inline RelayBlock makeBlock(QByteArray record) { return std::make_shared<const QByteArray>(std::move(record)); }

// What a connection reports to the server that owns it.
class RelayConnectionHandler {
public:
    virtual ~RelayConnectionHandler() = default;
    // One complete record whose type and size were checked for the connection's port.
    // The view is valid only during the call.
    virtual void onRecord(RelayConnection &conn, QByteArrayView record) = 0;
    // The connection has ended; it is deleted once control returns to the event loop.
    virtual void onClosed(RelayConnection &conn, const QString &reason) = 0;
    // The connection has records to write: call its pump() once control is back in the
    // event loop (one pass for all connections, so a burst leaves in one system call each).
    virtual void schedulePump(RelayConnection &conn) = 0;
    // The monotonic clock of the thread serving the connection, in milliseconds.
    virtual qint64 nowMs() const = 0;
};

class RelayConnection : public QObject {
    Q_OBJECT
public:
    enum class Port { Viewer,
                      Filmer };
    enum class Phase {
        AwaitHello, // connected, hello not yet accepted
        Ready,      // hello accepted
        Closing,    // refused: the last answers drain, then the socket closes
        Closed,
    };

    // Why input is held back; reading resumes when no reason is left.
    enum Pause : unsigned {
        PausedByServer = 1,  // a Filmer waits for room in its game's delay
        PausedForHello = 2,  // the hello is with the server, which has not answered yet
        PausedForCredit = 4, // records handed on and not yet taken by the server
    };

    // Takes ownership of the connected socket.
    RelayConnection(QTcpSocket *socket, Port port, quint64 id, qint64 maxQueueBytes,
                    RelayConnectionHandler &handler, qint64 nowMs, QObject *parent = nullptr);
    ~RelayConnection() override;

    // ---- identity -------------------------------------------------------------
    quint64 id() const { return m_id; }
    Port port() const { return m_port; }
    Phase phase() const { return m_phase; }
    bool isOpen() const { return m_phase == Phase::AwaitHello || m_phase == Phase::Ready; }
    qint64 connectedAtMs() const { return m_connectedAtMs; }
    qint64 closingSinceMs() const { return m_closingSinceMs; }
    // Since when a record begun by the client is unfinished, or -1 (none, or input paused
    // by the server itself).
    qint64 partialSinceMs() const { return m_paused ? -1 : m_partialSinceMs; }
    // The client's address, IPv4 in its plain form: the key of the per-address cap.
    const QHostAddress &address() const { return m_address; }
    QString peer() const { return m_peer; }
    // The server's view of this client, when the server runs on the same thread.
    RelayPeer *owner = nullptr;

    void setReady();

    // ---- output -----------------------------------------------------------------
    // Queues a record; a queue past its limit ends the connection (deferred, so callers
    // may be iterating over connections).
    // list: the game list's lane, which goes out only once the other has emptied.
    void send(const RelayBlock &record, bool list = false);
    // Demo records to send before anything queued: the current demo for a late joiner.
    void startCatchUp(std::vector<RelayBlock> records);
    // Forgets demo records not yet handed to the socket (the Viewer left its lobby).
    void dropPendingDemo();
    qint64 queuedBytes() const;
    // Hands queued records to the socket as far as the kernel takes them.
    void pump();

    // ---- input flow --------------------------------------------------------------
    // Stops taking records from the socket until every reason is withdrawn; what the
    // client sends meanwhile stays in the kernel, so TCP pushes back.
    void pauseInput(Pause why = PausedByServer) { m_paused |= why; }
    void resumeInput(Pause why = PausedByServer);
    bool isPaused() const { return m_paused != 0; }

    // Ends a connection whose record or whose closing has taken too long.
    void checkTimeouts(qint64 nowMs, qint64 recordTimeoutMs, qint64 closeTimeoutMs);

    // ---- ending ------------------------------------------------------------------
    // Reads nothing more, sends what is queued, then closes.
    void closeAfterFlush(const QString &reason, qint64 nowMs);
    // Closes at once, dropping what is queued.
    void abortWith(const QString &reason);

private:
    void onReadyRead();
    void processInput();
    // Hands every complete record at the front of *bytes to the server and drops it from
    // the view; false when the connection ended meanwhile.
    bool takeRecords(QByteArrayView *bytes);
    // Size of the record whose header is at the front, or -1 with m_error set.
    qint64 frameSize(QByteArrayView header);
    void schedulePump();
    bool takeNext(RelayBlock *next);
    qsizetype nextSize() const; // -1 when nothing is queued
    // Writes what the kernel takes now and hands the rest to Qt; false when not all of it
    // went (or the connection failed), so the caller stops for now.
    bool sendToKernel(const char *data, qint64 size);
    void failLater(const QString &reason);
    void onDisconnected();
    void finish(const QString &reason);
    static qint64 cost(const RelayBlock &record);

    QTcpSocket *m_socket;
    RelayConnectionHandler &m_handler;
    const Port m_port;
    const quint64 m_id;
    const qint64 m_maxQueueBytes;
    const qint64 m_connectedAtMs;
    QString m_peer;
    QHostAddress m_address;
    qint64 m_partialSinceMs = -1;
    Phase m_phase = Phase::AwaitHello;

    ReceiveBuffer m_in;
    qint64 m_expected = 0; // size of the record at the front once its header was checked
    unsigned m_paused = 0;
    bool m_inProcess = false;

    std::deque<RelayBlock> m_out;
    // After m_out and the catch-up; a vector read from m_listPos, as an empty deque would
    // cost every connection an allocation of its own.
    std::vector<RelayBlock> m_list;
    size_t m_listPos = 0;
    qint64 m_outBytes = 0;
    std::vector<RelayBlock> m_catchUp;
    size_t m_catchUpPos = 0;
    qsizetype m_catchUpAfter = 0; // queued records that go before the catch-up
    bool m_overflowed = false;
    bool m_disconnecting = false;
    bool m_inPump = false;
    bool m_pumpQueued = false;
    bool m_finishQueued = false;
    qint64 m_closingSinceMs = 0;
    QString m_closeReason;
    QString m_error;
};

} // namespace arbelon
