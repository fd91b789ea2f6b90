#include "httpguard.h"

#include <QTcpSocket>

#include <algorithm>

namespace arbelon {

bool HttpGuard::open(const QHostAddress &address, quint16 port)
{
    if (!listen(address, port))
        return false;
    static const QByteArray busy("HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
    m_loop = std::make_unique<AcceptLoop>(
        *this, busy,
        [this](qintptr fd) {
            incomingConnection(fd);
            emit newConnection();
        },
        [this](int count) { m_refused += count; });
    return true;
}

HttpGuard::~HttpGuard() { m_loop.reset(); }

HttpGuard::HttpGuard(Limits limits, QObject *parent) : QTcpServer(parent), m_limits(limits)
{
    m_clock.start();
    m_sweep.setInterval(std::clamp(std::min(m_limits.requestTimeoutMs, m_limits.idleTimeoutMs) / 4, 50, 1000));
    connect(&m_sweep, &QTimer::timeout, this, &HttpGuard::sweep);
    m_sweep.start();
}

HttpGuard::Live *HttpGuard::find(const QTcpSocket *socket)
{
    const auto it = std::find_if(m_live.begin(), m_live.end(), [&](const Live &l) { return l.socket == socket; });
    return it == m_live.end() ? nullptr : &*it;
}

void HttpGuard::incomingConnection(qintptr descriptor)
{
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    bool isV4 = false;
    const quint32 v4 = socket->peerAddress().toIPv4Address(&isV4);
    const QHostAddress address = isV4 ? QHostAddress(v4) : socket->peerAddress();
    if (int(m_live.size()) >= m_limits.maxConnections || m_perAddress.value(address) >= m_limits.maxPerAddress) {
        ++m_refused;
        socket->write("HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
        socket->disconnectFromHost();
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(1000, socket, &QObject::deleteLater);
        return;
    }
    // A request longer than the buffer stalls there, and the request time-out ends it.
    socket->setReadBufferSize(m_limits.maxRequestBytes);
    const qint64 now = m_clock.elapsed();
    Live live;
    live.socket = socket;
    live.address = address;
    live.lastActivityMs = now;
    m_live.push_back(std::move(live));
    ++m_perAddress[address];
    // Connected before the HTTP server's own handlers, so these see every byte first.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        if (Live *l = find(socket)) {
            l->lastActivityMs = m_clock.elapsed();
            if (l->requestSinceMs < 0)
                l->requestSinceMs = l->lastActivityMs;
        }
    });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
        if (Live *l = find(socket)) {
            l->lastActivityMs = m_clock.elapsed();
            l->requestSinceMs = -1;
        }
    });
    connect(socket, &QObject::destroyed, this, [this, address] {
        m_live.erase(std::remove_if(m_live.begin(), m_live.end(), [](const Live &l) { return l.socket.isNull(); }),
                     m_live.end());
        const auto count = m_perAddress.find(address);
        if (count != m_perAddress.end() && --count.value() <= 0)
            m_perAddress.erase(count);
    });
    addPendingConnection(socket); // QTcpServer announces it once this returns
}

void HttpGuard::sweep()
{
    const qint64 now = m_clock.elapsed();
    std::vector<QPointer<QTcpSocket>> expired;
    for (const Live &l : m_live) {
        if (!l.socket)
            continue;
        const bool slowRequest = l.requestSinceMs >= 0 && now - l.requestSinceMs > m_limits.requestTimeoutMs;
        // A download is not idle while the client takes its bytes (each take counts).
        const bool idle = now - l.lastActivityMs > m_limits.idleTimeoutMs;
        if (slowRequest || idle)
            expired.push_back(l.socket);
    }
    for (const QPointer<QTcpSocket> &socket : expired) {
        if (socket) {
            ++m_timedOut;
            socket->abort();
        }
    }
}

qint64 HttpGuard::queuedBytes() const
{
    qint64 all = 0;
    for (const Live &l : m_live)
        all += l.socket ? l.socket->bytesToWrite() : 0;
    return all;
}

bool HttpGuard::overloaded()
{
    const bool over = queuedBytes() > m_limits.maxQueuedBytesTotal;
    m_overloaded += over;
    return over;
}

} // namespace arbelon
