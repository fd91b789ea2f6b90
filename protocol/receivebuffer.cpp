#include "receivebuffer.h"

namespace arbelon {

void ReceiveBuffer::append(QByteArrayView bytes)
{
    // Compact before growing, and only when the consumed prefix is at least half the
    // storage: each byte is then moved a bounded number of times overall.
    if (m_offset > 0 && m_offset >= m_data.size() / 2)
        compact();
    m_data.append(bytes.data(), bytes.size());
}

void ReceiveBuffer::consume(qsizetype n)
{
    Q_ASSERT(n >= 0 && n <= size());
    m_offset += n;
    if (m_offset == m_data.size()) {
        m_data.resize(0); // keeps capacity
        m_offset = 0;
    }
}

void ReceiveBuffer::truncate(qsizetype n)
{
    if (n < size())
        m_data.resize(m_offset + qMax<qsizetype>(n, 0));
}

void ReceiveBuffer::clear()
{
    m_data.clear();
    m_offset = 0;
}

qint64 recordSize(QByteArrayView bytes)
{
    if (bytes.size() < rec::kHeaderSize)
        return -1;
    const qint32 type = packetType(bytes);
    const qint64 size = type == DEMOPACKET ? qint64(packetSize(bytes)) : rec::fixedSize(type);
    return size >= rec::kHeaderSize ? size : -1;
}

void ReceiveBuffer::compact()
{
    m_data.remove(0, m_offset);
    m_offset = 0;
}

} // namespace arbelon
