#include "acceptloop.h"

#include <QTcpServer>

namespace arbelon {

AcceptLoop::AcceptLoop(QTcpServer &server, QByteArray goodbye, std::function<void(qintptr)> accepted,
                       std::function<void(int)> refused)
    : m_notifier(server.socketDescriptor(), QSocketNotifier::Read), m_goodbye(std::move(goodbye)),
      m_accepted(std::move(accepted)), m_refused(std::move(refused))
{
    server.pauseAccepting();
    connect(&m_notifier, &QSocketNotifier::activated, this, &AcceptLoop::take);
    // Without the reserve a retry at once would only spin: a moment later, then.
    m_retry.setSingleShot(true);
    m_retry.setInterval(100);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        m_notifier.setEnabled(true);
        take();
    });
}

void AcceptLoop::take()
{
    const DescriptorReserve::Drained drained = m_reserve.drain(m_notifier.socket(), m_accepted, m_goodbye);
    if (drained.refused > 0 && m_refused)
        m_refused(drained.refused);
    if (!m_reserve.isHeld()) {
        m_notifier.setEnabled(false);
        m_retry.start();
    }
}

} // namespace arbelon
