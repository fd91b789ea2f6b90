#pragma once
// Bounded reading and plain writing of one Quake 2 server message: little-endian integers and
// strings as the engine's MSG_Read*/MSG_Write* functions lay them out. Reading past the
// message's end is a DemoError, where the engine would read -1s and drop the connection.

#include "democodec.h"

#include <QByteArray>
#include <QByteArrayView>

namespace arbelon::demo::q2 {

class Reader {
public:
    explicit Reader(QByteArrayView bytes) : m_bytes(bytes) {}

    bool atEnd() const { return m_pos >= m_bytes.size(); }
    qsizetype position() const { return m_pos; }
    QByteArrayView sliced(qsizetype from, qsizetype to) const { return m_bytes.sliced(from, to - from); }

    quint8 byte();
    qint8 signedByte();
    qint16 shortValue();
    qint32 longValue();
    // As MSG_ReadString: up to a NUL or a 0xff byte (both consumed), at most 2047 characters.
    QByteArray string();
    QByteArrayView take(qsizetype n);

private:
    void need(qsizetype n) const;

    QByteArrayView m_bytes;
    qsizetype m_pos = 0;
};

class Writer {
public:
    void byte(quint8 v) { m_bytes.append(char(v)); }
    void shortValue(qint16 v);
    void longValue(qint32 v);
    void string(QByteArrayView s);
    void append(QByteArrayView bytes) { m_bytes.append(bytes); }

    qsizetype size() const { return m_bytes.size(); }
    const QByteArray &bytes() const { return m_bytes; }
    void clear() { m_bytes.clear(); }

private:
    QByteArray m_bytes;
};

// A message framed as in a .dm2 file: its length, then its bytes.
QByteArray framed(QByteArrayView message);

} // namespace arbelon::demo::q2
