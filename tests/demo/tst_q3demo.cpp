// Quake 3 demos, on a real demo recorded by OpenArena and on messages made to lie: every
// message read, a demo rebuilt from any snapshot holding the same states as the original from
// there on, each kind of bad input refused, and what is on read from it.

#include "common/demoreading.h"
#include "common/q3demos.h"
#include "democodec.h"
#include "factsreader.h"
#include "livedemo.h"
#include "momentcopy.h"
#include "q3codec.h"
#include "q3message.h"

#include <QFile>
#include <QtTest>

#include <map>

using namespace arbelon::demo;

namespace {

QByteArray recorded()
{
    return arbelon::test::recordedQ3Demo();
}

struct Snap {
    q3::Player player;
    std::vector<q3::Entity> entities;
};

// Reads a whole demo; the snapshots by message number. Stops at the end marker.
struct Reading {
    std::map<qint32, Snap> snapshots;
    QList<qint32> snapshotMessages;
    QList<qint64> times; // of the snapshots, in order
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
                      r.times.append(m.info.serverTimeMs);
                  }
              })
              == Frame::End;
    return r;
}

QByteArray framed(qint32 sequence, const QByteArray &message)
{
    return arbelon::test::framedQ3(sequence, message);
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

QByteArray eventLine(const FactEvent &e)
{
    return factEventKindName(e.kind) + ' ' + e.actor + ' ' + e.target + ' ' + e.weapon;
}

// "client name score" by client, '|' between.
QByteArray board(const GameFacts &f)
{
    QByteArrayList out;
    for (const FactPlayer &p : f.players)
        out << QByteArray::number(p.client) + ' ' + p.name + ' ' + QByteArray::number(p.score);
    return out.join('|');
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
    void factsOfARealMatch();
    void factsFromWhatTheServerSays_data();
    void factsFromWhatTheServerSays();
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
    // The copy made for a moment this long before the snapshot: the same bytes.
    QTest::addColumn<qint64>("earlierMs");
    QTest::newRow("first snapshot") << 0.0 << qint64(0);
    QTest::newRow("a moment before the first snapshot") << 0.0 << qint64(3600000);
    QTest::newRow("middle") << 0.5 << qint64(0);
    QTest::newRow("near the end, a moment between two snapshots") << 0.97 << qint64(1);
}

void TestQ3Demo::rebuiltCopyHoldsTheSameStates()
{
    QFETCH(double, at);
    QFETCH(qint64, earlierMs);
    const QByteArray demo = recorded();
    Q3Codec original;
    const Reading whole = readAll(original, demo);
    const int index = int(at * (whole.snapshotMessages.size() - 1));
    const QByteArray copy = arbelon::test::rebuiltAt(Game::Quake3, demo, index);

    const qint64 fromMs = whole.times.at(index) - earlierMs;
    QVERIFY(index == 0 || whole.times.at(index - 1) < fromMs);
    MomentCopy moment(Game::Quake3, fromMs);
    QByteArray fromMoment;
    for (qsizetype piece = 0; piece < demo.size(); piece += 777) {
        moment.append(QByteArrayView(demo).sliced(piece, std::min<qsizetype>(777, demo.size() - piece)));
        fromMoment += moment.take();
    }
    QCOMPARE(moment.state(), MomentCopy::State::Ended);
    QCOMPARE(moment.startMs(), whole.times.at(index));
    QCOMPARE(fromMoment, copy);

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

void TestQ3Demo::factsOfARealMatch()
{
    // Read whole, and in pieces that end inside messages: the same facts.
    const QByteArray demo = recorded();
    FactsReader whole(Game::Quake3), pieces(Game::Quake3);
    whole.append(demo);
    for (qsizetype at = 0; at < demo.size(); at += 777)
        pieces.append(QByteArrayView(demo).sliced(at, std::min<qsizetype>(777, demo.size() - at)));
    QCOMPARE(pieces.facts(), whole.facts());
    const GameFacts &f = whole.facts();
    QVERIFY2(whole.failure().isEmpty(), qPrintable(whole.failure()));
    QCOMPARE(f.map, QByteArray("oa_dm1"));
    QCOMPARE(f.mode, GameMode::FreeForAll);
    QVERIFY(!f.scoresFromServer); // a frag came after the server's last scores
    QCOMPARE(board(f), QByteArray("0 UnnamedPlayer 0|1 Ayumi 2|2 Arachna 1|3 Major 0"));
    QByteArrayList events;
    for (const FactEvent &e : f.events)
        events << eventLine(e);
    QCOMPARE(events, QByteArrayList({"join Ayumi  ", "join Arachna  ", "frag Ayumi UnnamedPlayer rocket splash",
                                     "join Major  ", "frag Arachna UnnamedPlayer rocket", "frag Ayumi Arachna rocket"}));
    QCOMPARE(f.events.back().number, 6u);
    QVERIFY(f.events.back().clockMs > f.events.front().clockMs);
    // A new demo starts afresh.
    whole.newDemo();
    QCOMPARE(whole.facts(), GameFacts());
}

void TestQ3Demo::factsFromWhatTheServerSays_data()
{
    QTest::addColumn<QList<QByteArray>>("commands");
    QTest::addColumn<QByteArray>("players");
    QTest::addColumn<QByteArray>("lastEvent");
    QTest::addColumn<bool>("fromServer");
    const QByteArray counted = "0 UnnamedPlayer 0|1 Ayumi 2|2 Arachna 1|3 Major 0";
    const QByteArray longest(GameFacts::kMaxName, 'x');
    QTest::newRow("Quake 3 scores") << QList<QByteArray>{"scores 2 0 0" + QByteArray(" 1 7 0 0 0 0 0 0 0 0 0 0 0 0")
                                                         + " 3 -2 0 0 0 0 0 0 0 0 0 0 0 0"}
                                    << QByteArray("0 UnnamedPlayer 0|1 Ayumi 7|2 Arachna 1|3 Major -2")
                                    << QByteArray("frag Ayumi Arachna rocket") << true;
    QTest::newRow("OpenArena scores") << QList<QByteArray>{"scores 1 0 0 7000 2 9 0 0 0 0 0 0 0 0 0 0 0 0 0"}
                                      << QByteArray("0 UnnamedPlayer 0|1 Ayumi 2|2 Arachna 9|3 Major 0")
                                      << QByteArray("frag Ayumi Arachna rocket") << true;
    QTest::newRow("scores naming clients that cannot be")
        << QList<QByteArray>{"scores 3 0 0 64 5 -1 5 999999999999 5", "scores 65 0 0 1 1", "scores 1"}
        << counted << QByteArray("frag Ayumi Arachna rocket") << true;
    QTest::newRow("a score beyond bounds") << QList<QByteArray>{"scores 1 0 0 1 99999999999 0 0 0 0 0 0 0 0 0 0 0 0"}
                                           << QByteArray("0 UnnamedPlayer 0|1 Ayumi 999999|2 Arachna 1|3 Major 0")
                                           << QByteArray("frag Ayumi Arachna rocket") << true;
    QTest::newRow("a player leaves") << QList<QByteArray>{"cs 546 \"\""}
                                     << QByteArray("0 UnnamedPlayer 0|1 Ayumi 2|3 Major 0")
                                     << QByteArray("leave Arachna  ") << false;
    QTest::newRow("a name with markup, colours and control bytes")
        << QList<QByteArray>{"cs 548 \"n\\<b>^1Red\x01\x7f</b>\\t\\0\""}
        << counted + "|4 <b>^1Red</b> 0" << QByteArray("join <b>^1Red</b>  ") << false;
    QTest::newRow("a name longer than any shown")
        << QList<QByteArray>{"cs 548 \"n\\" + QByteArray(1000, 'x') + "^\""}
        << counted + "|4 " + longest + " 0" << "join " + longest + "  " << false;
    QTest::newRow("a capture") << QList<QByteArray>{"print \"Major^7 captured the BLUE flag!\n\""} << counted
                               << QByteArray("capture Major  ") << false;
}

void TestQ3Demo::factsFromWhatTheServerSays()
{
    QFETCH(QList<QByteArray>, commands);
    QFETCH(QByteArray, players);
    QFETCH(QByteArray, lastEvent);
    QFETCH(bool, fromServer);
    FactsReader reader(Game::Quake3);
    reader.append(arbelon::test::withServerCommands(commands));
    QVERIFY2(reader.failure().isEmpty(), qPrintable(reader.failure()));
    QCOMPARE(board(reader.facts()), players);
    QCOMPARE(eventLine(reader.facts().events.back()), lastEvent);
    QCOMPARE(reader.facts().scoresFromServer, fromServer);
    // Bytes no demo holds after that end its facts, not what was read.
    const GameFacts before = reader.facts();
    reader.append(QByteArray(64, '\x7f'));
    QVERIFY(!reader.failure().isEmpty());
    QCOMPARE(reader.facts(), before);
}
