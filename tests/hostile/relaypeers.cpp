#include "hostile/relaypeers.h"

#include "zlibcomp.h"

#include <QHostAddress>

namespace arbelon::test {

QByteArray demoBlockBytes(qint64 index, int size)
{
    QByteArray raw(size, '\0');
    quint32 x = 2463534242u ^ quint32(index * 2654435761u);
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        raw[i] = char(x % 3 == 0 ? x >> 8 : (i / 16) ^ index);
    }
    return raw;
}

// ---- raw peer --------------------------------------------------------------------------------

RawRelayPeer::RawRelayPeer(QObject *parent) : QObject(parent), m_counts(16, 0)
{
    connect(&m_socket, &QTcpSocket::connected, this, &RawRelayPeer::connected);
    connect(&m_socket, &QTcpSocket::readyRead, this, &RawRelayPeer::onReadyRead);
    connect(&m_socket, &QTcpSocket::disconnected, this, [this] {
        m_closedByServer = !m_selfClosed;
        emit closed();
    });
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (m_socket.state() == QAbstractSocket::UnconnectedState && !m_selfClosed) {
            m_closedByServer = true;
            emit closed();
        }
    });
}

void RawRelayPeer::connectTo(const QHostAddress &address, quint16 port)
{
    m_socket.connectToHost(address, port);
}

void RawRelayPeer::stopReading()
{
    m_reading = false;
    m_socket.setReadBufferSize(1);
}

int RawRelayPeer::count(qint32 type) const
{
    return type >= 0 && type < m_counts.size() ? m_counts.at(type) : 0;
}

void RawRelayPeer::onReadyRead()
{
    if (!m_reading)
        return;
    const QByteArray bytes = m_socket.readAll();
    m_bytesReceived += bytes.size();
    m_in.append(bytes);
    QList<QByteArray> arrived;
    const Framing end = cutRecords(m_in, [&arrived](QByteArrayView r) {
        arrived.append(r.toByteArray());
        return true;
    });
    for (const QByteArray &record : arrived) {
        const qint32 type = packetType(record);
        if (type >= 0 && type < m_counts.size())
            ++m_counts[type];
        if (type == ACKNAK)
            m_answers.append(AckNakReader{record}.result());
        if (m_keep)
            m_records.append(record);
        emit recordReceived(record);
        if (m_answering && type != ACKNAK && isConnected())
            answer(0);
    }
    if (end == Framing::Unframed) {
        // Not a record a relay may send: keep nothing more from this connection.
        m_reading = false;
        m_socket.abort();
    }
}

// ---- honest Filmer ---------------------------------------------------------------------------

HonestFilmer::HonestFilmer(const QByteArray &gameName, int intervalMs, QObject *parent)
    : RawRelayPeer(parent), m_gameName(gameName)
{
    m_pace.setSingleShot(true);
    m_pace.setInterval(intervalMs);
    connect(&m_pace, &QTimer::timeout, this, &HonestFilmer::sendNext);
    connect(this, &RawRelayPeer::connected, this, [this] {
        send(buildGameInfo(gtQuake2, "baseq2", "honest", "", m_gameName));
        m_outstanding = true;
    });
    connect(this, &RawRelayPeer::recordReceived, this, [this](const QByteArray &record) {
        if (packetType(record) == ACKNAK)
            onAnswer(AckNakReader{record}.result());
    });
}

void HonestFilmer::startDemo()
{
    m_running = true;
    if (!m_outstanding)
        sendNext();
}

void HonestFilmer::onAnswer(int result)
{
    m_outstanding = false;
    if (++m_answersSeen == 1) {
        m_opened = result == 0;
        m_refused = result != 0;
    } else if (result == 0 && m_restartSent && m_answersSeen > 2) {
        ++m_accepted;
    }
    if (m_running && m_opened)
        m_pace.start();
}

void HonestFilmer::sendNext()
{
    if (!m_running || m_outstanding || !isConnected())
        return;
    m_outstanding = true;
    if (!m_restartSent) {
        m_restartSent = true;
        send(buildDemoRestart(0));
        return;
    }
    // Block n until the relay accepts it (it refuses none once the demo is announced).
    const CompressedBlock b = compressBlock(demoBlockBytes(m_accepted));
    send(buildDemoPacket(b.crc, qint32(m_accepted + 1), b.data));
}

// ---- honest Viewer ---------------------------------------------------------------------------

HonestViewer::HonestViewer(const QByteArray &userName, const QByteArray &gameName, QObject *parent)
    : RawRelayPeer(parent), m_userName(userName), m_gameName(gameName)
{
    setAnswering(false); // answers below, with the CRC check's result
    connect(this, &RawRelayPeer::connected, this, [this] { send(buildUserInfo(m_userName)); });
    connect(this, &RawRelayPeer::recordReceived, this, &HonestViewer::onRecord);
}

int HonestViewer::chatFrom(const QByteArray &name) const
{
    return int(m_chatNames.count(name));
}

void HonestViewer::onRecord(const QByteArray &record)
{
    const qint32 type = packetType(record);
    if (type == ACKNAK) {
        // The first answers the hello, the second the watch request.
        if (++m_answersSeen == 2)
            m_inLobby = AckNakReader{record}.result() == 0;
        return;
    }
    quint8 result = 0;
    switch (type) {
    case GAMEINFODETAILED:
        if (!m_watchSent && GameInfoDetailedReader{record}.gameName() == m_gameName) {
            answer(0);
            m_watchSent = true;
            send(buildWaitForGame(qint32(GameInfoDetailedReader{record}.gameId())));
            return;
        }
        break;
    case SENDTEXT: m_chatNames.append(SendTextReader{record}.userName()); break;
    case DEMORESTART: ++m_restarts; break;
    case DEMOPACKET: {
        QByteArray raw;
        quint32 crc = 0;
        const InflateResult r = inflateBlock(DemoPacketReader{record}.data(), &raw, &crc, rec::kMaxBlockInflated);
        if (r != InflateResult::Ok || crc != DemoPacketReader{record}.packetCrc()) {
            result = 1;
            ++m_faults;
        } else if (raw != demoBlockBytes(m_blocks)) {
            ++m_faults;
        } else {
            ++m_blocks;
        }
        break;
    }
    default: break;
    }
    answer(result);
}

} // namespace arbelon::test
