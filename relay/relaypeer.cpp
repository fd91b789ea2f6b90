#include "relaypeer.h"

#include "records.h"
#include "relaylog.h"

namespace arbelon {

RelayPeer::RelayPeer(quint64 id, Port port, const QHostAddress &address, const QString &peerText,
                     const Limits &limits, qint64 nowMs, RelayConnection *local, RelayPeerLink *link)
    : m_id(id),
      m_port(port),
      m_address(address),
      m_peerText(peerText),
      m_connectedAtMs(nowMs),
      m_local(local),
      m_link(link),
      m_chat(limits.chatBurst, limits.chatLinesPerSecond),
      m_joins(limits.joinBurst, limits.joinsPerSecond)
{
}

QString RelayPeer::label() const
{
    QString text = QLatin1Char('#') + QString::number(m_id) + QLatin1Char(' ') + m_peerText;
    if (!m_name.isEmpty())
        text += QLatin1Char(' ') + RelayLog::quoted(m_name);
    return text;
}

void RelayPeer::setName(const QByteArray &name)
{
    m_name = name;
    setLobbyName(name);
}

void RelayPeer::setLobbyName(const QByteArray &name)
{
    if (!m_lobbyName.isNull() && name == m_lobbyName)
        return;
    m_lobbyName = name;
    m_userEntered = makeBlock(buildUserEntered(name));
    m_userLeft = makeBlock(buildUserLeft(name));
}

void RelayPeer::setReady()
{
    if (m_phase != Phase::AwaitHello)
        return;
    m_phase = Phase::Ready;
    if (m_local)
        m_local->setReady();
    else if (m_link)
        m_link->setReady(m_id);
}

void RelayPeer::send(const RelayBlock &record)
{
    if (m_phase != Phase::AwaitHello && m_phase != Phase::Ready)
        return;
    if (m_local)
        m_local->send(record);
    else if (m_link)
        m_link->send(m_id, record, false);
}

void RelayPeer::sendList(const RelayBlock &record)
{
    if (m_phase != Phase::AwaitHello && m_phase != Phase::Ready)
        return;
    if (m_local)
        m_local->send(record, true);
    else if (m_link)
        m_link->send(m_id, record, true);
}

void RelayPeer::startCatchUp(const std::vector<RelayBlock> &records)
{
    if (m_local)
        m_local->startCatchUp(records);
    else if (m_link && m_phase == Phase::Ready)
        m_link->startCatchUp(m_id, records);
}

void RelayPeer::dropPendingDemo()
{
    if (m_local)
        m_local->dropPendingDemo();
    else if (m_link && m_phase == Phase::Ready)
        m_link->dropPendingDemo(m_id);
}

void RelayPeer::pauseInput()
{
    m_inputPaused = true;
    if (m_local)
        m_local->pauseInput();
    else if (m_link && m_phase == Phase::Ready)
        m_link->pauseInput(m_id);
}

void RelayPeer::resumeInput()
{
    m_inputPaused = false;
    if (m_local)
        m_local->resumeInput();
    else if (m_link && m_phase == Phase::Ready)
        m_link->resumeInput(m_id);
}

void RelayPeer::closeAfterFlush(const QString &reason, qint64 nowMs)
{
    if (m_phase != Phase::AwaitHello && m_phase != Phase::Ready)
        return;
    m_phase = Phase::Closing;
    m_closingSinceMs = nowMs;
    if (m_local)
        m_local->closeAfterFlush(reason, nowMs);
    else if (m_link)
        m_link->closeAfterFlush(m_id, reason);
}

void RelayPeer::abortWith(const QString &reason)
{
    if (m_phase == Phase::Closed)
        return;
    if (m_local) {
        m_local->abortWith(reason); // reports the end at once
        return;
    }
    m_phase = Phase::Closing;
    if (m_link)
        m_link->abort(m_id, reason);
}

} // namespace arbelon
