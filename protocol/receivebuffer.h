#pragma once
// Byte buffer that records are appended to and taken off the front of.
// Taking from the front moves an offset; the unread tail is compacted only now and then,
// so a burst of many records costs time linear in its size.

#include <QByteArray>
#include <QByteArrayView>

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

} // namespace arbelon
