#include "q3message.h"

#include "q3huffman.h"

namespace arbelon::demo {

namespace {

[[noreturn]] void pastEnd()
{
    throw DemoError("a message is read past its end");
}

} // namespace

qint32 Q3MessageReader::readBits(int bits)
{
    const bool sign = bits < 0;
    if (sign)
        bits = -bits;
    if (bits < 1 || bits > 32)
        throw DemoError("bad bit width");
    const auto *data = reinterpret_cast<const std::uint8_t *>(m_data.data());
    const std::int64_t maxBit = std::int64_t(m_data.size()) * 8;
    quint32 value = 0;
    const int plain = bits & 7;
    if (plain) {
        if (m_bit + plain > maxBit)
            pastEnd();
        for (int i = 0; i < plain; ++i, ++m_bit)
            value |= quint32((data[m_bit >> 3] >> (m_bit & 7)) & 1) << i;
    }
    const Q3Huffman &huffman = Q3Huffman::instance();
    for (int i = plain; i < bits; i += 8) {
        const int symbol = huffman.decode(data, m_bit, maxBit);
        if (symbol < 0)
            pastEnd();
        value |= quint32(symbol) << i;
    }
    if (sign && bits < 32 && (value & (1u << (bits - 1))))
        value |= ~((1u << bits) - 1);
    return qint32(value);
}

QByteArray Q3MessageReader::readString(int limit)
{
    QByteArray s;
    for (;;) {
        const int c = readByte();
        if (c == 0)
            return s;
        if (s.size() >= limit)
            throw DemoError("a text in a message is longer than its format allows");
        s.append(char(c));
    }
}

QByteArray Q3MessageReader::readData(int length)
{
    QByteArray d;
    d.reserve(length);
    for (int i = 0; i < length; ++i)
        d.append(char(readByte()));
    return d;
}

void Q3MessageWriter::writeBits(qint32 value, int bits)
{
    if (bits < 0)
        bits = -bits;
    quint32 v = quint32(value);
    if (bits < 32)
        v &= (1u << bits) - 1;
    const int plain = bits & 7;
    for (int i = 0; i < plain; ++i, ++m_bit, v >>= 1) {
        if ((m_bit >> 3) >= m_data.size())
            m_data.append('\0');
        if (v & 1)
            m_data[qsizetype(m_bit >> 3)] = char(m_data[qsizetype(m_bit >> 3)] | char(1 << (m_bit & 7)));
    }
    const Q3Huffman &huffman = Q3Huffman::instance();
    for (int i = plain; i < bits; i += 8, v >>= 8)
        huffman.encode(m_data, m_bit, std::uint8_t(v & 0xff));
}

void Q3MessageWriter::writeString(QByteArrayView s)
{
    for (char c : s)
        writeByte(quint8(c));
    writeByte(0);
}

void Q3MessageWriter::writeData(QByteArrayView d)
{
    for (char c : d)
        writeByte(quint8(c));
}

QByteArray Q3MessageWriter::finish() const
{
    const qsizetype size = qsizetype(m_bit >> 3) + 1;
    if (size > m_limit)
        throw DemoError("a rebuilt message would be larger than the game reads");
    QByteArray out = m_data;
    out.resize(size, '\0');
    return out;
}

} // namespace arbelon::demo
