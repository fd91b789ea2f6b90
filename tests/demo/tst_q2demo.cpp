// Quake 2 .dm2 demos: the codec reads what the engine writes (built here by a writer of the
// test's own, with other field sizes than the codec chooses, and by hand byte for byte), a
// demo rebuilt from any frame plays on to the same states as the original, and what is on is
// read from what the game's server says.

#include "common/demoreading.h"
#include "factsreader.h"
#include "momentcopy.h"
#include "q2codec.h"

#include <QTest>
#include <QtEndian>

#include <map>

using namespace arbelon::demo;
using q2::EntityState;
using q2::PlayerState;

namespace {

// A message as the engine lays it out: little-endian integers, NUL-terminated strings.
struct Msg {
    QByteArray b;
    Msg &u8(int v)
    {
        b.append(char(v));
        return *this;
    }
    Msg &s16(int v) { return u8(v & 0xff).u8((v >> 8) & 0xff); }
    Msg &s32(qint32 v) { return s16(v & 0xffff).s16(int(quint32(v) >> 16)); }
    Msg &str(const QByteArray &s)
    {
        b.append(s);
        b.append('\0');
        return *this;
    }
    Msg &pos(int x, int y, int z) { return s16(x).s16(y).s16(z); }
};

QByteArray framed(const QByteArray &m)
{
    QByteArray f(4, '\0');
    qToLittleEndian<qint32>(qint32(m.size()), f.data());
    return f + m;
}

QByteArray serverData(int protocol = 34)
{
    return Msg().u8(12).s32(protocol).s32(0x10005).u8(1).str("baseq2").s16(0).str("The Edge").b;
}

// ---- a small game: entities that move, vanish and come back over 24 frames ----------------

constexpr int kFrames = 24;
const QList<int> kNumbers = {1, 2, 3, 4, 5, 7, 12, 300, 301, 700};

int serverFrame(int k) { return 100 + k; }
// The frame (by index) frame k is delta-coded from; 0 for a full frame. Two frames skip back,
// as after packets the server suppressed.
int deltaOf(int k) { return k == 1 ? 0 : k == 5 ? 3
                                     : k == 12  ? 9
                                                : k - 1; }
bool present(int i, int k) { return !(i == 300 && k >= 6 && k <= 8) && !(i == 700 && k < 3); }
bool hasBaseline(int i) { return i != 2; }

// The fields of entity i in frame k (k = 0: its baseline), old origin aside.
EntityState fields(int i, int k)
{
    EntityState s;
    s.number = i;
    s.origin = {qint16(i * 8 + (i % 3 == 0 ? k * 4 : 0)), qint16(-i * 8), 16};
    s.angles = {0, quint8(i % 2 == 0 ? (i * 10 + k) & 0xff : 90), 0};
    s.models = {quint8(i % 20 + 1), quint8(i == 1 ? 200 : 0), 0, 0};
    s.frame = (i * 20 + k * 7) % 400;
    s.skin = i == 7 ? 70000 : i % 5;
    s.effects = i == 3 ? 0x10000000 : 0;
    s.renderFx = i == 4 ? (k % 2 ? 300 : 4) : 0;
    s.solid = i == 1 ? 31 : 0;
    s.sound = (i == 5 && k % 4 == 0) ? 9 : 0;
    s.event = (i == 1 && k % 5 == 0 && k > 0) ? 2 : 0;
    return s;
}

EntityState baselineOf(int i)
{
    if (!hasBaseline(i))
        return EntityState{};
    EntityState b = fields(i, 0);
    b.event = 0;
    b.oldOrigin = {};
    return b;
}

// What the client holds for entity i after frame k: the old origin is where it was in the
// frame k is delta-coded from, or its baseline's origin when it was not there.
EntityState truth(int i, int k)
{
    EntityState s = fields(i, k);
    const int d = deltaOf(k);
    s.oldOrigin = (d > 0 && present(i, d)) ? fields(i, d).origin : baselineOf(i).origin;
    return s;
}

q2::EntityList truthEntities(int k)
{
    q2::EntityList list;
    for (int i : kNumbers) {
        if (present(i, k))
            list.push_back(truth(i, k));
    }
    return list;
}

PlayerState truthPlayer(int k)
{
    PlayerState p;
    const bool over = k >= 22;
    p.pmType = over ? 4 : 0;
    p.origin = {qint16(k * 16), qint16(-k * 8), 192};
    p.viewAngles = {0, qint16(k * 100), 0};
    p.gunIndex = over ? 0 : 3;
    p.stats[1] = qint16(100 - k);
    p.stats[13] = over ? 1 : 0;
    return p;
}

// The test's own entity writer: frame as a short, skin, effects and renderfx as longs.
void writeEntity(Msg &m, const EntityState &from, const EntityState &to, bool force)
{
    quint32 bits = 0;
    const quint32 originBits[3] = {1u << 0, 1u << 1, 1u << 9};
    const quint32 angleBits[3] = {1u << 10, 1u << 2, 1u << 3};
    const quint32 modelBits[4] = {1u << 11, 1u << 20, 1u << 21, 1u << 22};
    for (int j = 0; j < 3; ++j) {
        bits |= to.origin[j] != from.origin[j] ? originBits[j] : 0;
        bits |= to.angles[j] != from.angles[j] ? angleBits[j] : 0;
    }
    for (int j = 0; j < 4; ++j)
        bits |= to.models[j] != from.models[j] ? modelBits[j] : 0;
    bits |= to.frame != from.frame ? 1u << 17 : 0;
    bits |= to.skin != from.skin ? (1u << 16 | 1u << 25) : 0;
    bits |= to.effects != from.effects ? (1u << 14 | 1u << 19) : 0;
    bits |= to.renderFx != from.renderFx ? (1u << 12 | 1u << 18) : 0;
    bits |= to.solid != from.solid ? 1u << 27 : 0;
    bits |= to.sound != from.sound ? 1u << 26 : 0;
    bits |= to.event ? 1u << 5 : 0;
    if (!bits && !force)
        return;
    if (to.number >= 256)
        bits |= 1u << 8;
    // Always all four bytes of bits: the reader must follow the more-bits chain.
    bits |= 1u << 7 | 1u << 15 | 1u << 23;
    m.u8(bits & 0xff).u8((bits >> 8) & 0xff).u8((bits >> 16) & 0xff).u8(bits >> 24);
    if (bits & (1u << 8))
        m.s16(to.number);
    else
        m.u8(to.number);
    for (int j = 0; j < 4; ++j) {
        if (bits & modelBits[j])
            m.u8(to.models[j]);
    }
    if (bits & (1u << 17))
        m.s16(to.frame);
    if (bits & (1u << 16))
        m.s32(to.skin);
    if (bits & (1u << 14))
        m.s32(to.effects);
    if (bits & (1u << 12))
        m.s32(to.renderFx);
    for (int j = 0; j < 3; ++j) {
        if (bits & originBits[j])
            m.s16(to.origin[j]);
    }
    for (int j = 0; j < 3; ++j) {
        if (bits & angleBits[j])
            m.u8(to.angles[j]);
    }
    if (bits & (1u << 26))
        m.u8(to.sound);
    if (bits & (1u << 5))
        m.u8(to.event);
    if (bits & (1u << 27))
        m.s16(to.solid);
}

void writeFrame(Msg &m, int k)
{
    const int d = deltaOf(k);
    m.u8(20).s32(serverFrame(k)).s32(d ? serverFrame(d) : -1).u8(0).u8(2).u8(0xff).u8(0x0f);
    const PlayerState from = d ? truthPlayer(d) : PlayerState{};
    const PlayerState to = truthPlayer(k);
    int flags = 0;
    flags |= to.pmType != from.pmType ? 1 << 0 : 0;
    flags |= to.origin != from.origin ? 1 << 1 : 0;
    flags |= to.viewAngles != from.viewAngles ? 1 << 8 : 0;
    flags |= to.gunIndex != from.gunIndex ? 1 << 12 : 0;
    m.u8(17).s16(flags);
    if (flags & 1)
        m.u8(to.pmType);
    if (flags & 2)
        m.pos(to.origin[0], to.origin[1], to.origin[2]);
    if (flags & (1 << 8))
        m.pos(to.viewAngles[0], to.viewAngles[1], to.viewAngles[2]);
    if (flags & (1 << 12))
        m.u8(to.gunIndex);
    quint32 statBits = 0;
    for (int s = 0; s < 32; ++s)
        statBits |= to.stats[s] != from.stats[s] ? 1u << s : 0;
    m.s32(qint32(statBits));
    for (int s = 0; s < 32; ++s) {
        if (statBits & (1u << s))
            m.s16(to.stats[s]);
    }
    m.u8(18);
    for (int i : kNumbers) {
        const bool was = d && present(i, d);
        if (!present(i, k)) {
            if (was)
                i >= 256 ? (void)m.u8(0x40 | 0x80).u8(0x01).s16(i) : (void)m.u8(0x40).u8(i);
            continue;
        }
        if (was)
            writeEntity(m, fields(i, d), fields(i, k), false);
        else
            writeEntity(m, baselineOf(i), fields(i, k), true);
    }
    m.s16(0);
}

QByteArray kStatusBar()
{
    QByteArray s;
    for (int i = 0; s.size() < 300; ++i)
        s += "yb -24 xv " + QByteArray::number(i) + " hnum ";
    return s.left(300);
}

QByteArray layoutCommand()
{
    return Msg().u8(4).str("xv 0 yv 0 string \"scores\"").b;
}

QByteArray inventoryCommand()
{
    Msg m;
    m.u8(5);
    for (int item = 0; item < 256; ++item)
        m.s16(item % 7);
    return m.b;
}

// Where the frame starts in message k: after the commands the server put before it.
qsizetype frameOffset(int k)
{
    qsizetype at = 0;
    at += k % 3 == 0 ? 14 : 0;
    at += k % 4 == 1 ? 14 : 0;
    at += k % 5 == 2 ? 25 : 0;
    at += k == 7 ? layoutCommand().size() : 0;
    at += k == 8 ? inventoryCommand().size() : 0;
    at += k == 9 ? 18 : 0;
    at += k == 10 ? 4 : 0;
    return at;
}

// The whole demo, message by message (framed); message 0 is the game state.
QList<QByteArray> gameMessages()
{
    QList<QByteArray> messages;
    Msg start;
    start.b = serverData();
    start.u8(13).s16(0).str("The Edge");
    start.u8(13).s16(5).str(kStatusBar());
    start.u8(13).s16(33).str("maps/q2dm1.bsp");
    start.u8(13).s16(34).str("players/male/tris.md2");
    for (int i : kNumbers) {
        if (hasBaseline(i)) {
            start.u8(14);
            writeEntity(start, EntityState{}, baselineOf(i), true);
        }
    }
    start.u8(11).str("precache\n");
    messages.append(framed(start.b));
    for (int k = 1; k <= kFrames; ++k) {
        Msg m;
        if (k % 3 == 0) // a sound with every optional part
            m.u8(9).u8(0x1f).u8(4).u8(200).u8(64).u8(10).s16(5 << 3 | 2).pos(8, 16, 24);
        if (k % 4 == 1) // a rail trail: two positions
            m.u8(3).u8(3).pos(1, 2, 3).pos(4, 5, 6);
        if (k % 5 == 2)
            m.u8(10).u8(2).str("Bob was railed by Ann\n");
        if (k == 7)
            m.b += layoutCommand();
        if (k == 8)
            m.b += inventoryCommand();
        if (k == 9)
            m.u8(13).s16(1312).str("Bob\\male/grunt");
        if (k == 10)
            m.u8(1).s16(1).u8(3);
        writeFrame(m, k);
        m.u8(6);
        messages.append(framed(m.b));
    }
    return messages;
}

// Reads framed messages to their end; the codec is left holding their state.
QList<MessageInfo> readAll(Q2Codec &codec, const QByteArray &bytes, QList<QByteArray> *messages = nullptr)
{
    QList<MessageInfo> infos;
    arbelon::test::readMessages(codec, bytes, [&](const arbelon::test::DemoMessage &m) {
        infos.append(m.info);
        if (messages)
            messages->append(m.bytes.toByteArray());
    });
    return infos;
}

void feed(Q2Codec &codec, const QByteArray &message)
{
    const Frame f = codec.nextFrame(message);
    if (f.kind != Frame::Message)
        throw DemoError("not a whole message");
    codec.parse(f);
}

// ---- what is on: a deathmatch as the game's server tells it ---------------------------------

QByteArray configString(int index, const QByteArray &value)
{
    return Msg().u8(13).s16(index).str(value).b;
}

QByteArray print(int level, const QByteArray &text)
{
    return Msg().u8(10).u8(level).str(text).b;
}

QByteArray layout(const QByteArray &text)
{
    return Msg().u8(4).str(text).b;
}

// Full frame n: the recording player's stats (STAT_FRAGS is 14) and pm_type.
QByteArray statsFrame(int n, const std::map<int, int> &stats = {{14, 3}}, int pmType = 0)
{
    Msg m;
    m.u8(20).s32(n).s32(-1).u8(0).u8(0).u8(17).s16(pmType ? 1 : 0);
    if (pmType)
        m.u8(pmType);
    quint32 bits = 0;
    for (const auto &[stat, value] : stats)
        bits |= 1u << stat;
    m.s32(qint32(bits));
    for (const auto &[stat, value] : stats)
        m.s16(value);
    return m.u8(18).s16(0).b;
}

const QByteArray kDeathmatchBar = "yb -24 xv 0 hnum xr -50 yt 2 num 3 14 ";

// Ann records (client 0) with Bob and Bob Jr from frame 300 on; Cid joins at frame 301. Then
// the messages given.
QByteArray deathmatch(const QList<QByteArray> &messages)
{
    QByteArray demo = framed(serverData() + configString(0, "The Edge") + configString(5, kDeathmatchBar)
                             + configString(33, "maps/q2dm1.bsp") + configString(1312, "Ann\\female/athena")
                             + configString(1313, "Bob\\male/grunt") + configString(1314, "Bob Jr\\male/grunt"));
    demo += framed(statsFrame(300));
    demo += framed(configString(1317, "Cid\\male/cipher") + statsFrame(301));
    for (const QByteArray &m : messages)
        demo += framed(m);
    return demo;
}

// "client name score" by client ("red", "blue" after a team's), '|' between.
QByteArray board(const GameFacts &f)
{
    QByteArrayList out;
    for (const FactPlayer &p : f.players) {
        out << QByteArray::number(p.client) + ' ' + p.name + ' ' + QByteArray::number(p.score)
                   + (p.team == FactPlayer::Red ? " red" : p.team == FactPlayer::Blue ? " blue" : "");
    }
    return out.join('|');
}

QByteArray summary(const GameFacts &f)
{
    return f.map + ", " + gameModeName(f.mode)
           + (f.teamScores ? ' ' + QByteArray::number(f.redScore) + ':' + QByteArray::number(f.blueScore) : "")
           + ", clock " + QByteArray::number(f.clockMs) + ", length " + QByteArray::number(f.lengthMs)
           + (f.ended ? ", ended" : "");
}

QByteArray eventLine(const FactEvent &e)
{
    return factEventKindName(e.kind) + ' ' + e.actor + ' ' + e.target + ' ' + e.weapon;
}

} // namespace

class TestQ2Demo : public QObject {
    Q_OBJECT

private slots:
    void framing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("size");
        QTest::newRow("three bytes") << QByteArray("\x05\x00\x00", 3) << int(Frame::Incomplete) << 0;
        QTest::newRow("part of a message") << QByteArray("\x05\x00\x00\x00\x06\x06", 6) << int(Frame::Incomplete) << 0;
        QTest::newRow("a whole message and more") << QByteArray("\x02\x00\x00\x00\x06\x06\x0c", 7) << int(Frame::Message) << 6;
        QTest::newRow("an empty message") << QByteArray(4, '\0') << int(Frame::Message) << 4;
        QTest::newRow("the end marker") << QByteArray(4, '\xff') << int(Frame::End) << 4;
    }
    void framing()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, kind);
        QFETCH(int, size);
        Q2Codec codec;
        const Frame f = codec.nextFrame(bytes);
        QCOMPARE(int(f.kind), kind);
        QCOMPARE(int(f.size), size);
        if (kind == Frame::Message)
            QCOMPARE(f.payload.toByteArray(), bytes.mid(4, size - 4));
        QCOMPARE(codec.endMarker(), QByteArray(4, '\xff'));
        QCOMPARE(makeCodec(Game::Quake2)->game(), Game::Quake2);
    }

    // Baselines assembled by hand: the bits, more-bits bytes and field order of the format.
    void handBaselines_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<int>("number");
        QTest::addColumn<QList<int>>("values"); // origin x, y, z, model, frame, skin, old origin x
        // U_ORIGIN1 | U_MOREBITS1, then U_NUMBER16 | U_MODEL: number 300, model 7, x = 100.5 (804/8).
        QTest::newRow("number16 and more bits") << QByteArray("\x0e\x81\x09\x2c\x01\x07\x24\x03", 8) << 300
                                                << QList<int>{804, 0, 0, 7, 0, 0, 0};
        // U_FRAME8 | U_MOREBITS1, U_MOREBITS2, U_MOREBITS3, U_SKIN16: frame 9, skin -2 (a signed short).
        QTest::newRow("skin as a short") << QByteArray("\x0e\x90\x80\x80\x02\x05\x09\xfe\xff", 9) << 5
                                         << QList<int>{0, 0, 0, 0, 9, -2, 0};
        // All four bytes, U_OLDORIGIN and U_ORIGIN3: number 1, z = -8 (-64), old origin x = 16.
        QTest::newRow("old origin") << QByteArray("\x0e\x80\x82\x80\x01\x01\xc0\xff\x80\x00\x00\x00\x00\x00", 14) << 1
                                    << QList<int>{0, 0, -64, 0, 0, 0, 128};
    }
    void handBaselines()
    {
        QFETCH(QByteArray, command);
        QFETCH(int, number);
        QFETCH(QList<int>, values);
        Q2Codec codec;
        feed(codec, framed(serverData() + command + Msg().u8(13).s16(0).str("after").b));
        const EntityState &b = codec.baseline(number);
        QCOMPARE(QList<int>({b.origin[0], b.origin[1], b.origin[2], b.models[0], b.frame, b.skin, b.oldOrigin[0]}),
                 values);
        QCOMPARE(codec.configString(0), QByteArray("after")); // every byte was taken, no more
    }

    // A full frame by hand, and the demo rebuilt from it compared byte for byte.
    void handFullFrame()
    {
        Q2Codec codec;
        Msg start;
        start.b = serverData();
        start.u8(13).s16(0).str("q2dm1");
        start.u8(14).u8(0x81).u8(0x08).u8(1).u8(1).s16(8); // entity 1: model 1, x = 1
        feed(codec, framed(start.b));
        QVERIFY(!codec.canRebuild());
        // Frame 7, delta -1, no suppressed packets, no area bits; origin (1, 2, -3) as 1/8 units;
        // entity 1 moved to x = 5 from its baseline; the list ends with a zero short.
        const QByteArray frame("\x14\x07\x00\x00\x00\xff\xff\xff\xff\x00\x00"
                               "\x11\x02\x00\x08\x00\x10\x00\xe8\xff\x00\x00\x00\x00"
                               "\x12\x01\x01\x28\x00\x00\x00",
                               31);
        // The frame views the bytes it was cut from: they must outlive it.
        const QByteArray message = framed(frame);
        const Frame f = codec.nextFrame(message);
        const MessageInfo info = codec.parse(f);
        QVERIFY(info.snapshot);
        QCOMPARE(info.serverTimeMs, 700);
        QVERIFY(!info.intermission);
        const Q2Codec::FrameState *held = codec.heldFrame(7);
        QVERIFY(held);
        QCOMPARE(held->player.origin, (std::array<qint16, 3>{8, 16, -24}));
        QCOMPARE(int(held->entities.size()), 1);
        QCOMPARE(held->entities[0].origin[0], 40);
        QCOMPARE(held->entities[0].oldOrigin[0], 8); // where the baseline had it
        QVERIFY(codec.canRebuild());

        const QByteArray expected =
            framed(serverData() + Msg().u8(13).s16(0).str("q2dm1").b + QByteArray("\x0e\x81\x08\x01\x01\x08\x00", 7)
                   + Msg().u8(11).str("precache\n").b)
            + framed(frame);
        QCOMPARE(codec.rebuild(), expected);
    }

    // Payloads whose length depends on their type, each followed by a command that must be
    // found where it starts.
    void variablePayloads_data()
    {
        QTest::addColumn<QByteArray>("command");
        auto te = [](int type) { return Msg().u8(3).u8(type); };
        QTest::newRow("gunshot: position, direction") << te(0).pos(1, 2, 3).u8(161).b;
        QTest::newRow("splash: count, position, direction, colour") << te(10).u8(8).pos(1, 2, 3).u8(5).u8(2).b;
        QTest::newRow("blue hyperblaster: two positions") << te(27).pos(1, 2, 3).pos(4, 5, 6).b;
        QTest::newRow("grapple cable: entity, three positions") << te(24).s16(3).pos(1, 2, 3).pos(4, 5, 6).pos(7, 8, 9).b;
        QTest::newRow("lightning: two entities, two positions") << te(33).s16(3).s16(4).pos(1, 2, 3).pos(4, 5, 6).b;
        QTest::newRow("flashlight: position, entity") << te(36).pos(1, 2, 3).s16(5).b;
        QTest::newRow("forcewall: two positions, colour") << te(37).pos(1, 2, 3).pos(4, 5, 6).u8(0xd0).b;
        QTest::newRow("heat beam: entity, two positions") << te(38).s16(3).pos(1, 2, 3).pos(4, 5, 6).b;
        QTest::newRow("instant steam") << te(40).s16(-1).u8(8).pos(1, 2, 3).u8(4).u8(0xe0).s16(60).b;
        QTest::newRow("lasting steam: with its duration") << te(40).s16(7).u8(8).pos(1, 2, 3).u8(4).u8(0xe0).s16(60).s32(900).b;
        QTest::newRow("widow beam out: id, position") << te(50).s16(2).pos(1, 2, 3).b;
        QTest::newRow("sound: index only") << Msg().u8(9).u8(0).u8(4).b;
        QTest::newRow("sound: volume, attenuation, offset, entity, position")
            << Msg().u8(9).u8(0x1f).u8(4).u8(255).u8(64).u8(10).s16(1023 << 3 | 7).pos(1, 2, 3).b;
        QTest::newRow("download: a piece") << Msg().u8(16).s16(3).u8(50).u8(1).u8(2).u8(3).b;
        QTest::newRow("download: no such file") << Msg().u8(16).s16(-1).u8(0).b;
        QTest::newRow("print: level and text") << Msg().u8(10).u8(3).str("hello").b;
        QTest::newRow("string ended by 0xff") << QByteArray("\x0f"
                                                            "centre\xff",
                                                            8);
    }
    void variablePayloads()
    {
        QFETCH(QByteArray, command);
        Q2Codec codec;
        feed(codec, framed(serverData() + command + Msg().u8(13).s16(0).str("after").b));
        QCOMPARE(codec.configString(0), QByteArray("after"));
    }

    void parsesEveryMessage()
    {
        const QList<QByteArray> messages = gameMessages();
        Q2Codec codec;
        for (int k = 0; k < messages.size(); ++k) {
            const MessageInfo info = codec.parse(codec.nextFrame(messages[k]));
            QCOMPARE(info.gameState, k == 0);
            QCOMPARE(info.snapshot, k > 0);
            if (k > 0) {
                QCOMPARE(messages[k].at(4 + frameOffset(k)), '\x14');
                QCOMPARE(info.serverTimeMs, serverFrame(k) * 100);
                QCOMPARE(info.intermission, k >= 22);
                const Q2Codec::FrameState *held = codec.heldFrame(serverFrame(k));
                QVERIFY(held);
                QCOMPARE(held->player, truthPlayer(k));
                QCOMPARE(held->entities, truthEntities(k));
                QCOMPARE(held->areaBits, QByteArray("\xff\x0f"));
            }
        }
        QCOMPARE(codec.protocol(), 34);
        QCOMPARE(codec.configString(5), kStatusBar());
        QCOMPARE(codec.configString(6), kStatusBar().mid(64)); // the statusbar runs on
        QCOMPARE(codec.configString(1312), QByteArray("Bob\\male/grunt"));
        QVERIFY(!codec.heldFrame(serverFrame(kFrames - 16))); // only the last 16 are kept
        QVERIFY(codec.heldFrame(serverFrame(kFrames - 15)));
    }

    void intermission_data()
    {
        QTest::addColumn<int>("pmType");
        QTest::addColumn<int>("chase");
        QTest::addColumn<bool>("intermission");
        QTest::newRow("frozen") << 4 << 0 << true;
        QTest::newRow("frozen, chasing a player") << 4 << 1313 << false;
        QTest::newRow("dead") << 2 << 0 << false;
        QTest::newRow("playing") << 0 << 0 << false;
    }
    void intermission()
    {
        QFETCH(int, pmType);
        QFETCH(int, chase);
        QFETCH(bool, intermission);
        Q2Codec codec;
        feed(codec, framed(serverData()));
        const QByteArray frame = Msg().u8(20).s32(3).s32(-1).u8(0).u8(0).u8(17).s16(1).u8(pmType).s32(1 << 16).s16(chase).u8(18).s16(0).b;
        QCOMPARE(codec.parse(codec.nextFrame(framed(frame))).intermission, intermission);
    }

    // The demo rebuilt after frame n, then the later messages in their live form, read by a
    // second codec: the same states as the original from frame n on.
    void rebuildsFromAnyFrame_data()
    {
        QTest::addColumn<int>("n");
        QTest::newRow("first frame") << 1;
        QTest::newRow("before a frame delta-coded from two back") << 4;
        QTest::newRow("middle, the next frame coded from three back") << 11;
        QTest::newRow("last frame") << kFrames;
    }
    void rebuildsFromAnyFrame()
    {
        QFETCH(int, n);
        const QList<QByteArray> messages = gameMessages();
        Q2Codec original;
        for (int k = 0; k <= n; ++k)
            original.parse(original.nextFrame(messages[k]));
        QVERIFY(original.canRebuild());
        QByteArray copy = original.rebuild();
        QList<QByteArray> rebuilt;
        {
            Q2Codec check;
            readAll(check, copy, &rebuilt);
        }
        for (const QByteArray &m : rebuilt)
            QVERIFY(m.size() - 4 <= q2::kMaxMsgLen);
        // The frame comes last, in full, after the layout and inventory the client shows.
        const QByteArray shown = (n >= 7 ? layoutCommand() : QByteArray()) + (n >= 8 ? inventoryCommand() : QByteArray());
        QCOMPARE(rebuilt.last().mid(4, shown.size()), shown);
        QCOMPARE(rebuilt.last().mid(4 + shown.size(), 1), QByteArray("\x14"));
        QCOMPARE(rebuilt.last().mid(9 + shown.size(), 4), QByteArray(4, '\xff'));

        for (int k = n + 1; k < messages.size(); ++k) {
            const Frame f = original.nextFrame(messages[k]);
            original.parse(f);
            const QByteArray live = original.liveForm(f);
            const bool fromBefore = deltaOf(k) > 0 && deltaOf(k) < n;
            QCOMPARE(live == messages[k], !fromBefore);
            if (fromBefore) { // coded from the newest frame the copy holds
                const qsizetype at = 4 + frameOffset(k);
                QCOMPARE(live.mid(4, at - 4), messages[k].mid(4, at - 4));
                QCOMPARE(qFromLittleEndian<qint32>(live.constData() + at + 5), serverFrame(k - 1));
            }
            copy += live;
        }
        copy += original.endMarker();

        // The same copy made for a moment just after the frame before, read in pieces.
        MomentCopy moment(Game::Quake2, serverFrame(n) * 100 - 99);
        const QByteArray demo = messages.join() + original.endMarker();
        QByteArray fromMoment;
        for (qsizetype at = 0; at < demo.size(); at += 100) {
            moment.append(QByteArrayView(demo).sliced(at, std::min<qsizetype>(100, demo.size() - at)));
            fromMoment += moment.take();
        }
        QCOMPARE(moment.startMs(), serverFrame(n) * 100);
        QCOMPARE(fromMoment, copy);

        Q2Codec replay;
        const QList<MessageInfo> infos = readAll(replay, copy);
        QCOMPARE(infos.first().gameState, true);
        QCOMPARE(replay.nextFrame(QByteArrayView(copy).last(4)).kind, Frame::End);
        for (int k = std::max(n, kFrames - 15); k <= kFrames; ++k) {
            const Q2Codec::FrameState *held = replay.heldFrame(serverFrame(k));
            QVERIFY2(held, qPrintable(QString::number(k)));
            QCOMPARE(held->player, truthPlayer(k));
            QCOMPARE(held->entities, truthEntities(k));
        }
        for (int i = 0; i < q2::kMaxConfigStrings; ++i)
            QCOMPARE(replay.configString(i), original.configString(i));
        for (int i : kNumbers)
            QCOMPARE(replay.baseline(i), original.baseline(i));
    }

    // Before a rebuild there is no copy; an empty message would end the copy's playback.
    void liveFormHasNoPlace()
    {
        const QList<QByteArray> messages = gameMessages();
        Q2Codec codec;
        const Frame first = codec.nextFrame(messages[0]);
        codec.parse(first);
        QVERIFY(codec.liveForm(first).isEmpty());
        codec.parse(codec.nextFrame(messages[1]));
        QVERIFY(!codec.rebuild().isEmpty());
        const QByteArray empty(4, '\0');
        const Frame nothing = codec.nextFrame(empty);
        codec.parse(nothing);
        QVERIFY(codec.liveForm(nothing).isEmpty());
        const Frame next = codec.nextFrame(messages[2]);
        codec.parse(next);
        QCOMPARE(codec.liveForm(next), messages[2]);
    }

    // A frame numbered 0 or less can be no delta source: its number as a delta means "full".
    void reencodesFromAPositiveFrame()
    {
        auto frameMsg = [](int serverFrame, int delta, bool sendStat) {
            Msg m;
            m.u8(20).s32(serverFrame).s32(delta).u8(0).u8(0).u8(17).s16(0);
            sendStat ? m.s32(1 << 1).s16(7) : m.s32(0);
            return framed(m.u8(18).s16(0).b);
        };
        Q2Codec codec;
        feed(codec, framed(serverData()));
        feed(codec, frameMsg(1, -1, true));
        feed(codec, frameMsg(2, 1, false));
        QByteArray copy = codec.rebuild();
        for (const QByteArray &m : {frameMsg(-3, -1, true), frameMsg(4, 1, false)}) {
            const Frame f = codec.nextFrame(m);
            codec.parse(f);
            copy += codec.liveForm(f);
        }
        Q2Codec replay;
        readAll(replay, copy);
        QVERIFY(replay.heldFrame(4));
        QCOMPARE(replay.heldFrame(4)->player.stats[1], 7);
    }

    void refusesBadDemos_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("why");
        const QByteArray start = framed(serverData());
        const QByteArray full = Msg().u8(20).s32(3).s32(-1).u8(0).u8(0).u8(17).s16(0).s32(0).u8(18).s16(0).b;
        QTest::newRow("truncated message") << start + framed(Msg().u8(10).u8(2).b + "no end") << "ends inside";
        QTest::newRow("length beyond the bound") << QByteArray("\x01\x00\x01\x00", 4) + QByteArray(65537, '\x06')
                                                 << "out of bounds";
        QTest::newRow("negative length") << QByteArray("\xfe\xff\xff\xff", 4) << "out of bounds";
        QTest::newRow("entity number out of range") << start + framed(Msg().u8(14).u8(0x80).u8(0x01).s16(1024).b)
                                                    << "entity number 1024";
        QTest::newRow("negative entity number") << start + framed(Msg().u8(14).u8(0x80).u8(0x01).s16(-3).b)
                                                << "entity number -3";
        QTest::newRow("delta from a missing frame")
            << start + framed(Msg().u8(20).s32(5).s32(4).u8(0).u8(0).u8(17).s16(0).s32(0).u8(18).s16(0).b)
            << "does not hold";
        auto frameMsg = [](int serverFrame, int delta) {
            return framed(Msg().u8(20).s32(serverFrame).s32(delta).u8(0).u8(0).u8(17).s16(0).s32(0).u8(18).s16(0).b);
        };
        // Frame 19 takes frame 3's place among the last 16.
        QTest::newRow("delta from a frame too old") << start + frameMsg(3, -1) + frameMsg(19, -1) + frameMsg(20, 3)
                                                    << "from frame 3, which the demo does not hold";
        QTest::newRow("unknown command") << start + framed(Msg().u8(21).b) << "unknown server command 21";
        QTest::newRow("command zero") << start + framed(Msg().u8(0).b) << "unknown server command 0";
        QTest::newRow("protocol 35") << framed(serverData(35)) << "protocol 35 is not supported for live play";
        QTest::newRow("too many area bits") << start + framed(Msg().u8(20).s32(3).s32(-1).u8(0).u8(33).b) << "area bits";
        QTest::newRow("frame without player info") << start + framed(Msg().u8(20).s32(3).s32(-1).u8(0).u8(0).u8(18).b)
                                                   << "without player info";
        QTest::newRow("entities out of order")
            << start + framed(Msg().u8(20).s32(3).s32(-1).u8(0).u8(0).u8(17).s16(0).s32(0).u8(18).u8(0).u8(5).u8(0).u8(4).s16(0).b)
            << "comes after";
        QTest::newRow("frame before server data") << framed(full) << "before the server data";
        QTest::newRow("player info alone") << start + framed(Msg().u8(17).b) << "outside a frame";
        QTest::newRow("temp entity the client refuses") << start + framed(Msg().u8(3).u8(31).b) << "type 31";
        QTest::newRow("direction out of range") << start + framed(Msg().u8(3).u8(0).pos(0, 0, 0).u8(162).b) << "direction";
        QTest::newRow("muzzle flash of entity 0") << start + framed(Msg().u8(1).s16(0).u8(1).b) << "muzzle flash";
        QTest::newRow("configstring out of range") << start + framed(Msg().u8(13).s16(2080).str("x").b) << "configstring 2080";
    }
    void refusesBadDemos()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, why);
        Q2Codec codec;
        try {
            readAll(codec, bytes);
            QFAIL("no DemoError");
        } catch (const DemoError &e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains(why), e.what());
        }
        if (why.startsWith(QStringLiteral("protocol 35")))
            QCOMPARE(codec.protocol(), 35);
        // A copy from a moment is refused for the same reason.
        MomentCopy moment(Game::Quake2, 0);
        moment.append(bytes);
        QCOMPARE(moment.state(), MomentCopy::State::Refused);
        QVERIFY2(moment.refusal().contains(why), qPrintable(moment.refusal()));
    }

    // What is on, from a deathmatch's messages: each row's messages after the game above.
    void factsFromWhatTheServerSays_data()
    {
        QTest::addColumn<QList<QByteArray>>("messages");
        QTest::addColumn<QByteArray>("players");
        QTest::addColumn<QByteArray>("lastEvent");
        QTest::addColumn<bool>("fromServer");
        QTest::addColumn<QByteArray>("game");
        const QByteArray all = "0 Ann 3|1 Bob 0|2 Bob Jr 0|5 Cid 0";
        const QByteArray atFrame302 = "q2dm1, free for all, clock 30200, length 200";
        QTest::newRow("a rocket") << QList<QByteArray>{print(1, "Ann ate Bob's rocket\n") + statsFrame(302)}
                                  << QByteArray("0 Ann 3|1 Bob 1|2 Bob Jr 0|5 Cid 0")
                                  << QByteArray("frag Bob Ann rocket") << false << atFrame302;
        QTest::newRow("names with spaces, one within another")
            << QList<QByteArray>{print(1, "Bob was blasted by Bob Jr\n") + print(1, "Bob Jr almost dodged Bob's rocket\n")
                                 + statsFrame(302)}
            << QByteArray("0 Ann 3|1 Bob 1|2 Bob Jr 1|5 Cid 0") << QByteArray("frag Bob Bob Jr rocket splash") << false
            << atFrame302;
        QTest::newRow("the world, then one's own rocket")
            << QList<QByteArray>{print(1, "Cid cratered.\n") + print(1, "Bob Jr blew himself up.\n") + statsFrame(302)}
            << QByteArray("0 Ann 3|1 Bob 0|2 Bob Jr -1|5 Cid -1") << QByteArray("frag Bob Jr Bob Jr rocket splash")
            << false << atFrame302;
        // The recording player's own score is the server's, in every frame's stats.
        QTest::newRow("the scoreboard, then a frag of the recording player's")
            << QList<QByteArray>{layout("xv 32 yv 32 picn tag1 client 0 32 0 3 50 2 client 0 64 1 7 40 1 "
                                        "client 0 96 2 -2 30 1 ")
                                     + statsFrame(302),
                                 print(1, "Bob was railed by Ann\n") + statsFrame(303, {{14, 9}})}
            << QByteArray("0 Ann 9|1 Bob 7|2 Bob Jr -2|5 Cid 0") << QByteArray("frag Ann Bob railgun") << true
            << QByteArray("q2dm1, free for all, clock 30300, length 300");
        QTest::newRow("a leave") << QList<QByteArray>{configString(1313, "") + statsFrame(302)}
                                 << QByteArray("0 Ann 3|2 Bob Jr 0|5 Cid 0") << QByteArray("leave Bob  ") << false
                                 << atFrame302;
        QTest::newRow("a name with markup and control bytes")
            << QList<QByteArray>{configString(1318, "<b>D\x01"
                                                    "an</b>\\male/grunt")
                                 + statsFrame(302)}
            << all + "|6 <b>Dan</b> 0" << QByteArray("join <b>Dan</b>  ") << false << atFrame302;
        QTest::newRow("client numbers beyond the players, a name beyond its slot")
            << QList<QByteArray>{configString(1568, "Eve\\male/grunt") + configString(1319, QByteArray(100, 'x'))
                                 + layout("client 0 0 256 9 0 0 client 0 0 -1 9 0 0 client 0 0")
                                 + statsFrame(302, {{14, 5}, {16, 1312 + 256}})}
            << all << QByteArray("join Cid  ") << true << atFrame302;
        QTest::newRow("texts that are no obituary")
            << QList<QByteArray>{print(3, "Bob ate Ann's rocket\n") + print(1, "Bob ate Zed's rocket\n")
                                 + print(1, "Bob was fragged.\n") + print(1, "Bob ate Ann's rocket.\n")
                                 + print(2, "Bob captured the RED flag!\n") + statsFrame(302)}
            << all << QByteArray("join Cid  ") << false << atFrame302;
        QByteArray longPrints;
        for (int i = 0; i < 32; ++i)
            longPrints += print(1, QByteArray("Bob Jr ").repeated(290));
        QTest::newRow("a message full of long prints")
            << QList<QByteArray>{longPrints + statsFrame(302), print(1, "Bob Jr ate Bob's rocket\n") + statsFrame(303)}
            << QByteArray("0 Ann 3|1 Bob 1|2 Bob Jr 0|5 Cid 0") << QByteArray("frag Bob Bob Jr rocket") << false
            << QByteArray("q2dm1, free for all, clock 30300, length 300");
        QTest::newRow("the intermission, after the last frag")
            << QList<QByteArray>{print(1, "Ann was railed by Bob\n") + statsFrame(302, {{14, 3}}, 4),
                                 statsFrame(303, {{14, 3}}, 4)}
            << QByteArray("0 Ann 3|1 Bob 1|2 Bob Jr 0|5 Cid 0") << QByteArray("end   ") << false
            << QByteArray("q2dm1, free for all, clock 30300, length 300, ended");
        QTest::newRow("the capture-the-flag mod: teams, a capture, its scoreboard")
            << QList<QByteArray>{configString(5, kDeathmatchBar + "xr -62 num 2 18 xr -62 num 2 20")
                                 + configString(1312, "Ann\\female/ctf_r") + configString(1313, "Bob\\male/ctf_b")
                                 + print(2, "Bob captured the RED flag!\n") + layout("ctf 0 42 1 15 40 ctf 160 42 0 2 50 ")
                                 + statsFrame(302, {{14, 2}, {18, 0}, {20, 1}})}
            << QByteArray("0 Ann 2 red|1 Bob 15 blue|2 Bob Jr 0|5 Cid 0") << QByteArray("capture Bob  ") << true
            << QByteArray("q2dm1, capture the flag 0:1, clock 30200, length 200");
        QTest::newRow("the next level")
            << QList<QByteArray>{serverData() + configString(5, kDeathmatchBar) + configString(33, "maps/q2dm2.bsp")
                                     + configString(1312, "Ann\\female/athena"),
                                 configString(1313, "Bob\\male/grunt") + statsFrame(20, {{14, 0}})}
            << QByteArray("0 Ann 0|1 Bob 0") << QByteArray("join Cid  ") << false
            << QByteArray("q2dm2, free for all, clock 2000, length 100");
    }
    void factsFromWhatTheServerSays()
    {
        QFETCH(QList<QByteArray>, messages);
        QFETCH(QByteArray, players);
        QFETCH(QByteArray, lastEvent);
        QFETCH(bool, fromServer);
        QFETCH(QByteArray, game);
        // Read whole, and in pieces that end inside messages: the same facts.
        const QByteArray demo = deathmatch(messages);
        FactsReader reader(Game::Quake2), pieces(Game::Quake2);
        reader.append(demo);
        for (qsizetype at = 0; at < demo.size(); at += 97)
            pieces.append(QByteArrayView(demo).sliced(at, std::min<qsizetype>(97, demo.size() - at)));
        QVERIFY2(reader.failure().isEmpty(), qPrintable(reader.failure()));
        const GameFacts &f = reader.facts();
        QCOMPARE(pieces.facts(), f);
        QCOMPARE(board(f), players);
        QCOMPARE(eventLine(f.events.back()), lastEvent);
        QCOMPARE(f.scoresFromServer, fromServer);
        QCOMPARE(summary(f), game);
        QVERIFY(std::count_if(f.events.begin(), f.events.end(), [](const FactEvent &e) { return e.kind == FactEvent::MatchEnd; }) <= 1);
        // Bytes no demo holds after that end its facts, not what was read.
        const GameFacts before = f;
        reader.append(QByteArray("\x02\x00\x00\x00\x15\x15", 6));
        QVERIFY(!reader.failure().isEmpty());
        QCOMPARE(reader.facts(), before);
    }
};

QTEST_GUILESS_MAIN(TestQ2Demo)
#include "tst_q2demo.moc"
