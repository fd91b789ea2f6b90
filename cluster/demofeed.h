#pragma once
// One game's demo records as a node reads them from the game's stream, put back in the
// Filmer's order. A record whose publication failed over is published again, so it can
// come twice or after later ones: repeats are dropped by block sequence, early records
// wait (bounded) for the gap to fill, and a gap that never fills is given up at the next
// demo start, since a Viewer can only begin a demo file at its beginning.

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <map>
#include <utility>

namespace arbelon {

class DemoFeed {
public:
    struct Limits {
        int maxHeldRecords = 1024;
        qint64 maxHeldBytes = qint64(64) * 1024 * 1024;
    };
    using Record = std::pair<quint64, QByteArray>; // block sequence, record

    DemoFeed() = default;
    explicit DemoFeed(Limits limits) : m_limits(limits) {}

    // Takes one record from the stream; returns those now due, in order.
    QList<Record> push(quint64 seq, const QByteArray &record);

    quint64 lastDelivered() const { return m_last; }
    quint64 duplicates() const { return m_duplicates; }
    // Records never delivered: before the first demo start, or lost in a gap given up.
    quint64 skipped() const { return m_skipped; }
    qint64 heldBytes() const { return m_heldBytes; }
    int heldRecords() const { return int(m_held.size()); }

private:
    void drain(QList<Record> &out);
    void giveUpGap(QList<Record> &out);

    Limits m_limits;
    quint64 m_last = 0; // 0: no demo start seen yet
    std::map<quint64, QByteArray> m_held;
    qint64 m_heldBytes = 0;
    quint64 m_duplicates = 0;
    quint64 m_skipped = 0;
};

} // namespace arbelon
