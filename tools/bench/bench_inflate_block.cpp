// Prints how fast inflateBlock() takes demo-sized blocks apart, next to a plain zlib loop
// (inflateInit2_, inflate, inflateEnd and crc32 per block into a reused buffer).
// Usage: bench_inflate_block [block size, default 10000] [blocks, default 2000]

#include "bench/plaininflate.h"
#include "zlibcomp.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <vector>

using arbelon::bench::plainInflate;

namespace {

// Demo-like bytes: small frames of slowly moving values with now and then a line of text.
QByteArray demoLike(int size, quint32 &seed)
{
    auto next = [&seed] {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return seed;
    };
    QByteArray data;
    data.reserve(size + 64);
    int x = 0, y = 0;
    for (int frame = 0; data.size() < size; ++frame) {
        x += int(next() % 9) - 4;
        y += int(next() % 5) - 2;
        data.append(char(0x0b)).append(char(frame)).append(char(x)).append(char(y));
        data.append("\x01\x00\x10\x00", 4).append(char(next() & 0x03));
        if (next() % 24 == 0)
            data.append("print \"frag limit hit\"\n");
    }
    data.truncate(size);
    return data;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int blockSize = args.size() > 1 ? args.at(1).toInt() : 10000;
    const int blockCount = args.size() > 2 ? args.at(2).toInt() : 2000;
    if (blockSize <= 0 || blockSize > 4 * 1024 * 1024 || blockCount <= 0) {
        std::fprintf(stderr, "usage: bench_inflate_block [block size] [blocks]\n");
        return 2;
    }

    quint32 seed = 2024;
    std::vector<QByteArray> blocks;
    std::vector<quint32> crcs;
    qint64 compressedBytes = 0;
    for (int i = 0; i < blockCount; ++i) {
        const arbelon::CompressedBlock block = arbelon::compressBlock(demoLike(blockSize, seed));
        compressedBytes += block.data.size();
        blocks.push_back(block.data);
        crcs.push_back(block.crc);
    }

    constexpr int kRounds = 7;
    std::vector<Bytef> scratch(std::size_t(blockSize) + 1024);
    qint64 bestPlain = std::numeric_limits<qint64>::max();
    qint64 bestBlock = std::numeric_limits<qint64>::max();
    int mismatches = 0;
    QElapsedTimer timer;
    for (int round = 0; round < kRounds; ++round) {
        timer.start();
        for (std::size_t i = 0; i < blocks.size(); ++i)
            mismatches += plainInflate(blocks[i], scratch) != crcs[i];
        bestPlain = std::min(bestPlain, timer.nsecsElapsed());

        timer.start();
        QByteArray out;
        quint32 crc = 0;
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            const auto result = arbelon::inflateBlock(blocks[i], &out, &crc, 16 * 1024 * 1024);
            mismatches += result != arbelon::InflateResult::Ok || crc != crcs[i];
        }
        bestBlock = std::min(bestBlock, timer.nsecsElapsed());
    }

    const double raw = double(blockSize) * blockCount;
    auto mbps = [raw](qint64 ns) { return raw / (double(ns) / 1e9) / 1e6; };
    std::printf("blocks: %d x %d bytes, compressed to %.1f%%\n", blockCount, blockSize,
                100.0 * double(compressedBytes) / raw);
    std::printf("plain zlib inflate+crc32: %8.1f MB/s  %6.2f us/block\n", mbps(bestPlain),
                double(bestPlain) / 1e3 / blockCount);
    std::printf("inflateBlock (TZLib):     %8.1f MB/s  %6.2f us/block\n", mbps(bestBlock),
                double(bestBlock) / 1e3 / blockCount);
    std::printf("ratio inflateBlock/plain: %.2f\n", double(bestPlain) / double(bestBlock));
    if (mismatches) {
        std::fprintf(stderr, "CRC mismatches: %d\n", mismatches);
        return 1;
    }
    return 0;
}
