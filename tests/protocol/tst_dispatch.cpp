// Receive loop, handler frame, acknowledgements and SendPacket, in memory.

#include "dispatcher.h"
#include "dispatchharness.h"
#include "receivebuffer.h"
#include "records.h"

#include <QRandomGenerator>
#include <QTest>

using namespace arbelon;

using test::ackImage;
using test::byteSum;
using Harness = test::DispatchHarness;

namespace {
QByteArray ack(quint8 result) { return ackImage(result); }
QByteArray userEntered(const char *name) { return buildUserEntered(name); }
} // namespace

class TestDispatch : public QObject {
    Q_OBJECT
private slots:
    void elevenBytesWait();
    void traceLines_data();
    void traceLines();
    void noTraceWhileDisabled();
    void twoRecordsInOnePiece();
    void recordInThreePieces();
    void ackNakThenPartialRecord();
    void unhandledTypeBlocksSession_data();
    void unhandledTypeBlocksSession();
    void demoPacketWaitsForPacketSize();
    void demoPacketBadSizeThrows_data();
    void demoPacketBadSizeThrows();
    void handlerThatRemovesNothingEndsSession();
    void incomingAckNakNotAnswered();
    void answerKeepsState();
    void sendPacketOnlyWhileConnected();
    void receiveBufferRandomTraffic_data();
    void receiveBufferRandomTraffic();
    void cutRecordsAtEverySplit_data();
    void cutRecordsAtEverySplit();
};

void TestDispatch::elevenBytesWait()
{
    Harness h;
    h.d.trace().setEnabled(true);
    h.d.dataAvailable(userEntered("abc").left(11));
    QCOMPARE(h.trace, QStringList{QStringLiteral("11 needs to be 12")});
    QVERIFY(h.handled.isEmpty());
    QVERIFY(h.sent.isEmpty());
    QCOMPARE(h.d.buffer().size(), 11);
}

void TestDispatch::traceLines_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("consumed");
    QTest::newRow("GAMEINFODETAILED") << buildGameInfoDetailed(1, "g", 0, 0, "m")
                                      << QStringLiteral("GAMEINFODETAILED") << true;
    QTest::newRow("ACKNAK") << buildAckNak(0) << QStringLiteral("ACKNAK") << true;
    QTest::newRow("SENDTEXT") << buildSendText("a", "b") << QStringLiteral("SENDTEXT") << true;
    QTest::newRow("DEMOPACKET") << buildDemoPacket(0, 0, "xyz") << QStringLiteral("DEMOPACKET") << true;
    QTest::newRow("GAMEREMOVED") << buildGameRemoved(3) << QStringLiteral("GAMEREMOVED") << true;
    QTest::newRow("DEMORESTART") << buildDemoRestart(0) << QStringLiteral("DEMORESTART") << true;
    QTest::newRow("USERENTERED") << userEntered("x") << QStringLiteral("USERENTERED") << true;
    QTest::newRow("USERLEFT") << buildUserLeft("x") << QStringLiteral("USERLEFT") << true;
    QTest::newRow("WAITFORGAME") << buildWaitForGame(1) << QStringLiteral("WAITFORGAME") << false;
    QTest::newRow("type 99") << newRecord(99, 16) << QStringLiteral("UNKNOWN") << false;
}

void TestDispatch::traceLines()
{
    QFETCH(QByteArray, record);
    QFETCH(QString, label);
    QFETCH(bool, consumed);
    Harness h;
    h.d.trace().setEnabled(true);
    h.d.dataAvailable(record);
    QStringList expected{QString::number(record.size()) + QStringLiteral(" needs to be 12"),
                         QStringLiteral("Processing Packet ") + label};
    if (consumed)
        expected << QStringLiteral("0 needs to be 12");
    QCOMPARE(h.trace, expected);
}

void TestDispatch::noTraceWhileDisabled()
{
    Harness h;
    h.d.dataAvailable(userEntered("a") + userEntered("b").left(5));
    QVERIFY(h.trace.isEmpty());
    QCOMPARE(h.handled, QStringList{QStringLiteral("IN a")});
    h.d.trace().setEnabled(true);
    h.d.dataAvailable(userEntered("b").mid(5));
    QCOMPARE(h.trace, (QStringList{QStringLiteral("32 needs to be 12"),
                                   QStringLiteral("Processing Packet USERENTERED"),
                                   QStringLiteral("0 needs to be 12")}));
}

void TestDispatch::twoRecordsInOnePiece()
{
    Harness h;
    h.d.dataAvailable(userEntered("first") + buildSendText("first", "second line"));
    QCOMPARE(h.handled, (QStringList{QStringLiteral("IN first"), QStringLiteral("TEXT second line")}));
    QCOMPARE(h.sent, (QList<QByteArray>{ack(0), ack(0)}));
    QVERIFY(h.d.buffer().isEmpty());
}

void TestDispatch::recordInThreePieces()
{
    const QByteArray rec = buildGameInfoDetailed(77, "three", 1, 2, "baseq3");
    // Every pair of cut points: nothing before the last byte, exactly one record after it.
    for (int i = 1; i < rec.size() - 1; ++i) {
        for (int j = i + 1; j < rec.size(); ++j) {
            Harness h;
            h.d.dataAvailable(rec.left(i));
            h.d.dataAvailable(rec.mid(i, j - i));
            QVERIFY2(h.handled.isEmpty(), qPrintable(QStringLiteral("cut %1/%2").arg(i).arg(j)));
            h.d.dataAvailable(rec.mid(j));
            QCOMPARE(h.handled, QStringList{QStringLiteral("GAME 77")});
            QCOMPARE(h.sent.size(), 1);
            QVERIFY(h.d.buffer().isEmpty());
        }
    }
}

void TestDispatch::ackNakThenPartialRecord()
{
    Harness h;
    const QByteArray partial = buildGameInfoDetailed(5, "partial", 0, 1, "ctf").left(50);
    h.d.dataAvailable(buildAckNak(0) + partial);
    QCOMPARE(h.handled, QStringList{QStringLiteral("ACK 0")});
    QCOMPARE(h.d.buffer().size(), 50);
    QCOMPARE(h.d.front().toByteArray(), partial);
    QVERIFY(h.sent.isEmpty());
}

void TestDispatch::unhandledTypeBlocksSession_data()
{
    QTest::addColumn<int>("type");
    for (int t : {0, 1, 2, 5, 7, 8, 14, 99, -1})
        QTest::addRow("type %d", t) << t;
}

void TestDispatch::unhandledTypeBlocksSession()
{
    QFETCH(int, type);
    Harness h;
    const QByteArray blocker = newRecord(type, 16);
    const QByteArray tail = userEntered("after") + buildAckNak(0);
    h.d.dataAvailable(userEntered("before") + blocker + tail);
    QCOMPARE(h.handled, QStringList{QStringLiteral("IN before")});
    QCOMPARE(h.sent.size(), 1);
    // Later data is kept but nothing behind the blocker is ever dispatched.
    h.d.dataAvailable(userEntered("later"));
    QCOMPARE(h.handled.size(), 1);
    QCOMPARE(h.sent.size(), 1);
    QCOMPARE(h.d.front().toByteArray(), blocker + tail + userEntered("later"));

    // A peer that goes on sending fills no more than the largest record would.
    const QByteArray piece(1024 * 1024, 'x');
    for (int i = 0; i < 6; ++i)
        h.d.dataAvailable(piece);
    QCOMPARE(h.d.buffer().size(), qsizetype(rec::kMaxDemoPacketSize));
    QVERIFY(h.d.front().startsWith(blocker + tail));
    QCOMPARE(h.sent.size(), 1);
}

void TestDispatch::demoPacketWaitsForPacketSize()
{
    Harness h;
    const QByteArray data(5000, 'd');
    const QByteArray rec = buildDemoPacket(byteSum(data), 9, data);
    QCOMPARE(rec.size(), 5016);
    h.d.dataAvailable(rec.left(5015));
    QVERIFY(h.handled.isEmpty());
    QVERIFY(h.sent.isEmpty());
    h.d.dataAvailable(rec.right(1) + userEntered("next"));
    QCOMPARE(h.handled, (QStringList{QStringLiteral("DEMO 5000 ok"), QStringLiteral("IN next")}));
    QCOMPARE(h.sent, (QList<QByteArray>{ack(0), ack(0)}));
}

void TestDispatch::demoPacketBadSizeThrows_data()
{
    QTest::addColumn<quint32>("size");
    QTest::newRow("15") << 15u;
    QTest::newRow("4 MiB + 1") << 4194305u;
    QTest::newRow("max") << 4294967295u;
}

void TestDispatch::demoPacketBadSizeThrows()
{
    QFETCH(quint32, size);
    Harness h;
    QByteArray bad = buildDemoPacket(0, 0, "abcd");
    writeU32(bad, 4, size);
    QVERIFY_THROWS_EXCEPTION(EProtocolError, h.d.dataAvailable(userEntered("ok") + bad));
    QCOMPARE(h.handled, QStringList{QStringLiteral("IN ok")});
    // The record stays at the front, unanswered.
    QCOMPARE(h.d.front().toByteArray(), bad);
    QCOMPARE(h.sent.size(), 1);
}

void TestDispatch::handlerThatRemovesNothingEndsSession()
{
    Harness h;
    int calls = 0;
    h.d.setHandler(DEMORESTART, [&] { return ++calls < 1000; }); // claims a record, removes none
    QVERIFY_THROWS_EXCEPTION(EProtocolError, h.d.dataAvailable(buildDemoRestart(1)));
    QCOMPARE(calls, 1);
    QCOMPARE(h.d.buffer().size(), 16);
}

void TestDispatch::incomingAckNakNotAnswered()
{
    Harness h;
    h.d.setState(ssUserInfo);
    h.d.dataAvailable(buildAckNak(0) + buildAckNak(1) + buildAckNak(0));
    QCOMPARE(h.handled, (QStringList{QStringLiteral("ACK 0"), QStringLiteral("ACK 1"), QStringLiteral("ACK 0")}));
    QVERIFY(h.sent.isEmpty());
    QCOMPARE(h.d.state(), int(ssUserInfo));
}

void TestDispatch::answerKeepsState()
{
    Harness h;
    h.d.setState(ssDemoPacket);
    h.d.dataAvailable(buildDemoRestart(0) + buildSendText("x", "y"));
    QCOMPARE(h.sent.size(), 2);
    QCOMPARE(h.d.state(), int(ssDemoPacket));
}

void TestDispatch::sendPacketOnlyWhileConnected()
{
    Harness h;
    h.d.setState(ssIdle);
    h.connected = false;
    h.d.SendPacket(buildWaitForGame(4), ssWaitForGame);
    QVERIFY(h.sent.isEmpty());
    QCOMPARE(h.d.state(), int(ssIdle));
    // A record handled while disconnected is still removed; its answer is dropped.
    h.d.dataAvailable(userEntered("ghost"));
    QVERIFY(h.d.buffer().isEmpty());
    QVERIFY(h.sent.isEmpty());

    h.connected = true;
    h.d.SendPacket(buildWaitForGame(4), ssWaitForGame);
    QCOMPARE(h.sent, QList<QByteArray>{buildWaitForGame(4)});
    QCOMPARE(h.d.state(), int(ssWaitForGame));
}

void TestDispatch::receiveBufferRandomTraffic_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("maxChunk");
    QTest::newRow("small chunks") << 1u << 7;
    QTest::newRow("record-sized") << 2u << 300;
    QTest::newRow("large chunks") << 3u << 70000;
}

void TestDispatch::receiveBufferRandomTraffic()
{
    QFETCH(quint32, seed);
    QFETCH(int, maxChunk);
    QRandomGenerator rng(seed);
    ReceiveBuffer buf;
    QByteArray model; // what the buffer must hold: appended minus consumed
    quint8 next = 0;
    for (int step = 0; step < 3000; ++step) {
        if (rng.bounded(2) == 0) {
            QByteArray chunk(rng.bounded(1, maxChunk + 1), '\0');
            for (char &c : chunk)
                c = char(next++);
            buf.append(chunk);
            model.append(chunk);
        } else if (!model.isEmpty()) {
            const qsizetype n = rng.bounded(int(model.size()) + 1);
            buf.consume(n);
            model.remove(0, n);
        }
        QCOMPARE(buf.size(), model.size());
        QVERIFY2(buf.front() == QByteArrayView(model), qPrintable(QStringLiteral("step %1").arg(step)));
    }
    buf.clear();
    QVERIFY(buf.isEmpty());
    buf.append("abc");
    QCOMPARE(buf.front().toByteArray(), QByteArray("abc"));
}

void TestDispatch::cutRecordsAtEverySplit_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("stopAfter"); // take returns false after this many; -1 never
    QTest::addColumn<QList<int>>("types");
    QTest::addColumn<int>("end");
    QTest::addColumn<int>("left");
    const QByteArray demo = buildDemoPacket(7, 1, "abcd"); // 20 bytes, PacketSize decides
    const QByteArray line = buildSendText("ann", "hi");
    QByteArray unknown(rec::kHeaderSize, '\0');
    unknown[0] = 42;
    QTest::newRow("three whole") << ack(0) + demo + userEntered("vic") << -1 << QList<int>{ACKNAK, DEMOPACKET, USERENTERED}
                                 << int(Framing::NeedMore) << 0;
    QTest::newRow("partial last stays") << ack(0) + line.left(50) << -1 << QList<int>{ACKNAK}
                                        << int(Framing::NeedMore) << 50;
    QTest::newRow("unknown type stays") << ack(1) + unknown + ack(0) << -1 << QList<int>{ACKNAK}
                                        << int(Framing::Unframed) << 28;
    QTest::newRow("stopped after one") << demo + line << 1 << QList<int>{DEMOPACKET} << int(Framing::Stopped)
                                       << int(line.size());
}

void TestDispatch::cutRecordsAtEverySplit()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, stopAfter);
    QFETCH(QList<int>, types);
    QFETCH(int, end);
    QFETCH(int, left);
    // Whatever the pieces the bytes arrive in, the same records come out, each whole.
    for (qsizetype split = 0; split <= stream.size(); ++split) {
        ReceiveBuffer buf;
        QList<int> got;
        QByteArray joined;
        const auto take = [&](QByteArrayView r) {
            got.append(packetType(r));
            joined.append(r);
            return stopAfter < 0 || got.size() < stopAfter;
        };
        buf.append(QByteArrayView(stream).first(split));
        Framing last = cutRecords(buf, take);
        if (last != Framing::Stopped) {
            buf.append(QByteArrayView(stream).sliced(split));
            last = cutRecords(buf, take);
        } else {
            buf.append(QByteArrayView(stream).sliced(split));
        }
        const QByteArray at = QByteArray::number(split);
        QVERIFY2(got == types, at.constData());
        QVERIFY2(int(last) == end, at.constData());
        QVERIFY2(buf.size() == left, at.constData());
        QVERIFY2(joined == stream.left(joined.size()), at.constData());
    }
}

QTEST_APPLESS_MAIN(TestDispatch)
#include "tst_dispatch.moc"
