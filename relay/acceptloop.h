#pragma once
// Takes the connections of a listening QTcpServer in its place. Qt's listener keeps the first
// error it met for good: after one ordinary "nothing waiting", running out of descriptors
// goes unreported and it spins without accepting. This loop tells the two apart itself and,
// out of descriptors, refuses what waits with a word (through a descriptor held in reserve)
// instead of leaving it unheard.

#include "descriptorreserve.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <functional>

class QTcpServer;

namespace arbelon {

class AcceptLoop : public QObject {
public:
    // server must listen already; it accepts nothing itself from now on. Destroy this before
    // the server closes.
    AcceptLoop(QTcpServer &server, QByteArray goodbye, std::function<void(qintptr)> accepted,
               std::function<void(int)> refused);

private:
    void take();

    QSocketNotifier m_notifier;
    DescriptorReserve m_reserve;
    QByteArray m_goodbye;
    std::function<void(qintptr)> m_accepted;
    std::function<void(int)> m_refused;
    QTimer m_retry;
};

} // namespace arbelon
