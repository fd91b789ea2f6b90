#pragma once
// The listening socket in front of the web page. Qt's HTTP server keeps a request's bytes
// until it is complete and never times a client out, so this server bounds what it may
// hold: connections at once (in all and per address), the bytes of one request (the
// socket's read buffer: a longer request stalls), the time a begun request may take, and
// the time a connection may sit idle, and the answers queued for clients that do not read
// them (each connection holds its own back; this bounds them all).

#include "acceptloop.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>

#include <memory>
#include <vector>

class QTcpSocket;

namespace arbelon {

class HttpGuard : public QTcpServer {
    Q_OBJECT
public:
    struct Limits {
        int maxConnections = 256;
        int maxPerAddress = 32;
        qint64 maxRequestBytes = 16 * 1024;
        int requestTimeoutMs = 10000; // from the first byte of a request to its answer
        int idleTimeoutMs = 60000;    // nothing read or written
        qint64 maxQueuedBytes = qint64(1) << 20;       // answers not yet taken, per connection
        qint64 maxQueuedBytesTotal = qint64(64) << 20; // and over all connections
    };


    explicit HttpGuard(Limits limits, QObject *parent = nullptr);
    ~HttpGuard() override;
    // listen(), with connections taken as AcceptLoop does.
    bool open(const QHostAddress &address, quint16 port);

    int connectionCount() const { return int(m_live.size()); }
    qint64 refusedConnections() const { return m_refused; }
    qint64 timedOut() const { return m_timedOut; }
    qint64 overloadedConnections() const { return m_overloaded; }

    // Bytes of answers written and not yet taken by the clients, over all connections.
    qint64 queuedBytes() const;
    // Whether they are past the bound: a new request is then refused (and counted).
    bool overloaded();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Live {
        QPointer<QTcpSocket> socket;
        QHostAddress address;
        qint64 lastActivityMs = 0;
        qint64 requestSinceMs = -1; // bytes came in and no answer went out yet
    };

    void sweep();
    Live *find(const QTcpSocket *socket);

    const Limits m_limits;
    std::vector<Live> m_live;
    QHash<QHostAddress, int> m_perAddress;
    QElapsedTimer m_clock;
    QTimer m_sweep;
    qint64 m_refused = 0;
    qint64 m_timedOut = 0;
    qint64 m_overloaded = 0;
    std::unique_ptr<AcceptLoop> m_loop; // out of descriptors, waiting connections still hear 503
};

} // namespace arbelon
