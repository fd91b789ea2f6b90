#pragma once
// Byte buffer that records are appended to and taken off the front of.
// Taking from the front moves an offset; the unread tail is compacted only now and then,
// so a burst of many records costs time linear in its size.

#include "records.h"

#include <QByteArray>
#include <QByteArrayView>

#include <utility>

namespace arbelon {

class ReceiveBuffer {
public:
    void append(QByteArrayView bytes);
    // The unread bytes; valid until the next append(), consume() or clear().
    QByteArrayView front() const { return QByteArrayView(m_data).sliced(m_offset); }
    qsizetype size() const { return m_data.size() - m_offset; }
    bool isEmpty() const { return size() == 0; }
    void consume(qsizetype n);
    // Keeps only the first n unread bytes.
    void truncate(qsizetype n);
    void clear();

private:
    void compact();

    QByteArray m_data;
    qsizetype m_offset = 0;
};

// ---- framing: cutting records out of received bytes --------------------------------

// The size the record at the front of bytes announces: PacketSize for a DEMOPACKET, the
// type's fixed size for the others; -1 before a whole header or for a type without a size.
qint64 recordSize(QByteArrayView bytes);

enum class Framing {
    NeedMore, // what is left is not a whole record (or nothing is left)
    Stopped,  // take asked to stop; the records after it are still there
    Unframed, // the record at the front has no size that could be framed; it stays there
};

// Cuts the whole records off the front of *bytes, in order: take(record) gets each, as a view
// valid during the call, and returns false to stop after it. sizeOf(front) gives the size of
// the record whose header is at the front; one below the header's 12 bytes cannot be framed.
template <typename Take, typename SizeOf = qint64 (*)(QByteArrayView)>
Framing cutRecords(QByteArrayView *bytes, Take &&take, SizeOf &&sizeOf = recordSize)
{
    while (bytes->size() >= rec::kHeaderSize) {
        const qint64 size = sizeOf(*bytes);
        if (size < rec::kHeaderSize)
            return Framing::Unframed;
        if (bytes->size() < size)
            return Framing::NeedMore;
        const QByteArrayView record = bytes->first(qsizetype(size));
        *bytes = bytes->sliced(qsizetype(size));
        if (!take(record))
            return Framing::Stopped;
    }
    return Framing::NeedMore;
}

// The same over a buffer, which loses what was cut. take must not change the buffer.
template <typename Take, typename SizeOf = qint64 (*)(QByteArrayView)>
Framing cutRecords(ReceiveBuffer &buffer, Take &&take, SizeOf &&sizeOf = recordSize)
{
    QByteArrayView rest = buffer.front();
    const qsizetype before = rest.size();
    const Framing end = cutRecords(&rest, std::forward<Take>(take), std::forward<SizeOf>(sizeOf));
    buffer.consume(before - rest.size());
    return end;
}

} // namespace arbelon
