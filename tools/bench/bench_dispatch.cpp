// Time per record for bursts of small records pushed through PacketDispatcher in memory,
// delivered whole and in 64 KiB chunks. The time per record must not grow with the burst.

#include "dispatcher.h"
#include "records.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

using namespace arbelon;

namespace {

// Handlers that do what the real ones do cheaply: read fields in place, consume, answer.
struct Bench {
    PacketDispatcher d;
    quint64 checksum = 0;
    quint64 handled = 0;
    quint64 answered = 0;

    Bench()
    {
        d.setConnectedFunction([] { return true; });
        d.setSendFunction([this](const QByteArray &r) {
            ++answered;
            checksum += quint8(r.at(12));
        });
        const auto userRecord = [this] {
            if (d.buffer().size() < 32)
                return false;
            checksum += quint64(UserRecordReader{d.front()}.userName().size());
            ++handled;
            d.consumeAndAck(32);
            return true;
        };
        d.setHandler(USERENTERED, userRecord);
        d.setHandler(USERLEFT, userRecord);
        d.setHandler(GAMEREMOVED, [this] {
            if (d.buffer().size() < 16)
                return false;
            checksum += GameRemovedReader{d.front()}.gameId();
            ++handled;
            d.consumeAndAck(16);
            return true;
        });
        d.setHandler(DEMORESTART, [this] {
            if (d.buffer().size() < 16)
                return false;
            checksum += quint32(DemoRestartReader{d.front()}.sequence());
            ++handled;
            d.consumeAndAck(16);
            return true;
        });
        d.setHandler(GAMEINFODETAILED, [this] {
            if (d.buffer().size() < 80)
                return false;
            const GameInfoDetailedReader r{d.front()};
            checksum += r.gameId() + r.users() + quint64(r.gameName().size());
            ++handled;
            d.consumeAndAck(80);
            return true;
        });
        d.setHandler(ACKNAK, [this] {
            if (d.buffer().size() < 16)
                return false;
            checksum += AckNakReader{d.front()}.result();
            ++handled;
            d.consume(16);
            return true;
        });
    }
};

QByteArray makeBurst(int records)
{
    const QByteArray kinds[] = {
        buildUserEntered("someone"),
        buildUserLeft("someone else"),
        buildGameRemoved(12345),
        buildDemoRestart(7),
        buildGameInfoDetailed(99, "a game", 1, 4, "baseq3"),
        buildAckNak(0),
    };
    QByteArray burst;
    burst.reserve(qsizetype(records) * 40);
    for (int i = 0; i < records; ++i)
        burst += kinds[i % 6];
    return burst;
}

// CPU time of this thread: other processes on a busy machine do not count against us.
qint64 threadNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

qint64 wallNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Timing {
    double cpu = 1e300; // ns per record, best of the rounds
    double wall = 1e300;
};

// One dispatcher for all rounds, as the client keeps one receive buffer for its lifetime;
// with `fresh` every round gets a new one, so the burst is first copied into untouched memory.
Timing run(const QByteArray &burst, int records, qsizetype chunk, int rounds, bool fresh)
{
    Timing best;
    auto kept = std::make_unique<Bench>();
    for (int round = 0; round < rounds; ++round) {
        if (fresh)
            kept = std::make_unique<Bench>();
        Bench &b = *kept;
        const quint64 before = b.handled;
        const qint64 cpu0 = threadNs();
        const qint64 wall0 = wallNs();
        if (chunk <= 0) {
            b.d.dataAvailable(burst);
        } else {
            for (qsizetype pos = 0; pos < burst.size(); pos += chunk)
                b.d.dataAvailable(QByteArrayView(burst).sliced(pos, qMin(chunk, burst.size() - pos)));
        }
        const qint64 cpu = threadNs() - cpu0;
        const qint64 wall = wallNs() - wall0;
        if (b.handled - before != quint64(records) || !b.d.buffer().isEmpty()) {
            std::fprintf(stderr, "bench_dispatch: handled %llu of %d records\n",
                         static_cast<unsigned long long>(b.handled - before), records);
            std::exit(1);
        }
        best.cpu = std::min(best.cpu, double(cpu) / records);
        best.wall = std::min(best.wall, double(wall) / records);
    }
    return best;
}

} // namespace

int main()
{
    const int sizes[] = {10000, 100000, 1000000};
    struct Mode {
        const char *name;
        qsizetype chunk;
        bool fresh;
        bool judged; // part of the flatness verdict
    } const modes[] = {
        {"whole burst", 0, false, true},
        {"64 KiB chunks", 64 * 1024, false, true},
        {"whole, new buf", 0, true, false},
    };

    std::printf("bench_dispatch: mixed small records (16, 32, 80 bytes) through PacketDispatcher,\n"
                "each read in place, consumed and answered with an ACKNAK into a sink\n");
    std::printf("(ns/record is this thread's CPU time, best of several rounds; wall time beside it)\n");
    std::printf("%-15s %10s %12s %12s %12s\n", "delivery", "records", "ns/record", "CPU ms", "wall ns/rec");
    bool flat = true;
    for (const Mode &m : modes) {
        std::vector<double> perRecord;
        for (int n : sizes) {
            const QByteArray burst = makeBurst(n);
            run(burst, n, m.chunk, 1, m.fresh); // warm-up
            const Timing t = run(burst, n, m.chunk, n >= 1000000 ? 5 : 9, m.fresh);
            perRecord.push_back(t.cpu);
            std::printf("%-15s %10d %12.1f %12.2f %12.1f\n", m.name, n, t.cpu, t.cpu * n / 1e6, t.wall);
        }
        const double ratio = perRecord.back() / perRecord.front();
        const double spread = *std::max_element(perRecord.begin(), perRecord.end())
                              / *std::min_element(perRecord.begin(), perRecord.end());
        std::printf("%-15s largest/smallest burst: %.2fx (max/min over all bursts %.2fx)%s\n",
                    m.name, ratio, spread,
                    m.judged ? "" : "  [includes first touch of a burst-sized buffer]");
        if (m.judged)
            flat = flat && spread <= 1.5;
    }
    std::printf("%s\n", flat ? "flat: within 1.5x" : "NOT flat: more than 1.5x");
    return 0;
}
