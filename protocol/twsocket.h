#pragma once
// Asynchronous TCP client for the relay connection, driven from the UI thread.
//
// Every event is raised from a queued call of this object, never from inside a QTcpSocket
// signal, so handlers may Close(), Send() or Connect() freely. Each connection gets a fresh
// QTcpSocket; the old one is detached and deleted later, so its late signals never reach us.
//
// Error codes passed to the events: 0 means no error; otherwise the value of
// QAbstractSocket::SocketError plus one (ConnectionRefusedError -> 1, RemoteHostClosedError
// -> 2, ...), and kUnknownSocketError for QAbstractSocket::UnknownSocketError.

#include <QAbstractSocket>
#include <QByteArray>
#include <QByteArrayView>
#include <QHostInfo>
#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <functional>
#include <stdexcept>

class QTcpSocket;

namespace arbelon {

// Raised by the setters and by Connect() when the request cannot be carried out.
class ESocketException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TWSocket : public QObject {
    Q_OBJECT
public:
    enum TSocketState { wsClosed,
                        wsConnecting,
                        wsConnected };
    using SessionEvent = std::function<void(int error)>;

    static constexpr int kDefaultBufSize = 650000;
    static constexpr int kUnknownSocketError = 1000;
    static int errorCode(QAbstractSocket::SocketError error);

    explicit TWSocket(QObject *parent = nullptr);
    // Drops a live connection without raising any event.
    ~TWSocket() override;

    // ---- settings (Addr, Proto, Port only while closed; reset whenever a connection closes) ----
    QString Addr() const { return m_addr; }
    void setAddr(const QString &addr);
    QString Proto() const { return m_proto; }
    void setProto(const QString &proto);
    QString Port() const { return m_port; }
    void setPort(const QString &port);
    int BufSize() const { return m_bufSize; }
    void setBufSize(int size);
    bool LineMode() const { return false; }
    QString LocalAddr() const { return QStringLiteral("0.0.0.0"); }
    QString LocalPort() const { return QStringLiteral("0"); }

    TSocketState State() const { return m_state; }

    // ---- operations ----
    // Starts an attempt and returns at once; throws ESocketException when it cannot start.
    // A host name is looked up in the background; one that does not resolve ends the attempt
    // as a refused one does: OnSessionConnected(HostNotFoundError + 1), then OnSessionClosed(0).
    // Close() during the lookup cancels it. The outcome is OnSessionConnected.
    void Connect();
    // Drops queued output, closes, and raises OnSessionClosed(0) before returning.
    void Close();
    // Queues the bytes and writes what the network takes now. Returns the byte count, or -1
    // when not connected. A broken connection closes the socket (OnSessionClosed(code)).
    qsizetype Send(QByteArrayView data);
    // Every byte waiting now; empty when none.
    QByteArray Receive();
    // Bytes queued here that the network has not taken yet.
    qint64 BufferedOut() const;

    // ---- events (exceptions escaping them end the connection, see raise()) ----
    SessionEvent OnSessionConnected;
    SessionEvent OnDataAvailable;
    SessionEvent OnSessionClosed;

private slots:
    void lookedUp(const QHostInfo &info);

private:
    void requireClosed(const char *what) const;

    void cancelLookup();
    void attach(QTcpSocket *s);
    void schedulePump();
    void pump();
    void feed();
    void finishConnection();
    void closeWith(int error);
    void raise(const SessionEvent &event, int error);
    void handlerFailed();
    bool live(quint64 id) const { return id == m_connId && m_state != wsClosed; }

    // ---- settings ----
    QString m_addr;
    QString m_proto = QStringLiteral("tcp");
    QString m_port;
    int m_bufSize = kDefaultBufSize;

    // ---- current connection ----
    QPointer<QTcpSocket> m_sock;
    TSocketState m_state = wsClosed;
    quint64 m_connId = 0;
    int m_lookupId = -1;        // the host name lookup under way, -1 when none
    quint16 m_lookupPort = 0;   // the port its address is for
    bool m_connectDone = false; // the attempt has an outcome
    int m_connectError = 0;
    bool m_peerGone = false; // the network ended the connection; delivered after waiting data
    int m_peerError = 0;
    bool m_pumpQueued = false;
    int m_failDepth = 0;

    // ---- outgoing queue: blocks of at most m_bufSize bytes, front block partly written ----
    std::deque<QByteArray> m_out;
    qsizetype m_outOffset = 0;
};

} // namespace arbelon
