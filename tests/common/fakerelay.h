#pragma once
// A scripted relay for client tests: listens on one loopback address and port, takes one
// client at a time, splits what the client sends into records and sends what the test says.

#include "receivebuffer.h"
#include "records.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

namespace arbelon::test {

class FakeRelay : public QObject {
    Q_OBJECT
public:
    explicit FakeRelay(QObject *parent = nullptr) : QObject(parent)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = m_server.nextPendingConnection()) {
                if (m_client)
                    m_client->deleteLater();
                m_client = s;
                m_buffer.clear();
                connect(s, &QTcpSocket::readyRead, this, [this, s] { onRead(s); });
                connect(s, &QTcpSocket::disconnected, this, &FakeRelay::clientGone);
                emit clientArrived();
            }
        });
    }

    bool listen(const QString &address, quint16 port)
    {
        return m_server.listen(QHostAddress(address), port);
    }
    quint16 port() const { return m_server.serverPort(); }
    QTcpSocket *client() const { return m_client; }
    quint16 clientLocalPort() const { return m_client ? m_client->localPort() : 0; }

    void send(const QByteArray &bytes)
    {
        if (m_client) {
            m_client->write(bytes);
            m_client->flush();
        }
    }
    void ack(quint8 result = 0) { send(buildAckNak(result)); }
    void closeClient()
    {
        if (m_client)
            m_client->disconnectFromHost();
    }

    // Records received so far, whole, in order.
    QList<QByteArray> records;
    int count(qint32 type) const
    {
        int n = 0;
        for (const QByteArray &r : records)
            n += packetType(r) == type ? 1 : 0;
        return n;
    }
    QList<QByteArray> recordsOf(qint32 type) const
    {
        QList<QByteArray> out;
        for (const QByteArray &r : records) {
            if (packetType(r) == type)
                out.append(r);
        }
        return out;
    }

signals:
    void clientArrived();
    void clientGone();
    void recordArrived(const QByteArray &record);

private:
    void onRead(QTcpSocket *s)
    {
        m_buffer.append(s->readAll());
        QList<QByteArray> arrived;
        cutRecords(
            m_buffer,
            [&arrived](QByteArrayView r) {
                arrived.append(r.toByteArray());
                return true;
            },
            // unknown: take the header so the test sees it
            [](QByteArrayView f) { return qMax<qint64>(recordSize(f), rec::kHeaderSize); });
        // Told once the buffer is settled: a test may answer from inside.
        for (const QByteArray &r : arrived) {
            records.append(r);
            emit recordArrived(r);
        }
    }

    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    ReceiveBuffer m_buffer;
};

} // namespace arbelon::test
