#include "relayconnection.h"

#include "records.h"
#include "relaylog.h"

#include <QHostAddress>
#include <QScopeGuard>
#include <QTcpSocket>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace arbelon {

namespace {
// Small records (lobby news, answers) are gathered up to this size for one system call.
constexpr qsizetype kSmallBatch = 16 * 1024;
// Bytes read from the socket per step; a record's body may take several steps.
constexpr qint64 kViewerReadChunk = 4 * 1024;
constexpr qint64 kFilmerReadChunk = 64 * 1024;
constexpr size_t kPumpNowEntries = 64;
// What one queued record costs beyond its bytes, so that many tiny records also count.
constexpr qint64 kEntryOverhead = 32;

bool isDemoRecord(const RelayBlock &record)
{
    const qint32 type = packetType(*record);
    return type == DEMOPACKET || type == DEMORESTART;
}

QHostAddress plainAddress(const QTcpSocket &socket)
{
    QHostAddress address = socket.peerAddress();
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

QString peerText(const QTcpSocket &socket)
{
    const QHostAddress address = plainAddress(socket);
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                             : address.toString();
    return host + QLatin1Char(':') + QString::number(socket.peerPort());
}
} // namespace

RelayConnection::RelayConnection(QTcpSocket *socket, Port port, quint64 id, qint64 maxQueueBytes,
                                 RelayConnectionHandler &handler, qint64 nowMs, QObject *parent)
    : QObject(parent),
      m_socket(socket),
      m_handler(handler),
      m_port(port),
      m_id(id),
      m_maxQueueBytes(maxQueueBytes),
      m_connectedAtMs(nowMs)
{
    m_socket->setParent(this);
    m_peer = peerText(*m_socket);
    m_address = plainAddress(*m_socket);
    // Bounds what Qt itself buffers from this client; the kernel holds the rest.
    m_socket->setReadBufferSize(port == Port::Filmer ? 4 * kFilmerReadChunk : 4 * kViewerReadChunk);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    connect(m_socket, &QTcpSocket::readyRead, this, &RelayConnection::processInput);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &RelayConnection::pump);
    connect(m_socket, &QTcpSocket::disconnected, this, &RelayConnection::onDisconnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            onDisconnected();
    });
}

RelayConnection::~RelayConnection() = default;

void RelayConnection::setReady()
{
    if (m_phase != Phase::AwaitHello)
        return;
    m_phase = Phase::Ready;
    resumeInput(PausedForHello);
}

// ---- input ----------------------------------------------------------------------

qint64 RelayConnection::frameSize(QByteArrayView header)
{
    const qint32 type = packetType(header);
    const quint32 size = packetSize(header);
    bool allowed = false;
    switch (type) {
    case ACKNAK:
    case SENDTEXT: allowed = true; break;
    case USERINFO:
    case WAITFORGAME:
    case LEAVEGAME: allowed = m_port == Port::Viewer; break;
    case GAMEINFO:
    case DEMOPACKET:
    case DEMORESTART: allowed = m_port == Port::Filmer; break;
    default: break;
    }
    if (!allowed) {
        m_error = QStringLiteral("record type %1 (%2) is not accepted on the %3 port")
                      .arg(type)
                      .arg(PacketName(type),
                           m_port == Port::Viewer ? QStringLiteral("viewer") : QStringLiteral("filmer"));
        return -1;
    }
    // Before its hello a client may send only the hello, refused here at its header: a
    // silent connection must not hold a DEMOPACKET body of up to 4 MiB.
    const qint32 hello = m_port == Port::Viewer ? USERINFO : GAMEINFO;
    if (m_phase == Phase::AwaitHello && type != hello) {
        m_error = QStringLiteral("protocol error: %1 before %2").arg(PacketName(type), PacketName(hello));
        return -1;
    }
    if (type == DEMOPACKET) {
        if (size <= quint32(rec::kDemoPacketHeaderSize) || size > rec::kMaxDemoPacketSize) {
            m_error = QStringLiteral("DEMOPACKET size %1 outside %2..%3")
                          .arg(size)
                          .arg(rec::kDemoPacketHeaderSize + 1)
                          .arg(rec::kMaxDemoPacketSize);
            return -1;
        }
        return qint64(size);
    }
    const int fixed = rec::fixedSize(type);
    if (size != quint32(fixed)) {
        m_error = QStringLiteral("%1 with size %2, expected %3").arg(PacketName(type)).arg(size).arg(fixed);
        return -1;
    }
    return fixed;
}

bool RelayConnection::takeRecords(QByteArrayView *bytes)
{
    bool ended = false;
    const Framing end = cutRecords(
        bytes,
        [this, &ended](QByteArrayView record) {
            m_expected = 0;
            m_handler.onRecord(*this, record);
            if (m_phase == Phase::Closed) {
                ended = true;
                return false;
            }
            // A server on another thread answers the hello later: until then the next
            // record cannot be checked against the phase it will find.
            if (m_phase == Phase::AwaitHello)
                pauseInput(PausedForHello);
            return isOpen() && !m_paused;
        },
        [this](QByteArrayView header) {
            // Checked once per record, when its header is in; the body may take many reads.
            if (m_expected == 0)
                m_expected = frameSize(header);
            return m_expected;
        });
    if (end == Framing::Unframed) {
        abortWith(m_error);
        return false;
    }
    return !ended;
}

void RelayConnection::processInput()
{
    if (m_inProcess)
        return;
    m_inProcess = true;
    auto done = qScopeGuard([this] { m_inProcess = false; });

    const qint64 chunk = m_port == Port::Filmer ? kFilmerReadChunk : kViewerReadChunk;
    char scratch[kFilmerReadChunk];
    while (isOpen() && !m_paused) {
        // Records completed by earlier reads.
        if (!m_in.isEmpty()) {
            QByteArrayView buffered = m_in.front();
            const qsizetype before = buffered.size();
            if (!takeRecords(&buffered))
                return;
            m_in.consume(before - buffered.size());
            if (m_in.size() >= rec::kHeaderSize && m_in.size() >= m_expected && !m_paused && isOpen())
                continue;
        }
        if (!isOpen() || m_paused)
            break;
        // Read only a bounded step: the next header is checked before more follows.
        const qint64 want = m_in.size() < rec::kHeaderSize ? rec::kHeaderSize - m_in.size()
                                                           : m_expected - m_in.size();
        const qint64 got = m_socket->read(scratch, qMin(qMax(want, chunk), kFilmerReadChunk));
        if (got <= 0)
            break;
        QByteArrayView fresh(scratch, got);
        if (m_in.isEmpty() && !takeRecords(&fresh))
            return;
        // Whole records were handled straight from the read; only a partial one is kept.
        if (!fresh.isEmpty())
            m_in.append(fresh);
    }
    if (m_in.isEmpty()) {
        m_in.clear(); // an idle connection keeps no buffer
        m_partialSinceMs = -1;
    } else if (m_partialSinceMs < 0) {
        m_partialSinceMs = m_handler.nowMs();
    }
}

void RelayConnection::resumeInput(Pause why)
{
    if (!(m_paused & why))
        return;
    m_paused &= ~unsigned(why);
    if (m_paused)
        return;
    // The time the server held the client back does not count against its record.
    if (m_partialSinceMs >= 0)
        m_partialSinceMs = m_handler.nowMs();
    // Not from inside the caller's own work: the records may change server state.
    QMetaObject::invokeMethod(this, &RelayConnection::processInput, Qt::QueuedConnection);
}

// ---- output ---------------------------------------------------------------------

qint64 RelayConnection::cost(const RelayBlock &record)
{
    return record->size() + kEntryOverhead;
}

qint64 RelayConnection::queuedBytes() const
{
    return m_outBytes + (m_phase == Phase::Closed ? 0 : m_socket->bytesToWrite());
}

void RelayConnection::send(const RelayBlock &record, bool list)
{
    if (!isOpen() || m_overflowed)
        return;
    m_outBytes += cost(record);
    if (list) {
        // What was sent is dropped from the front now and then, not on every record.
        if (m_listPos >= 1024 && m_listPos * 2 >= m_list.size()) {
            m_list.erase(m_list.begin(), m_list.begin() + qsizetype(m_listPos));
            m_listPos = 0;
        }
        m_list.push_back(record);
    } else {
        m_out.push_back(record);
    }
    // Within one turn a crowd entering a lobby queues a record per newcomer for every
    // member; a long queue is handed on at once instead of growing until the turn ends.
    if (m_out.size() + (m_list.size() - m_listPos) >= kPumpNowEntries)
        pump();
    else
        schedulePump();
    if (queuedBytes() > m_maxQueueBytes) {
        m_overflowed = true;
        m_out.clear();
        m_list.clear();
        m_listPos = 0;
        m_outBytes = 0;
        m_catchUp.clear();
        m_catchUpPos = 0;
        // Deferred: the caller may be walking a list that closing this one changes.
        QMetaObject::invokeMethod(
            this,
            [this] {
                abortWith(QStringLiteral("send queue over %1 bytes (client not reading)")
                              .arg(m_maxQueueBytes));
            },
            Qt::QueuedConnection);
    }
}

void RelayConnection::startCatchUp(std::vector<RelayBlock> records)
{
    if (!isOpen() || m_overflowed)
        return;
    m_catchUp = std::move(records);
    m_catchUpPos = 0;
    // Everything queued before this point is sent first.
    m_catchUpAfter = qsizetype(m_out.size());
    schedulePump();
}

void RelayConnection::dropPendingDemo()
{
    m_catchUp.clear();
    m_catchUpPos = 0;
    m_catchUpAfter = 0;
    std::deque<RelayBlock> kept;
    for (RelayBlock &record : m_out) {
        if (isDemoRecord(record))
            m_outBytes -= cost(record);
        else
            kept.push_back(std::move(record));
    }
    m_out.swap(kept);
}

void RelayConnection::schedulePump()
{
    if (m_pumpQueued)
        return;
    m_pumpQueued = true;
    m_handler.schedulePump(*this);
}

qsizetype RelayConnection::nextSize() const
{
    if (m_catchUpAfter == 0 && m_catchUpPos < m_catchUp.size())
        return m_catchUp[m_catchUpPos]->size();
    if (!m_out.empty())
        return m_out.front()->size();
    return m_listPos < m_list.size() ? m_list[m_listPos]->size() : -1;
}

bool RelayConnection::takeNext(RelayBlock *next)
{
    if (m_catchUpAfter == 0 && m_catchUpPos < m_catchUp.size()) {
        *next = m_catchUp[m_catchUpPos++];
        if (m_catchUpPos == m_catchUp.size()) {
            m_catchUp.clear();
            m_catchUpPos = 0;
        }
        return true;
    }
    if (m_out.empty()) {
        if (m_listPos >= m_list.size())
            return false;
        *next = std::move(m_list[m_listPos++]);
        if (m_listPos == m_list.size()) {
            m_list.clear();
            m_listPos = 0;
        }
        m_outBytes -= cost(*next);
        return true;
    }
    *next = std::move(m_out.front());
    m_out.pop_front();
    m_outBytes -= cost(*next);
    if (m_catchUpAfter > 0)
        --m_catchUpAfter;
    return true;
}

bool RelayConnection::sendToKernel(const char *data, qint64 size)
{
    qint64 sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(int(m_socket->socketDescriptor()), data + sent, size_t(size - sent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            failLater(QStringLiteral("connection lost: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
            return false;
        }
        // The kernel is full: Qt keeps the rest and reports when it has gone.
        m_socket->write(data + sent, size - sent);
        return false;
    }
    return true;
}

void RelayConnection::pump()
{
    m_pumpQueued = false;
    if (m_phase == Phase::Closed || m_finishQueued || m_inPump)
        return;
    m_inPump = true;
    auto done = qScopeGuard([this] { m_inPump = false; });
    // Records go straight to the kernel while Qt holds nothing of ours; a run of small
    // ones leaves in one system call. A block is shared with every other Viewer, so only
    // the part the kernel refused is ever copied (into Qt's buffer, which then has to
    // drain before more follows).
    RelayBlock next;
    char batch[kSmallBatch];
    while (m_socket->bytesToWrite() == 0 && takeNext(&next)) {
        if (next->size() >= kSmallBatch) {
            if (!sendToKernel(next->constData(), next->size()))
                break;
            continue;
        }
        qsizetype used = 0;
        for (;;) {
            std::memcpy(batch + used, next->constData(), size_t(next->size()));
            used += next->size();
            const qsizetype following = nextSize();
            if (following < 0 || used + following > kSmallBatch)
                break;
            takeNext(&next);
        }
        if (!sendToKernel(batch, used))
            break;
    }
    if (m_phase == Phase::Closing && !m_disconnecting && m_out.empty() && m_listPos >= m_list.size() && m_catchUp.empty()
        && m_socket->bytesToWrite() == 0) {
        m_disconnecting = true;
        m_socket->disconnectFromHost();
    }
}

// ---- ending -----------------------------------------------------------------------

void RelayConnection::closeAfterFlush(const QString &reason, qint64 nowMs)
{
    if (!isOpen())
        return;
    m_closeReason = reason;
    m_phase = Phase::Closing;
    m_closingSinceMs = nowMs;
    pump();
}

void RelayConnection::abortWith(const QString &reason)
{
    finish(reason);
}

void RelayConnection::checkTimeouts(qint64 nowMs, qint64 recordTimeoutMs, qint64 closeTimeoutMs)
{
    if (m_phase == Phase::Closing && nowMs - m_closingSinceMs > closeTimeoutMs)
        abortWith(QStringLiteral("did not take its last answer in time"));
    else if (isOpen() && partialSinceMs() >= 0 && nowMs - partialSinceMs() > recordTimeoutMs)
        abortWith(QStringLiteral("record not finished within %1 s").arg(recordTimeoutMs / 1000));
}

void RelayConnection::onDisconnected()
{
    if (m_phase == Phase::Closed || m_finishQueued)
        return;
    QString reason = m_closeReason;
    if (reason.isEmpty()) {
        reason = m_socket->error() == QAbstractSocket::RemoteHostClosedError
                     ? QStringLiteral("client closed the connection")
                     : m_socket->errorString();
        if (m_in.size() > 0)
            reason += QStringLiteral(" (%1 bytes of an incomplete record dropped)").arg(m_in.size());
    }
    failLater(reason);
}

void RelayConnection::failLater(const QString &reason)
{
    if (m_phase == Phase::Closed || m_finishQueued)
        return;
    // A write may fail inside send(), while the server walks a list of connections:
    // the server hears of the end only from the event loop.
    m_finishQueued = true;
    QMetaObject::invokeMethod(
        this, [this, reason] { finish(reason); }, Qt::QueuedConnection);
}

void RelayConnection::finish(const QString &reason)
{
    if (m_phase == Phase::Closed)
        return;
    m_phase = Phase::Closed;
    m_out.clear();
    m_list.clear();
    m_listPos = 0;
    m_outBytes = 0;
    m_catchUp.clear();
    m_in.clear();
    m_socket->disconnect(this);
    m_socket->abort();
    m_handler.onClosed(*this, reason);
    deleteLater();
}

} // namespace arbelon
