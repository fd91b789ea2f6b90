#include "hostile/hostilerelay.h"

#include <QHostAddress>

namespace arbelon::test {

namespace {
// Bytes kept in the socket's own buffer while flooding.
constexpr qint64 kFloodLowWater = 256 * 1024;
}

HostileRelay::HostileRelay(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *s = m_server.nextPendingConnection()) {
            if (m_client)
                m_client->abort();
            m_client = s;
            m_in.clear();
            m_floodLeft = 0;
            s->setParent(this);
            connect(s, &QTcpSocket::readyRead, this, &HostileRelay::onReadyRead);
            connect(s, &QTcpSocket::bytesWritten, this, &HostileRelay::pumpFlood);
            connect(s, &QTcpSocket::disconnected, this, [this, s] {
                if (s != m_client)
                    return;
                if (m_floodLeft > 0) {
                    m_floodLeft = 0;
                    emit floodFinished(m_flooded);
                }
                emit clientGone();
            });
            emit clientArrived();
        }
    });
}

bool HostileRelay::listen(const QString &address, quint16 port)
{
    return m_server.listen(QHostAddress(address), port);
}

int HostileRelay::count(qint32 type) const
{
    int n = 0;
    for (const QByteArray &r : records)
        n += packetType(r) == type ? 1 : 0;
    return n;
}

QList<int> HostileRelay::answers() const
{
    QList<int> out;
    for (const QByteArray &r : records) {
        if (packetType(r) == ACKNAK)
            out.append(AckNakReader{r}.result());
    }
    return out;
}

void HostileRelay::send(const QByteArray &bytes)
{
    if (m_client)
        m_client->write(bytes);
}

void HostileRelay::flood(FloodPiece next, qint64 total)
{
    m_floodNext = std::move(next);
    m_floodIndex = 0;
    m_floodLeft = total;
    m_flooded = 0;
    pumpFlood();
}

void HostileRelay::pumpFlood()
{
    if (m_floodLeft <= 0 || !m_client)
        return;
    while (m_floodLeft > 0 && m_client->bytesToWrite() < kFloodLowWater) {
        const QByteArray piece = m_floodNext(m_floodIndex++).left(m_floodLeft);
        if (piece.isEmpty())
            m_floodLeft = 0;
        m_client->write(piece);
        m_floodLeft -= piece.size();
        m_flooded += piece.size();
    }
    if (m_floodLeft == 0)
        emit floodFinished(m_flooded);
}

void HostileRelay::closeClient()
{
    if (m_client)
        m_client->disconnectFromHost();
}

void HostileRelay::onReadyRead()
{
    auto *s = qobject_cast<QTcpSocket *>(sender());
    if (!s || s != m_client)
        return;
    m_in.append(s->readAll());
    cutRecords(
        m_in,
        [this](QByteArrayView r) {
            records.append(r.toByteArray());
            return true;
        },
        // The client sends only fixed-size records; anything else is kept as its header.
        [](QByteArrayView f) { return qint64(qMax(rec::fixedSize(packetType(f)), rec::kHeaderSize)); });
}

} // namespace arbelon::test
