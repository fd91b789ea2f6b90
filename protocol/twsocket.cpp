#include "twsocket.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QMetaObject>
#include <QNetworkProxy>
#include <QTcpSocket>

#include <string>

namespace arbelon {

namespace {
// Bytes handed to the QTcpSocket at a time; the rest waits in our own queue, so a close
// or a handler error can drop it.
constexpr qint64 kFeedWindow = 256 * 1024;
// A handler that keeps starting a connection and throwing from its session-closed event
// would otherwise recurse without end.
constexpr int kMaxFailDepth = 4;
} // namespace

int TWSocket::errorCode(QAbstractSocket::SocketError error)
{
    if (error == QAbstractSocket::UnknownSocketError)
        return kUnknownSocketError;
    return int(error) + 1;
}

TWSocket::TWSocket(QObject *parent)
    : QObject(parent)
{
}

TWSocket::~TWSocket()
{
    cancelLookup();
    if (QTcpSocket *s = m_sock) {
        QObject::disconnect(s, nullptr, this, nullptr);
        s->abort(); // deleted as our child
    }
}

// ---- settings --------------------------------------------------------------

void TWSocket::requireClosed(const char *what) const
{
    if (m_state != wsClosed)
        throw ESocketException(std::string("cannot change ") + what + " while the socket is in use");
}

void TWSocket::setAddr(const QString &addr)
{
    requireClosed("Addr");
    m_addr = addr;
}

void TWSocket::setProto(const QString &proto)
{
    requireClosed("Proto");
    m_proto = proto;
}

void TWSocket::setPort(const QString &port)
{
    requireClosed("Port");
    m_port = port;
}

void TWSocket::setBufSize(int size)
{
    if (size < 1)
        throw ESocketException("send buffer block size must be positive");
    m_bufSize = size;
}

// ---- connect ---------------------------------------------------------------

void TWSocket::Connect()
{
    if (m_state != wsClosed)
        throw ESocketException("socket already in use");
    if (m_proto.trimmed().compare(QLatin1String("tcp"), Qt::CaseInsensitive) != 0)
        throw ESocketException("unsupported protocol: " + m_proto.toStdString());
    const QString host = m_addr.trimmed();
    if (host.isEmpty())
        throw ESocketException("no address");
    if (m_port.trimmed().isEmpty())
        throw ESocketException("no port");
    bool ok = false;
    const uint port = m_port.trimmed().toUInt(&ok, 10);
    if (!ok || port == 0 || port > 65535)
        throw ESocketException("bad port: " + m_port.toStdString());

    auto *s = new QTcpSocket(this);
    s->setProxy(QNetworkProxy::NoProxy);
    ++m_connId;
    m_state = wsConnecting;
    m_connectDone = false;
    m_connectError = 0;
    m_peerGone = false;
    m_peerError = 0;
    m_out.clear();
    m_outOffset = 0;
    m_sock = s;
    attach(s);

    QHostAddress address;
    if (address.setAddress(host)) {
        // May already report its outcome here (loopback); the slots only record it.
        s->connectToHost(address, quint16(port));
        return;
    }
    // The name is looked up in the background, so the window goes on and the caller's connect
    // timeout covers the lookup too. A close cancels it; this object as the receiver means no
    // answer reaches a socket that has gone. A slot by name, not a functor: Qt 6.4 leaks the
    // functor of a lookup that is aborted.
    m_lookupPort = quint16(port);
    m_lookupId = QHostInfo::lookupHost(host, this, SLOT(lookedUp(QHostInfo)));
}

void TWSocket::lookedUp(const QHostInfo &info)
{
    // An answer to a lookup that was given up (a close, a new attempt) is no one's.
    if (info.lookupId() != m_lookupId || m_state != wsConnecting || !m_sock || m_connectDone)
        return;
    m_lookupId = -1;
    const quint16 port = m_lookupPort;
    // The local side is "0.0.0.0", so an IPv4 address is preferred.
    QHostAddress address;
    const QList<QHostAddress> found = info.error() == QHostInfo::NoError ? info.addresses() : QList<QHostAddress>();
    for (const QHostAddress &a : found) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol) {
            address = a;
            break;
        }
    }
    if (address.isNull() && !found.isEmpty())
        address = found.first();
    if (address.isNull()) {
        // An attempt that started and failed: the connected event with the error, then the close.
        m_connectDone = true;
        m_connectError = errorCode(QAbstractSocket::HostNotFoundError);
        schedulePump();
        return;
    }
    m_sock->connectToHost(address, port);
}

// The QTcpSocket's signals only record what happened and schedule the pump.
void TWSocket::attach(QTcpSocket *s)
{
    connect(s, &QTcpSocket::connected, this, [this, s] {
        if (s != m_sock)
            return;
        if (!m_connectDone) {
            m_connectDone = true;
            m_connectError = 0;
        }
        schedulePump();
    });
    connect(s, &QTcpSocket::errorOccurred, this, [this, s](QAbstractSocket::SocketError e) {
        if (s != m_sock)
            return;
        if (!m_connectDone) {
            m_connectDone = true;
            m_connectError = errorCode(e);
        } else if (!m_peerGone) {
            m_peerGone = true;
            m_peerError = errorCode(e);
        }
        schedulePump();
    });
    connect(s, &QTcpSocket::disconnected, this, [this, s] {
        if (s != m_sock)
            return;
        if (!m_peerGone) {
            m_peerGone = true;
            m_peerError = 0;
        }
        schedulePump();
    });
    connect(s, &QTcpSocket::readyRead, this, [this, s] {
        if (s == m_sock)
            schedulePump();
    });
    connect(s, &QTcpSocket::bytesWritten, this, [this, s](qint64) {
        if (s == m_sock && m_state == wsConnected && !m_peerGone)
            feed();
    });
}

void TWSocket::schedulePump()
{
    if (m_pumpQueued)
        return;
    m_pumpQueued = true;
    QMetaObject::invokeMethod(this, &TWSocket::pump, Qt::QueuedConnection);
}

// Raises at most one event per call and queues itself again while more is due, so data
// events never nest and the event loop keeps running between them.
void TWSocket::pump()
{
    m_pumpQueued = false;
    QTcpSocket *s = m_sock;
    if (!s || m_state == wsClosed)
        return;
    const quint64 id = m_connId;

    if (m_state == wsConnecting) {
        if (!m_connectDone)
            return;
        if (m_connectError == 0) {
            m_state = wsConnected;
            raise(OnSessionConnected, 0);
            if (live(id))
                schedulePump(); // data or a close that came in meanwhile
        } else {
            raise(OnSessionConnected, m_connectError);
            // A failed attempt closes itself unless the handler did.
            if (live(id))
                closeWith(0);
        }
        return;
    }

    if (s->bytesAvailable() > 0) {
        raise(OnDataAvailable, 0);
        if (live(id) && (m_sock->bytesAvailable() > 0 || m_peerGone))
            schedulePump();
        return;
    }
    // Waiting data has all been delivered: now the close.
    if (m_peerGone)
        closeWith(m_peerError);
}

// ---- close -------------------------------------------------------------------

void TWSocket::cancelLookup()
{
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(m_lookupId);
    m_lookupId = -1;
}

// Detaches and aborts the current QTcpSocket and leaves everything closed. Raises nothing.
void TWSocket::finishConnection()
{
    cancelLookup();
    QTcpSocket *s = m_sock;
    m_sock = nullptr;
    m_state = wsClosed;
    m_out.clear();
    m_outOffset = 0;
    m_connectDone = false;
    m_connectError = 0;
    m_peerGone = false;
    m_peerError = 0;
    m_addr.clear();
    m_port.clear();
    m_proto = QStringLiteral("tcp");
    if (s) {
        QObject::disconnect(s, nullptr, this, nullptr);
        s->abort();
        s->deleteLater();
    }
}

void TWSocket::closeWith(int error)
{
    finishConnection();
    raise(OnSessionClosed, error);
}

void TWSocket::Close()
{
    if (m_state == wsClosed)
        return;
    closeWith(0);
}

// ---- send / receive -------------------------------------------------------------

qsizetype TWSocket::Send(QByteArrayView data)
{
    if (m_state != wsConnected || !m_sock)
        return -1;
    if (m_peerGone)
        return data.size(); // the peer has gone: nothing can leave; its close is on its way

    qsizetype pos = 0;
    while (pos < data.size()) {
        if (m_out.empty() || m_out.back().size() >= m_bufSize)
            m_out.emplace_back();
        QByteArray &block = m_out.back();
        const qsizetype n = qMin<qsizetype>(data.size() - pos, m_bufSize - block.size());
        block.append(data.data() + pos, n);
        pos += n;
    }

    feed();
    m_sock->flush(); // write what the network takes now
    if (m_peerGone && m_sock) {
        // The write found the connection broken.
        closeWith(m_peerError != 0 ? m_peerError : errorCode(QAbstractSocket::NetworkError));
    }
    return data.size();
}

// Moves queued bytes into the QTcpSocket, keeping at most kFeedWindow there.
void TWSocket::feed()
{
    QTcpSocket *s = m_sock;
    if (!s)
        return;
    while (!m_out.empty()) {
        const qint64 room = kFeedWindow - s->bytesToWrite();
        if (room <= 0)
            return;
        const QByteArray &block = m_out.front();
        const qint64 n = qMin<qint64>(room, block.size() - m_outOffset);
        const qint64 written = s->write(block.constData() + m_outOffset, n);
        if (written <= 0)
            return; // not writable any more; its signals report why
        m_outOffset += written;
        if (m_outOffset >= block.size()) {
            m_out.pop_front();
            m_outOffset = 0;
        }
    }
}

qint64 TWSocket::BufferedOut() const
{
    qint64 n = -m_outOffset;
    for (const QByteArray &b : m_out)
        n += b.size();
    if (m_sock)
        n += m_sock->bytesToWrite();
    return n;
}

QByteArray TWSocket::Receive()
{
    if (m_state != wsConnected || !m_sock)
        return {};
    const qint64 waiting = m_sock->bytesAvailable();
    if (waiting <= 0)
        return {};
    return m_sock->read(waiting);
}

// ---- event boundary ----------------------------------------------------------

// No exception crosses the event loop: one that escapes a handler ends the connection that
// is current then (drop the queue, abort, session-closed with 0). A connection that has
// already ended gets no second session-closed.
void TWSocket::raise(const SessionEvent &event, int error)
{
    const SessionEvent fn = event; // the handler may replace the member while it runs
    if (!fn)
        return;
    try {
        fn(error);
    } catch (...) {
        handlerFailed();
    }
}

void TWSocket::handlerFailed()
{
    if (m_state == wsClosed)
        return;
    if (m_failDepth >= kMaxFailDepth) {
        finishConnection();
        return;
    }
    ++m_failDepth;
    closeWith(0);
    --m_failDepth;
}

} // namespace arbelon
