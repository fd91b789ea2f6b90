#include "q2message.h"

#include <QtEndian>

namespace arbelon::demo::q2 {

namespace {
// MSG_ReadString's buffer (id-Software/Quake-2, qcommon/common.c): 2048 bytes, NUL included.
constexpr qsizetype kMaxStringChars = 2047;
} // namespace

void Reader::need(qsizetype n) const
{
    if (n > m_bytes.size() - m_pos)
        throw DemoError("a Quake 2 demo message ends inside a field");
}

quint8 Reader::byte()
{
    need(1);
    return quint8(m_bytes[m_pos++]);
}

qint8 Reader::signedByte()
{
    return qint8(byte());
}

qint16 Reader::shortValue()
{
    need(2);
    const qint16 v = qFromLittleEndian<qint16>(m_bytes.data() + m_pos);
    m_pos += 2;
    return v;
}

qint32 Reader::longValue()
{
    need(4);
    const qint32 v = qFromLittleEndian<qint32>(m_bytes.data() + m_pos);
    m_pos += 4;
    return v;
}

QByteArray Reader::string()
{
    QByteArray s;
    while (s.size() < kMaxStringChars) {
        const quint8 c = byte();
        if (c == 0 || c == 0xff)
            break;
        s.append(char(c));
    }
    return s;
}

QByteArrayView Reader::take(qsizetype n)
{
    need(n);
    const QByteArrayView v = m_bytes.sliced(m_pos, n);
    m_pos += n;
    return v;
}

void Writer::shortValue(qint16 v)
{
    char b[2];
    qToLittleEndian<qint16>(v, b);
    m_bytes.append(b, 2);
}

void Writer::longValue(qint32 v)
{
    char b[4];
    qToLittleEndian<qint32>(v, b);
    m_bytes.append(b, 4);
}

void Writer::string(QByteArrayView s)
{
    m_bytes.append(s);
    m_bytes.append('\0');
}

QByteArray framed(QByteArrayView message)
{
    Writer w;
    w.longValue(qint32(message.size()));
    w.append(message);
    return w.bytes();
}

} // namespace arbelon::demo::q2
