#pragma once
// Clients of the relay for its hardening tests and the soak benchmark: a raw peer that sends
// whatever it is told and keeps what comes back, an honest Filmer that streams a demo of
// numbered blocks paced by the relay's answers, and an honest Viewer that checks every block
// it receives against the block it expects next.

#include "receivebuffer.h"
#include "records.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>

namespace arbelon::test {

// The raw bytes of demo block i: the same for every run, compressible like a demo.
QByteArray demoBlockBytes(qint64 index, int size = 2000);

class RawRelayPeer : public QObject {
    Q_OBJECT
public:
    explicit RawRelayPeer(QObject *parent = nullptr);

    // Starts connecting to address:port; connected() or closed() follow.
    void connectTo(const QHostAddress &address, quint16 port);
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    // The server ended the connection (we did not close it).
    bool closedByServer() const { return m_closedByServer; }
    bool isClosed() const { return m_socket.state() == QAbstractSocket::UnconnectedState; }

    void send(const QByteArray &bytes) { m_socket.write(bytes); }
    // Closes gracefully (what was sent goes out first), or drops the connection at once.
    void close()
    {
        m_selfClosed = true;
        m_socket.disconnectFromHost();
    }
    void abort()
    {
        m_selfClosed = true;
        m_socket.abort();
    }

    // Reads nothing from now on: what the server sends stays in the kernel.
    void stopReading();
    // Answers every record the server sends (except ACKNAK) with ACKNAK 0, as the client does.
    void setAnswering(bool on) { m_answering = on; }

    // ---- what arrived ----------------------------------------------------------------
    // The Result of every ACKNAK the server sent, in order.
    const QList<int> &answers() const { return m_answers; }
    int count(qint32 type) const;
    qint64 bytesReceived() const { return m_bytesReceived; }
    // Keeps every record (off by default: a long run would hold them all).
    void setKeepRecords(bool on) { m_keep = on; }
    const QList<QByteArray> &records() const { return m_records; }

signals:
    void connected();
    void closed();
    void recordReceived(const QByteArray &record);

protected:
    void answer(quint8 result) { send(buildAckNak(result)); }

private:
    void onReadyRead();

    QTcpSocket m_socket;
    ReceiveBuffer m_in;
    bool m_reading = true;
    bool m_answering = true;
    bool m_keep = false;
    bool m_closedByServer = false;
    bool m_selfClosed = false;
    qint64 m_bytesReceived = 0;
    QList<int> m_answers;
    QList<QByteArray> m_records;
    QList<int> m_counts;
};

// Opens a game and streams demo blocks 0, 1, 2, ... one after the answer to the one before,
// at most one per interval, until stopped.
class HonestFilmer : public RawRelayPeer {
    Q_OBJECT
public:
    HonestFilmer(const QByteArray &gameName, int intervalMs, QObject *parent = nullptr);
    // Announces the demo and starts sending blocks.
    void startDemo();
    // Sends no further block; the one on its way is still answered.
    void stop() { m_running = false; }
    bool opened() const { return m_opened; }
    bool refused() const { return m_refused; }
    bool waiting() const { return m_outstanding; }
    // Blocks the relay has accepted.
    qint64 blocksAccepted() const { return m_accepted; }

private:
    void onAnswer(int result);
    void sendNext();

    QByteArray m_gameName;
    QTimer m_pace;
    bool m_opened = false;
    bool m_refused = false;
    bool m_running = false;
    bool m_outstanding = false;
    bool m_restartSent = false;
    qint64 m_accepted = 0;
    int m_answersSeen = 0;
};

// Signs in, watches the game of the given name when it is listed, and checks the demo.
class HonestViewer : public RawRelayPeer {
    Q_OBJECT
public:
    HonestViewer(const QByteArray &userName, const QByteArray &gameName, QObject *parent = nullptr);
    bool inLobby() const { return m_inLobby; }
    // Blocks received in order and equal to what the Filmer made.
    qint64 blocksReceived() const { return m_blocks; }
    // Blocks that were out of order, damaged or different; DEMORESTARTs seen.
    int faults() const { return m_faults; }
    int demoRestarts() const { return m_restarts; }
    // Chat lines received, by sender.
    int chatFrom(const QByteArray &name) const;

private:
    void onRecord(const QByteArray &record);

    QByteArray m_userName;
    QByteArray m_gameName;
    bool m_watchSent = false;
    bool m_inLobby = false;
    int m_answersSeen = 0;
    qint64 m_blocks = 0;
    int m_faults = 0;
    int m_restarts = 0;
    QList<QByteArray> m_chatNames;
};

} // namespace arbelon::test
