#pragma once
// A relay client for tests: a QTcpSocket with a ReceiveBuffer that keeps every record the
// server sends, answers each like the real client does, and rebuilds the lists the client
// shows (games, users, chat) and the demos it would write.

#include "receivebuffer.h"
#include "records.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpSocket>

#include <map>

namespace arbelon::test {

struct GameRow {
    QByteArray name;
    qint32 gameType = 0;
    quint32 users = 0;
    QByteArray mod;
};

class RelayTestClient : public QObject {
    Q_OBJECT
public:
    explicit RelayTestClient(QObject *parent = nullptr);

    // A client that takes at most a few bytes and never reads again (a stalled Viewer).
    void setNeverRead();
    // Connects to 127.0.0.1:port (or the address given) and waits for the connection.
    bool connectTo(quint16 port, const QString &address = QStringLiteral("127.0.0.1"));
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    bool wasClosedByServer() const { return m_closedByServer; }
    // Sends what was written, then closes.
    void disconnectNow()
    {
        m_selfClosed = true;
        m_socket.disconnectFromHost();
    }

    void sendRaw(const QByteArray &bytes);
    // Sends the bytes one at a time, each handed to the kernel on its own. Answers to the
    // server's records wait meanwhile: they must not land inside a record.
    void trickle(const QByteArray &bytes);

    // Hello records: send them and wait for the answer; true when accepted.
    bool signIn(const QByteArray &userName);
    bool openGame(const QByteArray &gameName, const QByteArray &userName = "filmer",
                  const QByteArray &password = {}, int gameType = 0);
    // Sends one record and waits for its ACKNAK; returns its Result, or -1 on time-out.
    int request(const QByteArray &record);
    // Waits until every record sent so far has been answered.
    bool waitForAnswers(int expected, int timeoutMs = 15000);

    // ---- what arrived ---------------------------------------------------------------
    const QList<QByteArray> &records() const { return m_records; }
    int countOf(qint32 type) const;
    const QList<quint8> &answers() const { return m_answers; }
    const std::map<quint32, GameRow> &games() const { return m_games; }
    const QByteArrayList &users() const { return m_users; }
    // "<name> text" per SENDTEXT, as the client shows it.
    const QByteArrayList &chat() const { return m_chat; }
    // One entry per DEMORESTART, holding the inflated blocks that followed it.
    const QByteArrayList &demos() const { return m_demos; }
    int badBlocks() const { return m_badBlocks; }
    int demoRecords() const { return countOf(DEMOPACKET) + countOf(DEMORESTART); }

    // A valid DEMOPACKET for raw demo bytes: one zlib stream and the CRC-32 of the bytes.
    static QByteArray demoPacket(QByteArrayView raw, qint32 sequence);
    // Inflates one zlib stream; false when it is not exactly one valid stream.
    static bool inflateBlock(QByteArrayView data, QByteArray *out);

signals:
    void recordReceived(const QByteArray &record);

private:
    void onReadyRead();
    void handle(const QByteArray &record);

    QTcpSocket m_socket;
    ReceiveBuffer m_in;
    bool m_neverRead = false;
    bool m_closedByServer = false;
    bool m_selfClosed = false;
    bool m_holdAnswers = false;
    QByteArray m_heldAnswers;
    QList<QByteArray> m_records;
    QList<quint8> m_answers;
    std::map<quint32, GameRow> m_games;
    QByteArrayList m_users;
    QByteArrayList m_chat;
    QByteArrayList m_demos;
    int m_badBlocks = 0;
};

} // namespace arbelon::test
