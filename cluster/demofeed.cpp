#include "demofeed.h"

#include "records.h"

namespace arbelon {

namespace {
bool isDemoStart(const QByteArray &record)
{
    return record.size() >= rec::kHeaderSize && packetType(record) == DEMORESTART;
}
} // namespace

QList<DemoFeed::Record> DemoFeed::push(quint64 seq, const QByteArray &record)
{
    QList<Record> out;
    if (m_last == 0) {
        // A reader that starts mid-stream can only begin at a demo's start.
        if (!isDemoStart(record)) {
            ++m_skipped;
            return out;
        }
        m_last = seq - 1;
    }
    if (seq <= m_last || m_held.count(seq)) {
        ++m_duplicates;
        return out;
    }
    if (seq == m_last + 1) {
        out.append({seq, record});
        m_last = seq;
        drain(out);
        return out;
    }
    m_held.emplace(seq, record);
    m_heldBytes += record.size();
    if (int(m_held.size()) > m_limits.maxHeldRecords || m_heldBytes > m_limits.maxHeldBytes)
        giveUpGap(out);
    return out;
}

void DemoFeed::drain(QList<Record> &out)
{
    while (!m_held.empty() && m_held.begin()->first == m_last + 1) {
        auto it = m_held.begin();
        m_heldBytes -= it->second.size();
        out.append({it->first, std::move(it->second)});
        m_last = it->first;
        m_held.erase(it);
    }
}

void DemoFeed::giveUpGap(QList<Record> &out)
{
    // Resume at the first demo start held; without one, wait for the next.
    auto start = m_held.begin();
    while (start != m_held.end() && !isDemoStart(start->second))
        ++start;
    if (start == m_held.end()) {
        m_skipped += m_held.size();
        m_held.clear();
        m_heldBytes = 0;
        m_last = 0;
        return;
    }
    for (auto it = m_held.begin(); it != start;) {
        m_heldBytes -= it->second.size();
        ++m_skipped;
        it = m_held.erase(it);
    }
    m_last = start->first - 1;
    drain(out);
}

} // namespace arbelon
