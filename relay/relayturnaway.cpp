#include "relayturnaway.h"

#include "records.h"

#include <QTcpSocket>

namespace arbelon {

RelayTurnAway::RelayTurnAway(QTcpSocket *socket, RelayConnection::Port port, int timeoutMs,
                             std::function<void()> done, QObject *parent)
    : QObject(parent),
      m_socket(socket),
      m_hello(port == RelayConnection::Port::Viewer ? USERINFO : GAMEINFO),
      m_helloSize(rec::fixedSize(m_hello)),
      m_done(std::move(done))
{
    m_socket->setParent(this);
    // Nothing beyond the hello is ever wanted from it.
    m_socket->setReadBufferSize(m_helloSize);
    connect(m_socket, &QTcpSocket::readyRead, this, &RelayTurnAway::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &RelayTurnAway::finish);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            finish();
    });
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        m_socket->abort();
        finish();
    });
    m_deadline.start(timeoutMs);
    // The hello may have come with the connection.
    QMetaObject::invokeMethod(this, &RelayTurnAway::onReadyRead, Qt::QueuedConnection);
}

RelayTurnAway::~RelayTurnAway() = default;

void RelayTurnAway::onReadyRead()
{
    if (m_answered || m_finished)
        return;
    m_in.append(m_socket->read(m_helloSize - m_in.size()));
    if (m_in.size() >= rec::kHeaderSize && (packetType(m_in) != m_hello || packetSize(m_in) != quint32(m_helloSize))) {
        m_socket->abort(); // not this port's hello: no answer is owed
        finish();
        return;
    }
    if (m_in.size() < m_helloSize)
        return;
    m_answered = true;
    m_socket->write(buildAckNak(akFull));
    // Closes once the answer has gone; the deadline still bounds a client that does not read.
    m_socket->disconnectFromHost();
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        finish();
}

void RelayTurnAway::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_deadline.stop();
    if (m_done)
        m_done();
    deleteLater();
}

} // namespace arbelon
