// Quake 3 demos, on a real demo recorded by OpenArena and on messages made to lie: every
// message read, a demo rebuilt from any snapshot holding the same states as the original from
// there on, and each kind of bad input refused.

#include "common/demoreading.h"
#include "democodec.h"
#include "livedemo.h"
#include "q3codec.h"
#include "q3message.h"

#include <QFile>
#include <QtTest>

#include <map>

using namespace arbelon::demo;

namespace {

QByteArray recorded()
{
    QFile f(QStringLiteral(":/demos/oa_bots.dm_71"));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Snap {
    q3::Player player;
    std::vector<q3::Entity> entities;
};

// Reads a whole demo; the snapshots by message number. Stops at the end marker.
struct Reading {
    std::map<qint32, Snap> snapshots;
    QList<qint32> snapshotMessages;
    int messages = 0;
    bool ended = false;
};

Reading readAll(Q3Codec &codec, const QByteArray &demo)
{
    Reading r;
    r.ended = arbelon::test::readMessages(codec, demo, [&](const arbelon::test::DemoMessage &m) {
                  ++r.messages;
                  if (m.info.snapshot) {
                      const auto &s = codec.newestSnapshot();
                      r.snapshots[m.frame.sequence] = {s.player, s.entities};
                      r.snapshotMessages.append(m.frame.sequence);
                  }
              })
              == Frame::End;
    return r;
}

QByteArray framed(qint32 sequence, const QByteArray &message)
{
    QByteArray out(8, '\0');
    qToLittleEndian<qint32>(sequence, out.data());
    qToLittleEndian<qint32>(qint32(message.size()), out.data() + 4);
    return out + message;
}

// A game state message of protocol 'protocol' with one baseline.
QByteArray gameState(int protocol)
{
    Q3MessageWriter w(Q3Codec::kMaxMessage);
    w.writeLong(0);
    w.writeByte(2);
    w.writeLong(5);
    w.writeByte(3);
    w.writeShort(0);
    w.writeString("\\mapname\\oa_dm1\\protocol\\" + QByteArray::number(protocol));
    w.writeByte(8);
    w.writeLong(0);
    w.writeLong(0);
    w.writeByte(8);
    return framed(1, w.finish());
}

} // namespace

class TestQ3Demo : public QObject {
    Q_OBJECT
private slots:
    void readsEveryMessage();
    void rebuiltCopyHoldsTheSameStates_data();
    void rebuiltCopyHoldsTheSameStates();
    void refusesBadInput_data();
    void refusesBadInput();
    void huffmanCodesEveryByte();
    void liveCopyTrailsByTheMargin_data();
    void liveCopyTrailsByTheMargin();
};

void TestQ3Demo::readsEveryMessage()
{
    const QByteArray demo = recorded();
    QVERIFY(demo.size() > 40000);
    Q3Codec codec;
    const Reading r = readAll(codec, demo);
    QVERIFY(r.ended);
    QCOMPARE(codec.protocol(), 71);
    QCOMPARE(codec.gameState().serverInfo("mapname"), QByteArray("oa_dm1"));
    QVERIFY(r.snapshotMessages.size() > 100);
    // The bots are entities of their own beside the recording player.
    QVERIFY(r.snapshots.rbegin()->second.entities.size() >= 4);
}

void TestQ3Demo::rebuiltCopyHoldsTheSameStates_data()
{
    QTest::addColumn<double>("at");
    QTest::newRow("first snapshot") << 0.0;
    QTest::newRow("middle") << 0.5;
    QTest::newRow("near the end") << 0.97;
}

void TestQ3Demo::rebuiltCopyHoldsTheSameStates()
{
    QFETCH(double, at);
    const QByteArray demo = recorded();
    Q3Codec original;
    const Reading whole = readAll(original, demo);
    const int index = int(at * (whole.snapshotMessages.size() - 1));
    const QByteArray copy = arbelon::test::rebuiltAt(Game::Quake3, demo, index);

    Q3Codec again;
    const Reading live = readAll(again, copy);
    QVERIFY(live.ended);
    QCOMPARE(live.snapshotMessages.first(), whole.snapshotMessages.at(index));
    QCOMPARE(live.snapshotMessages.size(), whole.snapshotMessages.size() - index);
    for (const qint32 m : live.snapshotMessages) {
        const Snap &a = whole.snapshots.at(m);
        const Snap &b = live.snapshots.at(m);
        QVERIFY2(a.player == b.player, qPrintable(QStringLiteral("player state of message %1").arg(m)));
        QVERIFY2(a.entities == b.entities, qPrintable(QStringLiteral("entities of message %1").arg(m)));
    }
    QCOMPARE(again.gameState().serverInfo("mapname"), QByteArray("oa_dm1"));
}

void TestQ3Demo::refusesBadInput_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray demo = recorded();
    const qint32 firstLength = qFromLittleEndian<qint32>(demo.constData() + 4);

    QByteArray cut = demo.left(8 + firstLength / 2);
    qToLittleEndian<qint32>(firstLength / 2, cut.data() + 4);
    QTest::newRow("message cut short") << cut;

    QByteArray huge = demo.left(8);
    qToLittleEndian<qint32>(Q3Codec::kMaxMessage + 1, huge.data() + 4);
    QTest::newRow("length beyond what a game reads") << huge;

    QTest::newRow("protocol 43") << gameState(43);

    Q3MessageWriter unknown(Q3Codec::kMaxMessage);
    unknown.writeLong(0);
    unknown.writeByte(42);
    QTest::newRow("unknown command") << gameState(71) + framed(2, unknown.finish());

    Q3MessageWriter delta(Q3Codec::kMaxMessage);
    delta.writeLong(0);
    delta.writeByte(7);
    delta.writeLong(1000);
    delta.writeByte(1); // from message 1, which held no snapshot
    delta.writeByte(0);
    QTest::newRow("delta from a missing snapshot") << gameState(71) + framed(2, delta.finish());

    Q3MessageWriter order(Q3Codec::kMaxMessage);
    order.writeLong(0);
    order.writeByte(7);
    order.writeLong(1000);
    order.writeByte(0);
    order.writeByte(0);
    order.writeByte(0);
    order.writeByte(0); // player: no fields
    order.writeBits(0, 1);
    for (int n : {5, 5}) {
        order.writeBits(n, 10);
        order.writeBits(0, 1);
        order.writeBits(0, 1);
    }
    QTest::newRow("entity listed twice") << gameState(71) + framed(2, order.finish());

    Q3MessageWriter fields(Q3Codec::kMaxMessage);
    fields.writeLong(0);
    fields.writeByte(7);
    fields.writeLong(1000);
    fields.writeByte(0);
    fields.writeByte(0);
    fields.writeByte(0);
    fields.writeByte(200); // more player fields than there are
    QTest::newRow("field count beyond the state") << gameState(71) + framed(2, fields.finish());

    Q3MessageWriter text(Q3Codec::kMaxMessage);
    text.writeLong(0);
    text.writeByte(5);
    text.writeLong(9);
    text.writeString(QByteArray(1100, 'x'));
    QTest::newRow("command text too long") << gameState(71) + framed(2, text.finish());
}

void TestQ3Demo::refusesBadInput()
{
    QFETCH(QByteArray, bytes);
    Q3Codec codec;
    bool refused = false;
    try {
        arbelon::test::readMessages(codec, bytes);
    } catch (const DemoError &) {
        refused = true;
    }
    QVERIFY(refused);
}

void TestQ3Demo::huffmanCodesEveryByte()
{
    // Whole bytes and odd widths mixed, as the messages mix them.
    Q3MessageWriter w(Q3Codec::kMaxMessage);
    for (int i = 0; i < 256; ++i) {
        w.writeByte(i);
        w.writeBits(i & 7, 3);
        w.writeBits(-i, -16);
    }
    const QByteArray bytes = w.finish();
    Q3MessageReader r(bytes);
    for (int i = 0; i < 256; ++i) {
        QCOMPARE(r.readByte(), i);
        QCOMPARE(r.readBits(3), i & 7);
        QCOMPARE(r.readBits(-16), -i);
    }
}

void TestQ3Demo::liveCopyTrailsByTheMargin_data()
{
    QTest::addColumn<double>("joinAt");
    QTest::addColumn<int>("blockMs");
    QTest::newRow("a quarter in, blocks a second apart") << 0.25 << 1000;
    QTest::newRow("three quarters in, blocks 7 s apart") << 0.75 << 7000;
    QTest::newRow("after its end") << 1.0 << 1000;
}

void TestQ3Demo::liveCopyTrailsByTheMargin()
{
    QFETCH(double, joinAt);
    QFETCH(int, blockMs);
    const QByteArray demo = recorded();
    Q3Codec original;
    const Reading whole = readAll(original, demo);

    // The exact copy arrives in the engines' 4,096-byte steps.
    LiveDemo live(Game::Quake3);
    const qsizetype join = qsizetype(joinAt * double(demo.size()));
    qint64 now = 0;
    QByteArray copy;
    for (qsizetype at = 0; at < demo.size(); at += 4096, now += blockMs) {
        live.append(QByteArrayView(demo).sliced(at, std::min<qsizetype>(4096, demo.size() - at)), now);
        if (copy.isEmpty() && at + 4096 >= join && live.liveReady()) {
            const qint64 newest = live.newestTimeMs();
            copy = live.startLive();
            Q3Codec first;
            const Frame gs = first.nextFrame(copy);
            first.parse(gs);
            first.parse(first.nextFrame(QByteArrayView(copy).sliced(gs.size)));
            const qint64 start = first.newestSnapshot().serverTime;
            QCOMPARE(live.marginMs(), qBound<qint64>(LiveDemo::kMinMarginMs, blockMs, LiveDemo::kMaxMarginMs));
            QVERIFY2(newest - start >= live.marginMs() - 100 && newest - start <= live.marginMs() + 100,
                     qPrintable(QStringLiteral("starts %1 ms behind").arg(newest - start)));
        } else if (!copy.isEmpty()) {
            copy += live.takeLive();
        }
    }
    QCOMPARE(live.state(), LiveDemo::State::Ended);
    Q3Codec again;
    const Reading played = readAll(again, copy);
    QVERIFY(played.ended);
    QCOMPARE(played.snapshotMessages.last(), whole.snapshotMessages.last());
    for (const qint32 m : played.snapshotMessages)
        QVERIFY(whole.snapshots.at(m).entities == played.snapshots.at(m).entities);
}

QTEST_GUILESS_MAIN(TestQ3Demo)
#include "tst_q3demo.moc"
