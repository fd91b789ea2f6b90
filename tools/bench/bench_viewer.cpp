// Prints how fast a Viewer takes demo blocks in: the whole receive path (the receive loop of
// PacketDispatcher, the DEMOPACKET handler with TZLib, CRC check, append to the demo file in a
// temporary game directory, ACKNAK built and handed to a sink), next to a plain zlib loop
// (inflateInit2_, inflate, inflateEnd and crc32 per block into a reused buffer) over the same
// blocks. Rates are uncompressed megabytes per second of this thread's CPU time (user and
// system, so the demo file's writes count).
// Usage: bench_viewer [block size, default 10000] [blocks, default 10000] [rounds, default 5]
//                     [folder for the game directory, default the system's temporary folder]

#include "bench/plaininflate.h"
#include "clientcore.h"
#include "viewerreception.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <limits>
#include <vector>

using namespace arbelon;
using arbelon::bench::plainInflate;

namespace {

// Demo-like bytes: per frame a header with a running time, then delta-coded entity records
// (entity number, a mask of the fields that changed, one small signed delta per changed
// field), now and then a line of console text; neither noise nor zeros.
QByteArray demoLike(int size, quint32 &seed)
{
    auto next = [&seed] {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return seed;
    };
    static constexpr qint8 kSteps[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, -1, -1, -1, 2, -2};
    static quint32 time = 0;
    QByteArray data;
    data.reserve(size + 128);
    while (data.size() < size) {
        time += 100;
        data.append(char(0x14)).append(char(time & 0xff)).append(char((time >> 8) & 0xff));
        const int entities = 4 + int(next() % 5);
        for (int e = 0; e < entities; ++e) {
            const quint32 r = next();
            const quint32 mask = (r & 0x30) == 0 ? (r & 0x07) : ((r & 0x0c) == 0 ? 0x03 : 0x01);
            data.append(char(0x20 + e)).append(char(mask));
            for (int f = 0; f < 3; ++f) {
                if (mask & (1u << f))
                    data.append(char(kSteps[next() % 16]));
            }
        }
        if (next() % 50 == 0)
            data.append("print \"Player was fragged by a rocket\"\n");
    }
    data.truncate(size);
    return data;
}

// CPU time of this thread: on a shared machine, time given to other processes is not ours.
qint64 threadNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

QByteArray deflated(const QByteArray &raw)
{
    uLongf n = compressBound(uLong(raw.size()));
    QByteArray out(qsizetype(n), Qt::Uninitialized);
    compress2(reinterpret_cast<Bytef *>(out.data()), &n,
              reinterpret_cast<const Bytef *>(raw.constData()), uLong(raw.size()),
              Z_DEFAULT_COMPRESSION);
    out.resize(qsizetype(n));
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int blockSize = args.size() > 1 ? args.at(1).toInt() : 10000;
    const int blockCount = args.size() > 2 ? args.at(2).toInt() : 10000;
    const int rounds = args.size() > 3 ? args.at(3).toInt() : 5;
    if (blockSize <= 0 || blockSize > 4 * 1024 * 1024 || blockCount <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: bench_viewer [block size] [blocks] [rounds] [folder]\n");
        return 2;
    }

    // The same records for both loops; the stream is what the socket would deliver.
    quint32 seed = 2026;
    std::vector<QByteArray> payloads;
    std::vector<quint32> crcs;
    QByteArray stream;
    qint64 compressedBytes = 0;
    for (int i = 0; i < blockCount; ++i) {
        const QByteArray raw = demoLike(blockSize, seed);
        const quint32 crc = quint32(crc32(0, reinterpret_cast<const Bytef *>(raw.constData()),
                                          uInt(raw.size())));
        const QByteArray packet = buildDemoPacket(crc, i, deflated(raw));
        compressedBytes += packet.size() - rec::kDemoPacketHeaderSize;
        payloads.push_back(packet.mid(rec::kDemoPacketHeaderSize));
        crcs.push_back(crc);
        stream += packet;
    }

    QTemporaryDir gameDir(args.size() > 4 ? args.at(4) + QStringLiteral("/bench_viewer-XXXXXX")
                                          : QDir::tempPath() + QStringLiteral("/bench_viewer-XXXXXX"));
    if (!gameDir.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    QDateTime clock(QDate(2027, 2, 1), QTime(9, 0, 0));
    ClientCore core;
    core.setClock([&clock] { return clock; });
    core.settings().quake2Dir = gameDir.path() + QLatin1Char('/');
    DemoTransferState &demo = core.demo();
    demo.watchedGameType = GameType::Quake2;
    demo.watchedMod = QStringLiteral("baseq2");
    demo.watchedGameName = QStringLiteral("bench");
    core.viewer().prepareLobby();

    // The ACKNAKs go into a sink instead of a socket.
    qint64 acks = 0;
    qint64 refused = 0;
    PacketDispatcher &dispatcher = core.dispatcher();
    dispatcher.setConnectedFunction([] { return true; });
    dispatcher.setSendFunction([&](const QByteArray &r) {
        ++acks;
        refused += AckNakReader{r}.result() != 0;
    });

    // Both loops run over the same segment of blocks one right after the other, in turns, so
    // that the load of a shared machine weighs on both alike; each segment keeps its best time.
    constexpr qsizetype kPiece = 64 * 1024; // what one data event typically brings
    constexpr int kSegment = 500;
    const int segments = (blockCount + kSegment - 1) / kSegment;
    std::vector<qsizetype> segmentStart(std::size_t(segments) + 1, stream.size());
    qsizetype at = 0;
    for (int s = 0; s < segments; ++s) {
        segmentStart[std::size_t(s)] = at;
        for (int i = s * kSegment; i < std::min(blockCount, (s + 1) * kSegment); ++i)
            at += rec::kDemoPacketHeaderSize + payloads[std::size_t(i)].size();
    }
    std::vector<qint64> bestPlain(std::size_t(segments), std::numeric_limits<qint64>::max());
    std::vector<qint64> bestPath(std::size_t(segments), std::numeric_limits<qint64>::max());
    std::vector<Bytef> scratch(std::size_t(blockSize) + 1024);
    int mismatches = 0;

    auto runPlain = [&](int s) {
        const qint64 start = threadNs();
        for (int i = s * kSegment; i < std::min(blockCount, (s + 1) * kSegment); ++i)
            mismatches += plainInflate(payloads[std::size_t(i)], scratch) != crcs[std::size_t(i)];
        return threadNs() - start;
    };
    auto runPath = [&](int s) {
        const qsizetype end = segmentStart[std::size_t(s) + 1];
        const qint64 start = threadNs();
        for (qsizetype at = segmentStart[std::size_t(s)]; at < end; at += kPiece)
            dispatcher.dataAvailable(QByteArrayView(stream).sliced(at, std::min(kPiece, end - at)));
        return threadNs() - start;
    };

    for (int round = 0; round < rounds; ++round) {
        clock = clock.addSecs(1); // a new demo name, so a new file, each round
        dispatcher.dataAvailable(buildDemoRestart(0));
        acks = 0;
        for (int s = 0; s < segments; ++s) {
            const std::size_t k = std::size_t(s);
            if (round % 2 == 0) {
                bestPlain[k] = std::min(bestPlain[k], runPlain(s));
                bestPath[k] = std::min(bestPath[k], runPath(s));
            } else {
                bestPath[k] = std::min(bestPath[k], runPath(s));
                bestPlain[k] = std::min(bestPlain[k], runPlain(s));
            }
        }

        const QString file = demo.currentDemoPath;
        const qint64 written = QFileInfo(file).size();
        core.viewer().demoClose();
        QFile::remove(file);
        if (acks != blockCount || written != qint64(blockSize) * blockCount) {
            std::fprintf(stderr, "round %d: %lld acks, %lld bytes written\n", round,
                         static_cast<long long>(acks), static_cast<long long>(written));
            return 1;
        }
    }
    qint64 plainNs = 0;
    qint64 pathNs = 0;
    for (int s = 0; s < segments; ++s) {
        plainNs += bestPlain[std::size_t(s)];
        pathNs += bestPath[std::size_t(s)];
    }

    const double raw = double(blockSize) * blockCount;
    auto mbps = [raw](qint64 ns) { return raw / (double(ns) / 1e9) / 1e6; };
    std::printf("blocks: %d x %d bytes, compressed to %.1f%%, best of %d rounds per segment of 500\n", blockCount,
                blockSize, 100.0 * double(compressedBytes) / raw, rounds);
    std::printf("plain zlib inflate+crc32:   %8.1f MB/s  %6.2f us/block\n", mbps(plainNs),
                double(plainNs) / 1e3 / blockCount);
    std::printf("viewer receive path:        %8.1f MB/s  %6.2f us/block\n", mbps(pathNs),
                double(pathNs) / 1e3 / blockCount);
    std::printf("ratio viewer path/plain:    %.2f\n", double(plainNs) / double(pathNs));
    if (mismatches || refused) {
        std::fprintf(stderr, "CRC mismatches: %d, refused blocks: %lld\n", mismatches,
                     static_cast<long long>(refused));
        return 1;
    }
    return 0;
}
