#pragma once
// A connection the relay has no room for. It is not served: it waits for the client's hello,
// answers it with ACKNAK akFull and closes, so that the client can tell a full relay from a
// lost link. Anything but a well-formed hello, or no hello in time, closes it at once.

#include "relayconnection.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <functional>

class QTcpSocket;

namespace arbelon {

class RelayTurnAway : public QObject {
public:
    // Takes ownership of the connected socket; done runs once, when the socket has closed
    // (the object deletes itself after it).
    RelayTurnAway(QTcpSocket *socket, RelayConnection::Port port, int timeoutMs, std::function<void()> done,
                  QObject *parent = nullptr);
    ~RelayTurnAway() override;

private:
    void onReadyRead();
    void finish();

    QTcpSocket *m_socket;
    const qint32 m_hello;
    const int m_helloSize;
    QByteArray m_in;
    bool m_answered = false;
    bool m_finished = false;
    QTimer m_deadline;
    std::function<void()> m_done;
};

} // namespace arbelon
