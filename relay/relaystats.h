#pragma once
// Counters of one relay server for its metrics page. Atomic, so that whichever thread
// handles a connection may count and any thread may read; relaxed, as each stands alone.

#include "relayconnection.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

namespace arbelon {

class RelayStats {
public:
    enum class Refusal { ClientLimit,
                         AddressLimit,
                         Password,
                         EmptyName,
                         GameLimit,
                         NoGame,
                         Flood,
                         FileLimit,
                         Other,
                         Count_ };
    static constexpr std::array<const char *, size_t(Refusal::Count_)> kRefusalNames{
        "client_limit", "address_limit", "film_password", "empty_name", "game_limit", "no_game", "flood", "file_limit", "other"};
    // Upper bounds of the join time buckets, in milliseconds; a last bucket takes the rest.
    static constexpr std::array<std::int64_t, 8> kJoinBucketsMs{10, 50, 100, 500, 1000, 5000, 30000, 300000};

    // A refusal by its logged reason: the reasons are the server's own fixed texts.
    static Refusal refusalOf(const QString &why)
    {
        if (why.startsWith(QStringLiteral("client limit")))
            return Refusal::ClientLimit;
        if (why.contains(QStringLiteral("connections from this address")))
            return Refusal::AddressLimit;
        if (why.contains(QStringLiteral("film password")))
            return Refusal::Password;
        if (why.startsWith(QStringLiteral("empty")))
            return Refusal::EmptyName;
        if (why.startsWith(QStringLiteral("game limit")))
            return Refusal::GameLimit;
        if (why.startsWith(QStringLiteral("no game")))
            return Refusal::NoGame;
        if (why.contains(QStringLiteral("flood")))
            return Refusal::Flood;
        if (why.startsWith(QStringLiteral("open-file limit")))
            return Refusal::FileLimit;
        return Refusal::Other;
    }

    void countRefusal(const QString &why) { add(m_refusals[size_t(refusalOf(why))], 1); }
    void connectionOpened(bool filmer) { add(filmer ? m_filmers : m_viewers, 1); }
    // Every close passes here once; a send queue overrun is a slow client dropped.
    void connectionClosed(bool filmer, const QString &reason)
    {
        add(filmer ? m_filmers : m_viewers, -1);
        if (reason.startsWith(QStringLiteral("send queue over")))
            add(m_slowDropped, 1);
    }
    void countDemoIn(qint64 bytes)
    {
        add(m_bytesIn, bytes);
        add(m_blocksIn, 1);
    }
    void countDemoOut(qint64 bytes, qint64 copies)
    {
        add(m_bytesOut, bytes * copies);
        add(m_blocksOut, copies);
    }
    void countDemoOut(const std::vector<RelayBlock> &records)
    {
        for (const RelayBlock &r : records)
            countDemoOut(r->size(), 1);
    }
    // Time from a Viewer's connection to its entry into a lobby.
    void observeJoin(qint64 ms)
    {
        size_t i = 0;
        while (i < kJoinBucketsMs.size() && ms > kJoinBucketsMs[i])
            ++i;
        add(m_joinBuckets[i], 1);
        add(m_joinSumMs, ms < 0 ? 0 : ms);
    }

    qint64 viewers() const { return get(m_viewers); }
    qint64 filmers() const { return get(m_filmers); }
    qint64 bytesIn() const { return get(m_bytesIn); }
    qint64 blocksIn() const { return get(m_blocksIn); }
    qint64 bytesOut() const { return get(m_bytesOut); }
    qint64 blocksOut() const { return get(m_blocksOut); }
    qint64 slowDropped() const { return get(m_slowDropped); }
    qint64 refusals(Refusal r) const { return get(m_refusals[size_t(r)]); }
    // Joins in bucket i (not cumulative); index kJoinBucketsMs.size() is the last bucket.
    qint64 joinBucket(size_t i) const { return get(m_joinBuckets[i]); }
    qint64 joinSumMs() const { return get(m_joinSumMs); }

private:
    using Counter = std::atomic<std::int64_t>;
    static void add(Counter &c, qint64 n) { c.fetch_add(n, std::memory_order_relaxed); }
    static qint64 get(const Counter &c) { return c.load(std::memory_order_relaxed); }

    Counter m_viewers{0}, m_filmers{0};
    Counter m_bytesIn{0}, m_blocksIn{0}, m_bytesOut{0}, m_blocksOut{0};
    Counter m_slowDropped{0};
    std::array<Counter, size_t(Refusal::Count_)> m_refusals{};
    std::array<Counter, kJoinBucketsMs.size() + 1> m_joinBuckets{};
    Counter m_joinSumMs{0};
};

} // namespace arbelon
