#include "dispatcher.h"

namespace arbelon {

void PacketDispatcher::setHandler(qint32 type, Handler h)
{
    Q_ASSERT(type >= 0 && type < kPacketTypeCount);
    m_handlers[size_t(type)] = std::move(h);
}

void PacketDispatcher::dataAvailable(QByteArrayView bytes)
{
    m_buffer.append(bytes);
    for (;;) {
        if (m_trace.enabled())
            m_trace.line(QString::number(m_buffer.size()) + QStringLiteral(" needs to be 12"));
        if (m_buffer.size() < rec::kHeaderSize)
            return;
        const qint32 type = packetType(m_buffer.front());
        if (m_trace.enabled())
            m_trace.line(QStringLiteral("Processing Packet ") + PacketName(type));
        if (type < 0 || type >= kPacketTypeCount || !m_handlers[size_t(type)]) {
            // No handler: the record stays and blocks the rest of the session. Nothing behind
            // it is ever dispatched, so no more than the largest record is kept.
            m_buffer.truncate(qsizetype(rec::kMaxDemoPacketSize));
            return;
        }
        const qsizetype before = m_buffer.size();
        if (!m_handlers[size_t(type)]())
            return;
        // A handler that reports a record but removed nothing would spin here for ever.
        if (m_buffer.size() >= before)
            throw EProtocolError("record handler reported a record but removed nothing");
    }
}

void PacketDispatcher::SendPacket(const QByteArray &record, int newState)
{
    if (!m_connected || !m_connected())
        return;
    m_state = newState;
    if (m_send)
        m_send(record);
}

void PacketDispatcher::sendAckNak(quint8 result)
{
    SendPacket(buildAckNak(result), m_state);
}

void PacketDispatcher::consumeAndAck(qsizetype n, quint8 result)
{
    m_buffer.consume(n);
    sendAckNak(result);
}

} // namespace arbelon
