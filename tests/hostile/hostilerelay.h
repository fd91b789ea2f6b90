#pragma once
// A relay that misbehaves on purpose, for the client's hardening tests: it listens on a
// loopback address of its own, takes one client at a time, records what the client sends,
// and sends whatever the test says: raw bytes, floods of millions of records, a cut stream.

#include "receivebuffer.h"
#include "records.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

namespace arbelon::test {

class HostileRelay : public QObject {
    Q_OBJECT
public:
    explicit HostileRelay(QObject *parent = nullptr);

    bool listen(const QString &address, quint16 port);
    bool hasClient() const { return m_client && m_client->state() == QAbstractSocket::ConnectedState; }

    // ---- what the client sent (whole records, in order) --------------------------------
    QList<QByteArray> records;
    int count(qint32 type) const;
    // The Result byte of every ACKNAK the client sent, in order.
    QList<int> answers() const;
    // Forgets what arrived so far (a test step starts counting afresh).
    void clearRecords() { records.clear(); }

    // ---- sending --------------------------------------------------------------------------
    void send(const QByteArray &bytes);
    void ack(quint8 result = 0) { send(buildAckNak(result)); }
    // Sends the pieces that next(0), next(1), ... make until total bytes are out or the
    // client has gone, keeping little in the socket's own buffer so that memory here stays
    // small. floodFinished() reports how many bytes went out.
    using FloodPiece = std::function<QByteArray(qint64 index)>;
    void flood(FloodPiece next, qint64 total);
    bool flooding() const { return m_floodLeft > 0; }
    qint64 flooded() const { return m_flooded; }
    // Sends what is queued, then closes (the client sees the end after the bytes).
    void closeClient();

signals:
    void clientArrived();
    void clientGone();
    void floodFinished(qint64 bytes);

private:
    void onReadyRead();
    void pumpFlood();

    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    ReceiveBuffer m_in;
    FloodPiece m_floodNext;
    qint64 m_floodIndex = 0;
    qint64 m_floodLeft = 0;
    qint64 m_flooded = 0;
};

} // namespace arbelon::test
