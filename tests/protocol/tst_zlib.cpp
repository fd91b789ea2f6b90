// Block compression: byte-exact zlib streams, CRC-32, the failure texts, damaged and truncated
// blocks, large outputs and the output limit.

#include "zlibcomp.h"

#include <QBuffer>
#include <QTest>

#include <zlib.h>

#include <memory>
#include <vector>

using namespace arbelon;

namespace {

const QString kPrefix = QStringLiteral("Error in Archiving Routines: ");

quint32 next(quint32 &state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

// Looks like demo data: small frames of counters, coordinates moving in small steps, and text.
QByteArray demoLike(int size, quint32 seed = 7)
{
    QByteArray data;
    data.reserve(size);
    qint32 x = 100, y = -40;
    for (int frame = 0; data.size() < size; ++frame) {
        x += int(next(seed) % 7) - 3;
        y += int(next(seed) % 5) - 2;
        data.append(char(0x0b)).append(char(frame & 0xff)).append(char(x & 0xff));
        data.append(char(y & 0xff)).append(char(next(seed) & 0x0f));
        if (next(seed) % 16 == 0)
            data.append("print \"player entered the game\"\n");
    }
    data.truncate(size);
    return data;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    for (char &c : data)
        c = char(next(seed));
    return data;
}

quint32 crcOf(QByteArrayView data)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef *>(data.data()), uInt(data.size())));
}

QByteArray zlibCompress(const QByteArray &data, int level)
{
    uLongf size = compressBound(uLong(data.size()));
    QByteArray out(qsizetype(size), Qt::Uninitialized);
    if (compress2(reinterpret_cast<Bytef *>(out.data()), &size,
                  reinterpret_cast<const Bytef *>(data.constData()), uLong(data.size()), level)
        != Z_OK)
        return {};
    out.truncate(qsizetype(size));
    return out;
}

// Deflates `count` zero bytes without holding them, as one finished stream.
QByteArray zlibCompressZeros(qint64 count)
{
    z_stream zs{};
    deflateInit(&zs, Z_DEFAULT_COMPRESSION);
    const QByteArray zeros(1 << 20, '\0');
    QByteArray out;
    char chunk[65536];
    int code = Z_OK;
    while (code != Z_STREAM_END) {
        if (zs.avail_in == 0 && count > 0) {
            zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(zeros.constData()));
            zs.avail_in = uInt(qMin<qint64>(count, zeros.size()));
            count -= zs.avail_in;
        }
        zs.next_out = reinterpret_cast<Bytef *>(chunk);
        zs.avail_out = sizeof chunk;
        code = deflate(&zs, count == 0 ? Z_FINISH : Z_NO_FLUSH);
        out.append(chunk, qsizetype(sizeof chunk - zs.avail_out));
    }
    deflateEnd(&zs);
    return out;
}

// Plain zlib inflate of whatever the stream yields, finished or not.
QByteArray zlibInflate(const QByteArray &stream, int *code = nullptr)
{
    z_stream zs{};
    inflateInit(&zs);
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(stream.constData()));
    zs.avail_in = uInt(stream.size());
    QByteArray out;
    char chunk[65536];
    int rc = Z_OK;
    do {
        zs.next_out = reinterpret_cast<Bytef *>(chunk);
        zs.avail_out = sizeof chunk;
        rc = inflate(&zs, Z_NO_FLUSH);
        out.append(chunk, qsizetype(sizeof chunk - zs.avail_out));
    } while (rc == Z_OK && zs.avail_out == 0);
    inflateEnd(&zs);
    if (code)
        *code = rc;
    return out;
}

// Records the size of every write.
class PieceBuffer : public QBuffer {
public:
    std::vector<qint64> pieces;

protected:
    qint64 writeData(const char *data, qint64 len) override
    {
        pieces.push_back(len);
        return QBuffer::writeData(data, len);
    }
};

struct ProgressEvent {
    TZLib *sender;
    qint32 totalIn, totalOut, currentIn, currentOut;
};

// One component with memory streams, as the Viewer and the Filmer use it.
struct Rig {
    QByteArray input;
    QBuffer in{&input};
    PieceBuffer out;
    TZLib zlib{nullptr};
    std::vector<ProgressEvent> events;

    explicit Rig(const QByteArray &data = {}) : input(data)
    {
        in.open(QIODevice::ReadOnly);
        out.open(QIODevice::ReadWrite);
        zlib.setInStream(&in);
        zlib.setOutStream(&out);
        zlib.setOnProgress([this](TZLib *s, qint32 ti, qint32 to, qint32 ci, qint32 co) {
            events.push_back({s, ti, to, ci, co});
        });
    }
    bool run(ZLibMode mode, bool finish)
    {
        zlib.setMode(mode);
        return mode == zmCompress ? zlib.Compress(finish) : zlib.Decompress(finish);
    }
    QByteArray output() const { return out.data(); }
};

} // namespace

class TestZLib : public QObject {
    Q_OBJECT
private slots:
    void compressMatchesZlib_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("level");
        QTest::addColumn<int>("zlibLevel");
        const QList<std::pair<const char *, QByteArray>> inputs = {
            {"empty", QByteArray()},
            {"small", QByteArrayLiteral("recording to demos/duel1.dm2.")},
            {"65535", demoLike(65535)},
            {"65536", demoLike(65536)},
            {"200000", demoLike(200000)},
        };
        for (const auto &[name, data] : inputs) {
            QTest::addRow("default %s", name) << data << int(clDefault) << Z_DEFAULT_COMPRESSION;
            QTest::addRow("max %s", name) << data << int(clMax) << 9;
        }
        QTest::addRow("fastest 200000") << demoLike(200000) << int(clFastest) << 1;
        QTest::addRow("none small") << demoLike(3000) << int(clNoCompression) << 0;
    }

    void compressMatchesZlib()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, level);
        QFETCH(int, zlibLevel);
        Rig rig(input);
        rig.zlib.setCompressionLevel(ZLibCompressionLevel(level));
        QVERIFY(rig.run(zmCompress, true));
        QCOMPARE(rig.output(), zlibCompress(input, zlibLevel));
        if (input.isEmpty())
            QCOMPARE(rig.output().size(), 8);
        QCOMPARE(rig.zlib.Crc(), crcOf(input));
        QCOMPARE(rig.zlib.Mode(), zmNone);
        QCOMPARE(rig.zlib.TotalIn(), input.size());
        QCOMPARE(rig.zlib.TotalOut(), rig.output().size());

        Rig back(rig.output());
        QVERIFY(back.run(zmDecompress, false));
        QCOMPARE(back.output(), input);
        QCOMPARE(back.zlib.Crc(), crcOf(input));
    }

    void crcCheckValue()
    {
        const QByteArray check = QByteArrayLiteral("123456789");
        Rig rig(check);
        QVERIFY(rig.run(zmCompress, true));
        QCOMPARE(rig.zlib.Crc(), 0xCBF43926u);
        Rig back(rig.output());
        QVERIFY(back.run(zmDecompress, false));
        QCOMPARE(back.zlib.Crc(), 0xCBF43926u);
        QCOMPARE(compressBlock(check).crc, 0xCBF43926u);
    }

    void twoRunsGiveIndependentStreams()
    {
        const QByteArray first = demoLike(5000, 1), second = demoLike(7000, 2);
        Rig rig(first);
        QVERIFY(rig.run(zmCompress, true));
        rig.input = second;
        QVERIFY(rig.run(zmCompress, true));
        QCOMPARE(rig.output(), zlibCompress(second, Z_DEFAULT_COMPRESSION));
        QCOMPARE(rig.zlib.Crc(), crcOf(second));
    }

    void settingSameModeDoesNothing()
    {
        const QByteArray first = demoLike(5000, 3), second = demoLike(6000, 4);
        Rig rig(first);
        QVERIFY(rig.run(zmCompress, false));
        const QByteArray flushed = rig.output();
        QVERIFY(!flushed.isEmpty());
        rig.zlib.setMode(zmCompress);
        QCOMPARE(rig.zlib.Crc(), crcOf(first));
        QCOMPARE(rig.output(), flushed);

        rig.input = second;
        QVERIFY(rig.zlib.Compress(true));
        QCOMPARE(rig.zlib.Crc(), crcOf(first + second));
        int code = Z_OK;
        QCOMPARE(zlibInflate(rig.output(), &code), first + second);
        QCOMPARE(code, Z_STREAM_END);
    }

    void unfinishedStreamCannotBeClosed()
    {
        Rig rig(demoLike(1000));
        QVERIFY(rig.run(zmCompress, false));
        try {
            rig.zlib.setMode(zmNone);
            QFAIL("closing an unfinished deflate stream must fail");
        } catch (const EZLibException &e) {
            QCOMPARE(e.message(), kPrefix + QStringLiteral("ZLib Invalid Data"));
        }
        QCOMPARE(rig.zlib.Mode(), zmCompress);
        QVERIFY_THROWS_EXCEPTION(EZLibException, rig.zlib.Compress(true));
        QCOMPARE(rig.zlib.StatusText(), QStringLiteral("ZLib Stream Fault"));
    }

    void failures_data()
    {
        QTest::addColumn<bool>("assignInput");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("compress");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("text");

        const QByteArray good = zlibCompress(demoLike(20000), Z_DEFAULT_COMPRESSION);
        QByteArray badCheck = good;
        badCheck[badCheck.size() - 1] = char(badCheck.back() ^ 0x55);
        QByteArray badType = good.left(2);
        badType.append(char(0x07)).append(good.mid(3)); // final block of the reserved type 3
        QByteArray bigWindow = good;
        bigWindow[0] = char(0x88); // 64 KiB window
        bigWindow[1] = char(0x1c); // 0x881c is a multiple of 31

        const QString noInput = QStringLiteral("No Input Stream");
        const QString fault = QStringLiteral("ZLib Stream Fault");
        const QString invalid = QStringLiteral("ZLib Invalid Data");
        auto row = [](const char *name, bool assign, ZLibMode mode, bool compress,
                      const QByteArray &input, const QString &text) {
            QTest::newRow(name) << assign << int(mode) << compress << input << text;
        };
        row("compress, no input", false, zmCompress, true, good, noInput);
        row("decompress, no input", false, zmDecompress, false, good, noInput);
        row("compress in zmNone", true, zmNone, true, good, fault);
        row("decompress in zmNone", true, zmNone, false, good, fault);
        row("compress in zmDecompress", true, zmDecompress, true, good, fault);
        row("decompress in zmCompress", true, zmCompress, false, good, fault);
        row("empty block", true, zmDecompress, false, {}, QStringLiteral("ZLib Buffer Fault"));
        row("bad header", true, zmDecompress, false, "\x78\x9d" + good.mid(2), invalid);
        row("bad check value", true, zmDecompress, false, badCheck, invalid);
        row("reserved block type", true, zmDecompress, false, badType, invalid);
        row("window too large", true, zmDecompress, false, bigWindow, invalid);
        row("text, not zlib", true, zmDecompress, false, "GAMEINFO player one", invalid);
    }

    void failures()
    {
        QFETCH(bool, assignInput);
        QFETCH(int, mode);
        QFETCH(bool, compress);
        QFETCH(QByteArray, input);
        QFETCH(QString, text);
        Rig rig(input);
        if (!assignInput)
            rig.zlib.setInStream(nullptr);
        rig.zlib.setMode(ZLibMode(mode));
        try {
            compress ? rig.zlib.Compress(false) : rig.zlib.Decompress(false);
            QFAIL("no exception");
        } catch (const EZLibException &e) {
            QCOMPARE(e.message(), kPrefix + text);
            QCOMPARE(QString::fromUtf8(e.what()), kPrefix + text);
        }
        QCOMPARE(rig.zlib.StatusText(), text);
        QCOMPARE(rig.zlib.Mode(), ZLibMode(mode));
        // A failing call ends the run at once; only the run's closing event fires.
        QCOMPARE(int(rig.events.size()), assignInput ? 1 : 0);
        if (assignInput)
            QCOMPARE(rig.events.back().currentIn, input.size());
    }

    void largeOutputArrivesComplete_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QByteArray>("expected");
        for (int size : {65535, 65536, 131070, 200000, 1000000}) {
            const QByteArray data = demoLike(size, quint32(size));
            QTest::addRow("%d", size) << zlibCompress(data, Z_DEFAULT_COMPRESSION) << data;
        }
        const QByteArray stored = randomBytes(300000, 9);
        QTest::newRow("stored 300000") << zlibCompress(stored, 0) << stored;
    }

    void largeOutputArrivesComplete()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QByteArray, expected);
        Rig rig(stream);
        QVERIFY(rig.run(zmDecompress, false));
        QCOMPARE(rig.output(), expected);
        QCOMPARE(rig.zlib.Crc(), crcOf(expected));
        QCOMPARE(rig.zlib.CurrentOut(), expected.size());
        QCOMPARE(rig.zlib.TotalIn(), stream.size());
        const std::vector<qint64> &pieces = rig.out.pieces;
        QCOMPARE(qint64(pieces.size()), (expected.size() + 65534) / 65535);
        for (std::size_t i = 0; i + 1 < pieces.size(); ++i)
            QCOMPARE(pieces[i], 65535);

        Rig finishing(stream);
        QVERIFY(finishing.run(zmDecompress, true));
        QCOMPARE(finishing.output(), expected);
        QCOMPARE(finishing.zlib.Mode(), zmNone);
    }

    void syncFlushKeepsAllOutput_data()
    {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<int>("level");
        for (int size : {65535, 100000, 150000, 200000, 300000})
            QTest::addRow("random %d", size) << randomBytes(size, quint32(size)) << int(clDefault);
        QTest::newRow("demo 200000") << demoLike(200000) << int(clDefault);
        QTest::newRow("stored 200000") << randomBytes(200000, 5) << int(clNoCompression);
    }

    // A flushed but unfinished stream decodes to everything given so far; runs without Finish
    // followed by one with it make one stream of all inputs.
    void syncFlushKeepsAllOutput()
    {
        QFETCH(QByteArray, first);
        QFETCH(int, level);
        Rig rig(first);
        rig.zlib.setCompressionLevel(ZLibCompressionLevel(level));
        QVERIFY(rig.run(zmCompress, false));
        QCOMPARE(zlibInflate(rig.output()), first);

        Rig back(rig.output());
        QVERIFY(back.run(zmDecompress, false));
        QCOMPARE(back.output(), first);
        QCOMPARE(back.zlib.Crc(), crcOf(first));

        const QByteArray second = demoLike(30000, 11);
        rig.input = second;
        QVERIFY(rig.zlib.Compress(true));
        int code = Z_OK;
        QCOMPARE(zlibInflate(rig.output(), &code), first + second);
        QCOMPARE(code, Z_STREAM_END);
    }

    void truncatedBlockGivesPartialOutput_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QByteArray>("original");
        QTest::addColumn<bool>("complete"); // only the check value is cut off
        const QByteArray data = demoLike(150000);
        const QByteArray full = zlibCompress(data, Z_DEFAULT_COMPRESSION);
        QTest::newRow("one byte") << full.left(1) << data << false;
        QTest::newRow("header only") << full.left(2) << data << false;
        QTest::newRow("half") << full.left(full.size() / 2) << data << false;
        QTest::newRow("no check value") << full.left(full.size() - 4) << data << true;
        QTest::newRow("last byte missing") << full.left(full.size() - 1) << data << true;

        // A cut after which exactly one work buffer of output can be decoded.
        const QByteArray raw = randomBytes(100000, 3);
        const QByteArray stored = zlibCompress(raw, 0);
        int low = 0, high = int(stored.size());
        while (low < high) {
            const int mid = (low + high) / 2;
            if (zlibInflate(stored.left(mid)).size() >= 65535)
                high = mid;
            else
                low = mid + 1;
        }
        QCOMPARE(zlibInflate(stored.left(low)).size(), 65535);
        QTest::newRow("cut at one full buffer") << stored.left(low) << raw << false;
    }

    void truncatedBlockGivesPartialOutput()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QByteArray, original);
        QFETCH(bool, complete);
        Rig rig(stream);
        QVERIFY(rig.run(zmDecompress, false));
        const QByteArray out = rig.output();
        QVERIFY(original.startsWith(out));
        QCOMPARE(out.size() == original.size(), complete);
        QCOMPARE(rig.zlib.Crc(), crcOf(out));
        QCOMPARE(rig.zlib.Crc() == crcOf(original), complete);
    }

    void trailingBytes_data()
    {
        QTest::addColumn<QByteArray>("trailer");
        QTest::addColumn<bool>("finish");
        QTest::addColumn<bool>("expected");
        QTest::newRow("one byte") << QByteArrayLiteral("\x01") << false << true;
        QTest::newRow("another stream") << zlibCompress("more", 6) << false << true;
        QTest::newRow("30000 bytes") << randomBytes(30000, 4) << false << true;
        QTest::newRow("30000 bytes, finish") << randomBytes(30000, 4) << true << true;
        // The stream ends before the input has been read: the block is not taken.
        QTest::newRow("70000 bytes") << randomBytes(70000, 4) << false << false;
        QTest::newRow("70000 bytes, finish") << randomBytes(70000, 4) << true << true;
    }

    void trailingBytes()
    {
        QFETCH(QByteArray, trailer);
        QFETCH(bool, finish);
        QFETCH(bool, expected);
        const QByteArray data = demoLike(20000);
        Rig rig(zlibCompress(data, Z_DEFAULT_COMPRESSION) + trailer);
        QCOMPARE(rig.run(zmDecompress, finish), expected);
        if (expected) {
            QCOMPARE(rig.output(), data);
            QCOMPARE(rig.zlib.Crc(), crcOf(data));
        }
    }

    void progress_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("compress");
        QTest::addColumn<bool>("finish");
        QTest::addColumn<int>("expectedEvents"); // -1: not fixed
        const QByteArray small = demoLike(2000);
        const QByteArray big = demoLike(1000000);
        const QByteArray smallStream = zlibCompress(small, Z_DEFAULT_COMPRESSION);
        QTest::newRow("compress small") << small << true << true << 2;
        QTest::newRow("decompress small") << smallStream << false << false << 2;
        QTest::newRow("decompress small, finish") << smallStream << false << true << 3;
        QTest::newRow("compress big") << big << true << true << -1;
        QTest::newRow("compress big, flush") << big << true << false << -1;
        const QByteArray bigStream = zlibCompress(big, Z_DEFAULT_COMPRESSION);
        QTest::newRow("decompress big") << bigStream << false << false << -1;
    }

    void progress()
    {
        QFETCH(QByteArray, input);
        QFETCH(bool, compress);
        QFETCH(bool, finish);
        QFETCH(int, expectedEvents);
        Rig rig(input);
        rig.run(compress ? zmCompress : zmDecompress, finish);
        if (expectedEvents >= 0)
            QCOMPARE(int(rig.events.size()), expectedEvents);
        QVERIFY(rig.events.size() >= 2);
        for (std::size_t i = 1; i < rig.events.size(); ++i) {
            QCOMPARE(rig.events[i].sender, &rig.zlib);
            QVERIFY(rig.events[i].currentOut >= rig.events[i - 1].currentOut);
            QVERIFY(rig.events[i].totalIn >= rig.events[i - 1].totalIn);
        }
        const ProgressEvent &last = rig.events.back();
        QCOMPARE(last.currentIn, input.size());
        QCOMPARE(last.totalIn, rig.zlib.TotalIn());
        QCOMPARE(last.totalOut, rig.zlib.TotalOut());
        QCOMPARE(last.currentOut, rig.output().size());
    }

    // A run or mode change started from the progress handler is refused and leaves the run
    // under way intact.
    void progressHandlerCannotInterfere()
    {
        const QByteArray data = demoLike(100000);
        Rig rig(data);
        QStringList refusals;
        rig.zlib.setOnProgress([&refusals](TZLib *sender, qint32, qint32, qint32, qint32) {
            try {
                sender->Compress(true);
            } catch (const EZLibException &e) {
                refusals << e.message();
            }
            try {
                sender->setMode(zmDecompress);
            } catch (const EZLibException &e) {
                refusals << e.message();
            }
        });
        QVERIFY(rig.run(zmCompress, true));
        QCOMPARE(rig.output(), zlibCompress(data, Z_DEFAULT_COMPRESSION));
        QVERIFY(refusals.size() >= 4);
        for (const QString &text : refusals)
            QCOMPARE(text, kPrefix + QStringLiteral("ZLib Stream Fault"));
        QCOMPARE(rig.zlib.Mode(), zmNone);
    }

    void outputLimit_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<bool>("exceeded");
        const qint64 mib = 1 << 20;
        QTest::newRow("exactly the limit") << zlibCompressZeros(mib) << mib << false;
        QTest::newRow("one byte over") << zlibCompressZeros(mib + 1) << mib << true;
        QTest::newRow("no limit") << zlibCompressZeros(4 * mib) << qint64(0) << false;
        QTest::newRow("64 MiB of zeros") << zlibCompressZeros(64 * mib) << 16 * mib << true;
    }

    void outputLimit()
    {
        QFETCH(QByteArray, stream);
        QFETCH(qint64, limit);
        QFETCH(bool, exceeded);
        Rig rig(stream);
        rig.zlib.setOutputLimit(limit);
        QCOMPARE(rig.run(zmDecompress, false), !exceeded);
        QCOMPARE(rig.zlib.OutputLimitExceeded(), exceeded);
        if (limit > 0) // what the run holds stays within the limit, spare room included
            QVERIFY(rig.out.buffer().capacity() <= limit);
        QVERIFY(rig.output().count('\0') == rig.output().size());
        QCOMPARE(rig.zlib.Crc(), crcOf(rig.output()));
        if (exceeded)
            QVERIFY(rig.out.size() > limit - 65535);

        QByteArray out;
        quint32 crc = 1;
        QCOMPARE(inflateBlock(stream, &out, &crc, limit),
                 exceeded ? InflateResult::TooLarge : InflateResult::Ok);
        QCOMPARE(out.isEmpty(), exceeded);
        QCOMPARE(crc, crcOf(out));
    }

    void blockHelpers_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<int>("result");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray data = demoLike(10000);
        const QByteArray block = compressBlock(data).data;
        QByteArray corrupt = block;
        corrupt[1] = char(corrupt[1] ^ 1); // header check fails
        QTest::newRow("round trip") << block << int(InflateResult::Ok) << data;
        QTest::newRow("empty block") << QByteArray() << int(InflateResult::BadData) << QByteArray();
        QTest::newRow("corrupt") << corrupt << int(InflateResult::BadData) << QByteArray();
        QTest::newRow("needs dictionary") << QByteArrayLiteral("\x78\xbb\x00\x00\x00\x01\x03\x00")
                                          << int(InflateResult::Incomplete) << QByteArray();
        QTest::newRow("long trailer") << block + randomBytes(70000, 8)
                                      << int(InflateResult::Incomplete) << QByteArray();
    }

    void blockHelpers()
    {
        QFETCH(QByteArray, stream);
        QFETCH(int, result);
        QFETCH(QByteArray, expected);
        QByteArray out = QByteArrayLiteral("stale");
        quint32 crc = 1;
        QCOMPARE(int(inflateBlock(stream, &out, &crc, 16 << 20)), result);
        QCOMPARE(out, expected);
        QCOMPARE(crc, result == int(InflateResult::Ok) ? crcOf(expected) : 0u);
        if (!expected.isEmpty())
            QCOMPARE(compressBlock(expected).crc, crc);
    }

    void ownOutStreamAndOpenStreamAtDestruction()
    {
        QByteArray data = demoLike(3000);
        QBuffer in(&data);
        in.open(QIODevice::ReadOnly);
        for (ZLibMode mode : {zmCompress, zmDecompress}) {
            auto zlib = std::make_unique<TZLib>(nullptr);
            zlib->setInStream(&in);
            zlib->setMode(mode);
            QVERIFY(zlib->OutStream());
            QCOMPARE(zlib->OutStream()->parent(), zlib.get());
            if (mode == zmCompress)
                QVERIFY(zlib->Compress(false));
            // Ending an unfinished stream is an error that the destructor must not report.
            zlib.reset();
        }
    }
};

QTEST_GUILESS_MAIN(TestZLib)
#include "tst_zlib.moc"
