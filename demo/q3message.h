#pragma once
// One Quake 3 network message, as a demo stores it: a bit stream in which values of whole
// bytes go through the Huffman code and the odd bits of other widths are sent plain, least
// significant first. Reading past the end is an error here (the engines read zeros and then
// give up on the message), so a damaged demo ends with a clear refusal.

#include "democodec.h"

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>

namespace arbelon::demo {

class Q3MessageReader {
public:
    explicit Q3MessageReader(QByteArrayView data) : m_data(data) {}

    // bits: 1 to 32; a negative width reads that many bits and extends the sign.
    qint32 readBits(int bits);
    int readByte() { return int(quint32(readBits(8))); }
    int readShort() { return qint16(readBits(16)); }
    qint32 readLong() { return readBits(32); }
    // A text ended by a zero byte (or the message's end), of at most limit bytes; longer texts
    // are refused. The bytes are kept as they are.
    QByteArray readString(int limit);
    QByteArray readData(int length);

    // Bytes used so far, as the engines count them.
    qsizetype readCount() const { return qsizetype(m_bit >> 3) + 1; }
    bool exhausted() const { return m_bit >= std::int64_t(m_data.size()) * 8; }

private:
    QByteArrayView m_data;
    std::int64_t m_bit = 0;
};

class Q3MessageWriter {
public:
    explicit Q3MessageWriter(qsizetype limit) : m_limit(limit) {}

    void writeBits(qint32 value, int bits);
    void writeByte(int v) { writeBits(v, 8); }
    void writeShort(int v) { writeBits(v, 16); }
    void writeLong(qint32 v) { writeBits(v, 32); }
    // Writes the bytes and the ending zero.
    void writeString(QByteArrayView s);
    void writeData(QByteArrayView d);

    // The message as the engines size it: one byte past the last bit begun. Throws DemoError
    // when it passed the limit given.
    QByteArray finish() const;

private:
    QByteArray m_data;
    std::int64_t m_bit = 0;
    qsizetype m_limit;
};

} // namespace arbelon::demo
