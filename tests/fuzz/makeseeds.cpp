// Writes the seed corpora of the fuzz targets: one small file per interesting case, in the
// input layout each target reads. Run it with the tests/fuzz folder of the source tree:
//   fuzz_make_seeds <source>/tests/fuzz

#include "q2fields.h"
#include "records.h"

#include <QDir>
#include <QFile>
#include <QtEndian>

#include <cstdio>
#include <zlib.h>

using namespace arbelon;

namespace {

QString g_root;

void write(const QString &target, const QString &name, const QByteArray &bytes)
{
    QDir().mkpath(g_root + QLatin1Char('/') + target);
    QFile f(g_root + QLatin1Char('/') + target + QLatin1Char('/') + name);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(f.fileName()));
        std::exit(1);
    }
}

QByteArray deflated(const QByteArray &raw)
{
    uLongf size = compressBound(uLong(raw.size()));
    QByteArray out(qsizetype(size), '\0');
    compress2(reinterpret_cast<Bytef *>(out.data()), &size, reinterpret_cast<const Bytef *>(raw.constData()),
              uLong(raw.size()), Z_BEST_COMPRESSION);
    out.resize(qsizetype(size));
    return out;
}

quint32 crcOf(const QByteArray &raw)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef *>(raw.constData()), uInt(raw.size())));
}

QByteArray block(const QByteArray &raw, qint32 seq = 0)
{
    return buildDemoPacket(crcOf(raw), seq, deflated(raw));
}

// Demo bytes that compress a little, as real demos do.
QByteArray demoBytes(int size, int salt)
{
    QByteArray raw(size, '\0');
    quint32 x = 2463534242u + quint32(salt);
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        raw[i] = char((x % 7 == 0) ? (x >> 8) : (i / 64));
    }
    return raw;
}

QByteArray withHeader(qint32 type, quint32 size, int total)
{
    QByteArray r(total, '\0');
    qToLittleEndian<qint32>(type, r.data());
    qToLittleEndian<quint32>(size, r.data() + 4);
    return r;
}

// ---- client receive loop: [settings] then [action][length][bytes] steps ----------------------

struct Steps {
    QByteArray bytes;
    explicit Steps(quint8 settings) { bytes.append(char(settings)); }
    // Data past the 16-bit length goes on in further steps; the action comes with the last.
    Steps &step(const QByteArray &data, quint8 action = 0)
    {
        qsizetype at = 0;
        do {
            const QByteArray piece = data.mid(at, 0xffff);
            at += piece.size();
            bytes.append(char(at < data.size() ? 0 : action));
            bytes.append(char(piece.size() & 0xff));
            bytes.append(char((piece.size() >> 8) & 0xff));
            bytes.append(piece);
        } while (at < data.size());
        return *this;
    }
};

constexpr quint8 kWatch = 1, kLeave = 2, kChat = 3, kPlay = 4;

QByteArray game(quint32 id, const QByteArray &mod, qint32 type = 0)
{
    return buildGameInfoDetailed(id, "Duel #3", type, 2, mod);
}

// Into a lobby: the game row, the watch request's answer.
Steps watching(const QByteArray &mod, qint32 type = 0)
{
    Steps s(0);
    s.step(game(1, mod, type), kWatch);
    s.step(buildAckNak(0));
    return s;
}

void clientSeeds()
{
    const QString t = QStringLiteral("client_receive");
    const QByteArray demo1 = demoBytes(12000, 1);
    const QByteArray demo2 = demoBytes(9000, 2);

    Steps full = watching("baseq2");
    full.step(buildUserEntered("filmer") + buildSendText("filmer", "hello") + buildDemoRestart(0));
    full.step(block(demo1) + block(demo2), kPlay);
    full.step(buildDemoRestart(1) + block(demo2), kChat);
    full.step(buildAckNak(0) + buildUserLeft("filmer"), kLeave);
    full.step(buildAckNak(0) + buildGameRemoved(1));
    write(t, QStringLiteral("watch-q2"), full.bytes);

    Steps q3 = watching("baseq3", 1);
    q3.step(buildDemoRestart(0) + block(demo1) + block(demo1), kPlay);
    write(t, QStringLiteral("watch-q3"), q3.bytes);

    const QList<QByteArray> mods = {"../../x", "/abs", "a b", "+quit", "abcdefghijklmnop",
                                    "abcdefghijklmnopq", "..", "ctf"};
    int n = 0;
    for (const QByteArray &mod : mods) {
        Steps s = watching(mod);
        s.step(buildDemoRestart(0) + block(demoBytes(21000, n)), kPlay);
        write(t, QStringLiteral("mod-%1").arg(n++), s.bytes);
    }

    // A record split into small pieces.
    Steps split = watching("baseq2");
    const QByteArray whole = buildDemoRestart(0) + block(demo2);
    for (qsizetype i = 0; i < whole.size(); i += 997)
        split.step(whole.mid(i, 997));
    write(t, QStringLiteral("split"), split.bytes);

    // Sizes a DEMOPACKET must not have.
    const QList<quint32> sizes = {0, 15, 16, 0xffffffffu, 4u * 1024 * 1024 + 1};
    n = 0;
    for (const quint32 size : sizes) {
        Steps s = watching("baseq2");
        s.step(buildDemoRestart(0) + withHeader(DEMOPACKET, size, 16));
        write(t, QStringLiteral("size-%1").arg(n++), s.bytes);
    }

    // Zeros that inflate one MiB past what a block may inflate to.
    {
        const QByteArray zeros(rec::kMaxBlockInflated + 1024 * 1024, '\0');
        Steps s = watching("baseq2");
        s.step(buildDemoRestart(0) + block(zeros));
        write(t, QStringLiteral("zlib-bomb"), s.bytes);
    }
    // A stream with bytes after its end, garbage that is not zlib, a wrong CRC.
    {
        const QByteArray raw = demoBytes(3000, 7);
        Steps s = watching("baseq2");
        s.step(buildDemoRestart(0) + buildDemoPacket(crcOf(raw), 0, deflated(raw) + "trailing"));
        s.step(buildDemoPacket(crcOf(raw) ^ 1, 0, deflated(raw)) + buildDemoPacket(0, 0, "not zlib at all"));
        write(t, QStringLiteral("bad-blocks"), s.bytes);
    }
    // Blocks before any announcement; an announcement before any watch.
    {
        Steps s = watching("baseq2");
        s.step(block(demo1));
        write(t, QStringLiteral("block-first"), s.bytes);
        Steps idle(0);
        idle.step(buildDemoRestart(0) + block(demo1));
        write(t, QStringLiteral("restart-unwatched"), idle.bytes);
    }
    // Types without a handler, then records that must never be handled.
    {
        const QList<qint32> types = {0, 1, 2, 5, 7, 8, 14, -1, 0x7fffffff};
        n = 0;
        for (const qint32 type : types) {
            Steps s = watching("baseq2");
            s.step(withHeader(type, 16, 16) + buildSendText("x", "after"));
            write(t, QStringLiteral("type-%1").arg(n++), s.bytes);
        }
    }
    // Text fields without a NUL; ids and counts at their ends.
    {
        QByteArray row = buildGameInfoDetailed(0xffffffffu, "", 7, 0xffffffffu, "");
        row.replace(rec::gdGameName, rec::gdGameNameWidth, QByteArray(rec::gdGameNameWidth, 'N'));
        row.replace(rec::gdModName, rec::gdModNameWidth, QByteArray(rec::gdModNameWidth, 'm'));
        QByteArray chat = buildSendText("", "");
        chat.replace(rec::stUserName, rec::stUserNameWidth + rec::stTextWidth,
                     QByteArray(rec::stUserNameWidth + rec::stTextWidth, 'T'));
        QByteArray user = buildUserEntered("");
        user.replace(rec::uiUserName, rec::uiUserNameWidth, QByteArray(rec::uiUserNameWidth, 'U'));
        Steps s(0);
        s.step(row + buildGameInfoDetailed(0, "zero", 0, 0, "baseq2"), kWatch);
        s.step(buildAckNak(0) + chat + user + buildGameRemoved(0) + buildGameRemoved(0xffffffffu));
        write(t, QStringLiteral("fields"), s.bytes);
    }
    // Answers in every state.
    {
        Steps s(0);
        s.step(buildAckNak(1) + buildAckNak(0) + game(5, "baseq2"), kWatch);
        s.step(buildAckNak(1), kWatch);
        s.step(buildAckNak(0), kChat);
        s.step(buildAckNak(0), kLeave);
        s.step(buildAckNak(0) + buildAckNak(0));
        write(t, QStringLiteral("answers"), s.bytes);
    }
}

// ---- relay connection: [operation][length][bytes] steps --------------------------------------

struct RelaySteps {
    QByteArray bytes;
    RelaySteps &send(int slot, const QByteArray &data)
    {
        for (qsizetype at = 0; at < data.size(); at += 0xffff) {
            const QByteArray piece = data.mid(at, 0xffff);
            bytes.append(char(slot));
            bytes.append(char(piece.size() & 0xff));
            bytes.append(char((piece.size() >> 8) & 0xff));
            bytes.append(piece);
        }
        return *this;
    }
    RelaySteps &close(int slot) { return op(slot | (1 << 2), 0); }
    RelaySteps &stopReading(int slot) { return op(slot | (2 << 2), 0); }
    RelaySteps &clock(quint16 ms) { return op(3, ms); }
    RelaySteps &op(int code, quint16 length)
    {
        bytes.append(char(code));
        bytes.append(char(length & 0xff));
        bytes.append(char(length >> 8));
        return *this;
    }
};

void relaySeeds()
{
    const QString t = QStringLiteral("relay_connection");
    const QByteArray raw = demoBytes(4000, 3);
    const QByteArray gameInfo = buildGameInfo(0, "baseq2", "filmer", "", "Duel");

    RelaySteps session;
    session.send(0, gameInfo);
    session.send(1, buildUserInfo("viewer"));
    session.send(1, buildWaitForGame(1));
    session.send(0, buildDemoRestart(0) + block(raw, 1));
    session.send(2, buildUserInfo("late") + buildWaitForGame(1));
    session.send(1, buildAckNak(0) + buildSendText({}, "hi"));
    session.send(0, block(raw, 2) + buildSendText({}, "from the filmer"));
    session.send(1, buildLeaveGame());
    session.close(0);
    session.send(2, buildLeaveGame());
    write(t, QStringLiteral("session"), session.bytes);

    RelaySteps wrongPort;
    wrongPort.send(1, gameInfo);
    wrongPort.send(0, buildUserInfo("viewer"));
    wrongPort.send(2, buildUserInfo("v") + buildDemoRestart(0));
    write(t, QStringLiteral("wrong-port"), wrongPort.bytes);

    const QList<quint32> sizes = {0, 15, 16, 17, 0xffffffffu, 4u * 1024 * 1024 + 1};
    int n = 0;
    for (const quint32 size : sizes) {
        RelaySteps s;
        s.send(0, gameInfo + buildDemoRestart(0) + withHeader(DEMOPACKET, size, 17));
        write(t, QStringLiteral("size-%1").arg(n++), s.bytes);
    }

    RelaySteps half;
    half.send(0, gameInfo.left(50));
    half.send(1, buildUserInfo("viewer").left(20));
    half.send(0, gameInfo.mid(50) + block(raw).left(100));
    half.close(0);
    write(t, QStringLiteral("half-records"), half.bytes);

    RelaySteps flood;
    flood.send(0, gameInfo);
    flood.send(1, buildUserInfo("viewer") + buildWaitForGame(1));
    for (int i = 0; i < 12; ++i)
        flood.send(1, buildSendText({}, "spam"));
    flood.clock(2000);
    flood.send(1, buildSendText({}, "after a pause"));
    write(t, QStringLiteral("chat-flood"), flood.bytes);

    RelaySteps stalled;
    stalled.send(0, gameInfo);
    stalled.send(1, buildUserInfo("slow") + buildWaitForGame(1));
    stalled.stopReading(1);
    stalled.send(0, buildDemoRestart(0));
    for (int i = 0; i < 8; ++i)
        stalled.send(0, block(demoBytes(2000, i), i + 1));
    write(t, QStringLiteral("stalled-viewer"), stalled.bytes);

    RelaySteps garbage;
    garbage.send(1, QByteArray("GET / HTTP/1.1\r\nHost: relay\r\n\r\n"));
    garbage.send(0, QByteArray(64, '\xff'));
    write(t, QStringLiteral("garbage"), garbage.bytes);

    RelaySteps twice;
    twice.send(0, gameInfo + gameInfo);
    twice.send(1, buildUserInfo("a") + buildUserInfo("b"));
    twice.send(2, buildUserInfo("c") + buildWaitForGame(-1) + buildWaitForGame(0) + buildLeaveGame()
                      + buildLeaveGame());
    write(t, QStringLiteral("repeated"), twice.bytes);
}

// ---- settings file -------------------------------------------------------------------------

void regfileSeeds()
{
    const QString t = QStringLiteral("regfile");
    const QByteArray typical =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Arbelon Client\\Setup]\n"
        "\"ServerIP\"=\"relay.example\"\n"
        "\"UserNameEdit\"=\"player\"\n"
        "\"TransferRateSpin\"=dword:00000bb8\n"
        "\"LastEnteredName\"=\"Friday duel\"\n"
        "\"ModTypeSystem\"=\"baseq2\"\n"
        "\"GameTypeSystem\"=dword:00000000\n"
        "\"Quake2DirectoryEdit\"=\"/games/quake2/\"\n"
        "\"Quake3DirectoryEdit\"=\"c:\\\\games\\\\q3\\\\\"\n\n"
        "[HKEY_CURRENT_USER\\Arbelon\\Common]\n"
        "\"GamesListBoxClient\"=\"120,80,70,90,40\"\n";
    write(t, QStringLiteral("typical"), typical);

    QByteArray utf16("\xff\xfe", 2);
    const QString text = QString::fromUtf8(typical);
    for (const QChar c : text) {
        utf16.append(char(c.unicode() & 0xff));
        utf16.append(char(c.unicode() >> 8));
    }
    write(t, QStringLiteral("utf16"), utf16);

    write(t, QStringLiteral("types"),
          "REGEDIT4\r\n\r\n"
          "[HKEY_CURRENT_USER\\Arbelon Client\\Setup\\]\r\n"
          "@=\"default\"\r\n"
          "\"TransferRateSpin\"=\"2500\"\r\n"
          "\"GameTypeSystem\"=hex(b):01,00,00,00,00,00,00,00\r\n"
          "\"ServerIP\"=hex(2):31,00,32,00,00,00\r\n"
          "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\r\n"
          "  17,18,19\r\n"
          "\"Gone\"=-\r\n"
          "[-HKEY_CURRENT_USER\\Old]\r\n"
          "\"x\"=\"y\"\r\n"
          "; a comment\r\n"
          "\"Quote \\\"in\\\" name\"=\"back\\\\slash\"\r\n");
    write(t, QStringLiteral("bad-dword"),
          "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Arbelon Client\\Setup]\n"
          "\"TransferRateSpin\"=dword:fffffffff\n\"UserNameEdit\"=dword:1\n");
    write(t, QStringLiteral("unterminated"),
          "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Arbelon Client\\Setup\n"
          "\"ServerIP\"=\"open\n\"x\"=hex:01,\\\n");
}

// ---- settings file at its largest: [prologue] 0x01 [unit repeated, "#" numbered] -----------

void regfileSpeedSeeds()
{
    const QString t = QStringLiteral("regfile_speed");
    const QByteArray header = "Windows Registry Editor Version 5.00\n\n";
    const QByteArray setup = header + "[HKEY_CURRENT_USER\\Arbelon Client\\Setup]\n";
    write(t, QStringLiteral("keys"), header + "\x01[HKEY_CURRENT_USER\\k#]\n");
    write(t, QStringLiteral("values"), setup + "\x01\"v#\"=\"x\"\n");
    write(t, QStringLiteral("same-value"), setup + "\x01\"v\"=\"#\"\n");
    write(t, QStringLiteral("set-and-remove"), setup + "\x01\"v#\"=dword:1\n\"v#\"=-\n");
    write(t, QStringLiteral("continued-hex"), setup + "\"blob\"=hex:\x01" + "00,01,02,\\\n");
    write(t, QStringLiteral("deleted-keys"), header + "\x01[-HKEY_CURRENT_USER\\k#]\n\"a\"=\"b\"\n");
    write(t, QStringLiteral("long-text"), setup + "\"v\"=\"\x01\\\"#");
}

// ---- console log: [game type] then [operation][length][bytes] steps ---------------------------

void consoleSeeds()
{
    const QString t = QStringLiteral("consolelog");
    auto step = [](QByteArray &out, int op, const QByteArray &data) {
        out.append(char(op));
        out.append(char(data.size() & 0xff));
        out.append(char((data.size() >> 8) & 0xff));
        out.append(data);
    };
    QByteArray q2(1, '\0');
    step(q2, 0, "Console initialized.\nrecording to demos/duel1.dm2.\r\n");
    step(q2, 1, {});
    step(q2, 0, "recording to ./demos/duel2.dm2.\nrecording to ../../../etc/passwd.dm2.\n"
                "recording to /abs/x.dm2\nrecording to demos/x.dm3\nrecording to ab\n");
    step(q2, 0, "recording to demos/partial");
    step(q2, 1, {});
    step(q2, 0, ".dm2\n");
    step(q2, 1, {});
    write(t, QStringLiteral("q2"), q2);

    QByteArray q3(1, '\1');
    step(q3, 0, "recording to demos/match.dm_68.\r\nrecording to demos/old.dm3.\r\n");
    step(q3, 1, {});
    step(q3, 2, "recording to demos/after-restart.dm_71.\n");
    step(q3, 1, {});
    write(t, QStringLiteral("q3"), q3);

    QByteArray longLine(1, '\0');
    step(longLine, 0, "recording to demos/" + QByteArray(5000, 'a') + ".dm2\nrecording to demos/ok.dm2\n");
    step(longLine, 1, {});
    write(t, QStringLiteral("long-line"), longLine);

    QByteArray controls(1, '\0');
    step(controls, 0, QByteArray("recording to demos/a\x01b.dm2\nrecording to demos/\xff\xfe.dm2\nrecording\r to demos/cr.dm2\n"));
    step(controls, 1, {});
    write(t, QStringLiteral("controls"), controls);
}

// ---- Quake 3 demo codec: [first rebuild][rebuild period] then the demo file ------------------

// The framed messages of a Quake 3 demo: 8 bytes of sequence and length, then the message.
QList<QByteArray> q3Frames(const QByteArray &demo)
{
    QList<QByteArray> frames;
    qsizetype at = 0;
    while (at + 8 <= demo.size()) {
        const qint32 length = qFromLittleEndian<qint32>(demo.constData() + at + 4);
        if (length < 0 || at + 8 + length > demo.size())
            break;
        frames.append(demo.mid(at, 8 + length));
        at += 8 + length;
    }
    return frames;
}

void q3DemoSeeds()
{
    const QString t = QStringLiteral("q3demo");
    QFile f(g_root + QStringLiteral("/../data/oa_bots.dm_71"));
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(f.fileName()));
        std::exit(1);
    }
    const QByteArray demo = f.readAll();
    const QByteArray end(8, '\xff');
    const QList<QByteArray> frames = q3Frames(demo);
    auto settings = [](int first, int every) { return QByteArray(1, char(first)) + char(every); };
    auto join = [&](qsizetype from, qsizetype count) {
        QByteArray out;
        for (const QByteArray &m : frames.mid(from, count))
            out += m;
        return out;
    };
    // The whole demo, rebuilt once early, once late and again and again.
    write(t, QStringLiteral("whole-once"), settings(3, 0) + demo);
    write(t, QStringLiteral("whole-late"), settings(250, 0) + demo);
    write(t, QStringLiteral("whole-often"), settings(2, 7) + demo);
    write(t, QStringLiteral("whole-plain"), settings(0, 0) + demo);
    // Its start: the game state and the first snapshots.
    write(t, QStringLiteral("start"), settings(2, 1) + join(0, 12) + end);
    // Two levels: the start again after some messages, as a new game state.
    write(t, QStringLiteral("two-levels"), settings(3, 5) + join(0, 20) + join(0, 20) + end);
    // A middle piece after the game state: its first snapshots are delta-coded from ones it lacks.
    write(t, QStringLiteral("gap"), settings(2, 3) + join(0, 1) + join(frames.size() / 2, 20) + end);
    // A message cut short.
    write(t, QStringLiteral("cut"), settings(2, 0) + join(0, 5) + frames.value(5).left(frames.value(5).size() / 2));
}

// ---- Quake 2 demo codec: [first rebuild][rebuild period] then the demo file ------------------

// A small .dm2 game written with the codec's own field writers: entities that move, vanish and
// come back, frames delta-coded from one, two or three frames back, and the commands a server
// sends beside them.
QList<QByteArray> q2Game(int frames, int level)
{
    using namespace arbelon::demo::q2;
    QList<QByteArray> messages;
    auto message = [&](const Writer &w) {
        Writer f;
        f.longValue(qint32(w.size()));
        f.append(w.bytes());
        messages.append(f.bytes());
    };
    std::array<EntityState, kMaxEdicts> baselines{};
    Writer w;
    w.byte(SvcServerData);
    w.longValue(kProtocol);
    w.longValue(0x10000 + level);
    w.byte(1);
    w.string("baseq2");
    w.shortValue(0);
    w.string("The Edge");
    const QList<QByteArray> strings = {"The Edge", "", "", "", "", "yb -24 xv 0 hnum xv 50 pic 0 yb -50 xv 0 anum"};
    for (int i = 0; i < strings.size(); ++i) {
        if (!strings[i].isEmpty()) {
            w.byte(SvcConfigString);
            w.shortValue(qint16(i));
            w.string(strings[i]);
        }
    }
    w.byte(SvcConfigString);
    w.shortValue(33);
    w.string("maps/q2dm1.bsp");
    const int numbers[] = {1, 2, 3, 9, 40, 300, 777};
    for (const int n : numbers) {
        EntityState &b = baselines[std::size_t(n)];
        b.number = n;
        b.models[0] = quint8(n % 30 + 1);
        b.origin = {qint16(n * 8), qint16(-n * 8), 64};
        w.byte(SvcSpawnBaseline);
        writeEntityDelta(w, EntityState{}, b, true);
    }
    w.byte(SvcStuffText);
    w.string("precache\n");
    message(w);

    std::vector<EntityList> states(std::size_t(frames) + 1);
    std::vector<PlayerState> players(std::size_t(frames) + 1);
    for (int k = 1; k <= frames; ++k) {
        for (const int n : numbers) {
            if (n == 300 && k % 7 < 2)
                continue;
            EntityState e = baselines[std::size_t(n)];
            e.origin[0] = qint16(e.origin[0] + (n % 2 ? k * 12 : 0));
            e.angles[1] = quint8(k * 9);
            e.frame = (k * 5 + n) % 300;
            e.event = k % 6 == 0 ? 1 : 0;
            e.skin = n == 9 ? 100000 : 0;
            states[std::size_t(k)].push_back(e);
        }
        PlayerState &p = players[std::size_t(k)];
        p.pmType = k > frames - 3 ? kPmFreeze : 0;
        p.origin = {qint16(k * 20), 0, 200};
        p.viewAngles = {0, qint16(k * 300), 0};
        p.stats[1] = qint16(100 - k);
        const int delta = k == 1 ? 0 : k - 1 - (k % 5 == 0 ? 2 : 0);
        w.clear();
        if (k % 3 == 0) {
            w.byte(SvcSound);
            w.append(QByteArray("\x1f\x04\xc8\x40\x0a\x2a\x00\x08\x00\x10\x00\x18\x00", 13));
        }
        if (k % 4 == 1) {
            w.byte(SvcTempEntity);
            w.byte(3); // a rail trail
            w.append(QByteArray(12, '\x10'));
        }
        if (k == 6) {
            w.byte(SvcLayout);
            w.string("xv 0 yv 0 string \"scores\"");
        }
        w.byte(SvcFrame);
        w.longValue(k);
        w.longValue(delta ? delta : -1);
        w.byte(0);
        w.byte(1);
        w.byte(1);
        writePlayerState(w, delta ? players[std::size_t(delta)] : PlayerState{}, p);
        writePacketEntities(w, delta ? states[std::size_t(delta)] : EntityList{}, states[std::size_t(k)], baselines);
        message(w);
    }
    return messages;
}

void q2DemoSeeds()
{
    const QString t = QStringLiteral("q2demo");
    const QList<QByteArray> game = q2Game(40, 1);
    const QByteArray end(4, '\xff');
    auto settings = [](int first, int every) { return QByteArray(1, char(first)) + char(every); };
    auto join = [](const QList<QByteArray> &messages) {
        QByteArray out;
        for (const QByteArray &m : messages)
            out += m;
        return out;
    };
    const QByteArray demo = join(game) + end;
    write(t, QStringLiteral("whole-once"), settings(3, 0) + demo);
    write(t, QStringLiteral("whole-late"), settings(38, 0) + demo);
    write(t, QStringLiteral("whole-often"), settings(2, 3) + demo);
    write(t, QStringLiteral("whole-plain"), settings(0, 0) + demo);
    // Two levels: the server data again, then a new game.
    write(t, QStringLiteral("two-levels"), settings(4, 7) + join(game.mid(0, 15)) + join(q2Game(20, 2)) + end);
    // A middle piece after the game state: its first frames are delta-coded from ones it lacks.
    write(t, QStringLiteral("gap"), settings(2, 1) + game.first() + join(game.mid(20, 10)) + end);
    // A message cut short.
    write(t, QStringLiteral("cut"), settings(2, 0) + join(game.mid(0, 6)) + game.value(6).left(game.value(6).size() / 2));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <source>/tests/fuzz\n", argv[0]);
        return 2;
    }
    g_root = QString::fromLocal8Bit(argv[1]);
    clientSeeds();
    relaySeeds();
    regfileSeeds();
    regfileSpeedSeeds();
    consoleSeeds();
    q3DemoSeeds();
    q2DemoSeeds();
    return 0;
}
