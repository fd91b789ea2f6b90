// Record layouts checked against byte images written out by hand from the protocol tables,
// so a wrong offset or width in the library cannot hide behind its own constants.

#include "records.h"

#include <QTest>

#include <climits>

using namespace arbelon;

namespace {

// An expected record, zero-filled, with little-endian words and texts put at literal offsets.
struct Image {
    QByteArray b;
    explicit Image(int size) : b(size, '\0') {}
    Image &u32(int off, quint32 v)
    {
        for (int i = 0; i < 4; ++i)
            b[off + i] = char((v >> (8 * i)) & 0xffu);
        return *this;
    }
    Image &u8(int off, quint8 v)
    {
        b[off] = char(v);
        return *this;
    }
    Image &text(int off, QByteArrayView s)
    {
        for (qsizetype i = 0; i < s.size(); ++i)
            b[off + int(i)] = s[i];
        return *this;
    }
    Image &fill(int off, int n, char c)
    {
        for (int i = 0; i < n; ++i)
            b[off + i] = c;
        return *this;
    }
    operator QByteArray() const { return b; }
};

QByteArray pattern(int n)
{
    QByteArray d(n, '\0');
    for (int i = 0; i < n; ++i)
        d[i] = char((i * 7 + 3) & 0xff);
    return d;
}

} // namespace

class TestRecords : public QObject {
    Q_OBJECT
private slots:
    void builtLayout_data();
    void builtLayout();
    void userNameOfFifteenLeavesTwoNuls();
    void textWriteStaysInField_data();
    void textWriteStaysInField();
    void textRead_data();
    void textRead();
    void unsignedFields_data();
    void unsignedFields();
    void signedFields();
    void demoPacketReader();
    void packetName_data();
    void packetName();
    void fixedSize_data();
    void fixedSize();
    void demoPacketSizeBound_data();
    void demoPacketSizeBound();
    void textDecoding_data();
    void textDecoding();
    void textEncoding_data();
    void textEncoding();
};

void TestRecords::builtLayout_data()
{
    QTest::addColumn<QByteArray>("built");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("GAMEINFO q3")
        << buildGameInfo(1, "baseq3", "Alice", "secret", "Friday Duel")
        << QByteArray(Image(100).u32(0, 0).u32(4, 100).u32(12, 1).text(16, "baseq3").text(33, "Alice").text(50, "secret").text(67, "Friday Duel"));
    QTest::newRow("GAMEINFO widest texts")
        << buildGameInfo(0, "abcdefghijklmnop", "ABCDEFGHIJKLMNO", "pppppppppppppp",
                         "0123456789012345678901234567890")
        << QByteArray(Image(100).u32(4, 100).text(16, "abcdefghijklmnop").text(33, "ABCDEFGHIJKLMNO").text(50, "pppppppppppppp").text(67, "0123456789012345678901234567890"));
    QTest::newRow("GAMEINFO overlong texts cut")
        << buildGameInfo(0, QByteArray(40, 'm'), QByteArray(40, 'u'), QByteArray(40, 'p'),
                         QByteArray(80, 'g'))
        << QByteArray(Image(100).u32(4, 100).fill(16, 16, 'm').fill(33, 16, 'u').fill(50, 16, 'p').fill(67, 32, 'g'));
    QTest::newRow("GAMEINFODETAILED")
        << buildGameInfoDetailed(4294967295u, "Big Game", 1, 7, "baseq3")
        << QByteArray(Image(80).u32(0, 3).u32(4, 80).u32(12, 0xffffffffu).text(16, "Big Game").u32(52, 1).u32(56, 7).text(60, "baseq3"));
    QTest::newRow("ACKNAK accepted") << buildAckNak(0) << QByteArray(Image(16).u32(0, 4).u32(4, 16));
    QTest::newRow("ACKNAK refused")
        << buildAckNak(1) << QByteArray(Image(16).u32(0, 4).u32(4, 16).u8(12, 1));
    QTest::newRow("WAITFORGAME")
        << buildWaitForGame(-2) << QByteArray(Image(16).u32(0, 5).u32(4, 16).u32(12, 0xfffffffeu));
    QTest::newRow("SENDTEXT")
        << buildSendText({}, "hello there")
        << QByteArray(Image(288).u32(0, 6).u32(4, 288).text(29, "hello there"));
    QTest::newRow("SENDTEXT with sender")
        << buildSendText("Bob", "hi")
        << QByteArray(Image(288).u32(0, 6).u32(4, 288).text(12, "Bob").text(29, "hi"));
    QTest::newRow("SENDTEXT cut at 255")
        << buildSendText({}, QByteArray(300, 'x'))
        << QByteArray(Image(288).u32(0, 6).u32(4, 288).fill(29, 255, 'x'));
    QTest::newRow("LEAVEGAME") << buildLeaveGame() << QByteArray(Image(12).u32(0, 7).u32(4, 12));
    QTest::newRow("USERINFO")
        << buildUserInfo("Carol") << QByteArray(Image(32).u32(0, 8).u32(4, 32).text(12, "Carol"));
    QTest::newRow("USERENTERED")
        << buildUserEntered("Dave") << QByteArray(Image(32).u32(0, 12).u32(4, 32).text(12, "Dave"));
    QTest::newRow("USERLEFT")
        << buildUserLeft("Eve") << QByteArray(Image(32).u32(0, 13).u32(4, 32).text(12, "Eve"));
    QTest::newRow("DEMOPACKET 1000 bytes")
        << buildDemoPacket(0xdeadbeefu, 42, pattern(1000))
        << QByteArray(Image(1016).u32(0, 9).u32(4, 1016).u32(8, 0xdeadbeefu).u32(12, 42).text(16, pattern(1000)));
    QTest::newRow("DEMOPACKET empty")
        << buildDemoPacket(0, -1, {}) << QByteArray(Image(16).u32(0, 9).u32(4, 16).u32(12, 0xffffffffu));
    QTest::newRow("GAMEREMOVED")
        << buildGameRemoved(0x80000001u)
        << QByteArray(Image(16).u32(0, 10).u32(4, 16).u32(12, 0x80000001u));
    QTest::newRow("DEMORESTART")
        << buildDemoRestart(123456) << QByteArray(Image(16).u32(0, 11).u32(4, 16).u32(12, 123456));
}

void TestRecords::builtLayout()
{
    QFETCH(QByteArray, built);
    QFETCH(QByteArray, expected);
    QCOMPARE(built.size(), expected.size());
    QCOMPARE(built.toHex(' '), expected.toHex(' '));
}

void TestRecords::userNameOfFifteenLeavesTwoNuls()
{
    const QByteArray r = buildUserInfo("ABCDEFGHIJKLMNO");
    QCOMPARE(r.mid(12, 15), QByteArray("ABCDEFGHIJKLMNO"));
    QCOMPARE(r.at(27), '\0');
    QCOMPARE(r.at(28), '\0');
    QCOMPARE(UserRecordReader{r}.userName(), QByteArray("ABCDEFGHIJKLMNO"));
}

void TestRecords::textWriteStaysInField_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("kept");
    QTest::newRow("empty") << 0 << 0;
    QTest::newRow("one") << 1 << 1;
    QTest::newRow("width-2") << 15 << 15;
    QTest::newRow("width-1") << 16 << 16;
    QTest::newRow("width") << 17 << 16;
    QTest::newRow("far longer") << 500 << 16;
}

void TestRecords::textWriteStaysInField()
{
    QFETCH(int, length);
    QFETCH(int, kept);
    // A field of 17 at offset 5 in a block whose other bytes must stay untouched.
    QByteArray block(40, '\x7f');
    QByteArray text(length, 'k');
    writeText(block, 5, 17, text);
    QCOMPARE(block.left(5), QByteArray(5, '\x7f'));
    QCOMPARE(block.mid(5, kept), QByteArray(kept, 'k'));
    QCOMPARE(block.mid(5 + kept, 17 - kept), QByteArray(17 - kept, '\0'));
    QCOMPARE(block.mid(22), QByteArray(18, '\x7f'));
}

void TestRecords::textRead_data()
{
    QTest::addColumn<QByteArray>("field"); // the 17 bytes at offset 12 of a user record
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("no NUL reads all 17") << QByteArray(17, 'q') << QByteArray(17, 'q');
    QTest::newRow("first byte NUL") << QByteArray("\0abcdefghijklmnop", 17) << QByteArray();
    QTest::newRow("NUL inside") << QByteArray("abc\0defghijklmnop", 17) << QByteArray("abc");
    QTest::newRow("NUL last") << QByteArray("abcdefghijklmnop\0", 17) << QByteArray("abcdefghijklmnop");
    QTest::newRow("ANSI bytes") << QByteArray("\xe9t\xe9\0zzzzzzzzzzzzz", 17) << QByteArray("\xe9t\xe9");
    QTest::newRow("UTF-8 bytes") << QByteArray("\xd0\x96\xd1\x83\xd0\xba\0zzzzzzzzzz", 17)
                                 << QByteArray("\xd0\x96\xd1\x83\xd0\xba");
}

void TestRecords::textRead()
{
    QFETCH(QByteArray, field);
    QFETCH(QByteArray, expected);
    // Padding after the field is not zero, so a reader that runs past the width shows it.
    const QByteArray r = Image(32).u32(0, 12).u32(4, 32).text(12, field).fill(29, 3, 'Z');
    QCOMPARE(UserRecordReader{r}.userName(), expected);
}

void TestRecords::unsignedFields_data()
{
    QTest::addColumn<quint32>("value");
    QTest::newRow("zero") << 0u;
    QTest::newRow("one") << 1u;
    QTest::newRow("2^31-1") << 2147483647u;
    QTest::newRow("2^31") << 2147483648u;
    QTest::newRow("max") << 4294967295u;
}

void TestRecords::unsignedFields()
{
    QFETCH(quint32, value);
    const QByteArray gd = Image(80).u32(0, 3).u32(4, 80).u32(12, value).u32(56, value);
    QCOMPARE(GameInfoDetailedReader{gd}.gameId(), value);
    QCOMPARE(GameInfoDetailedReader{gd}.users(), value);
    const QByteArray gr = Image(16).u32(0, 10).u32(4, 16).u32(12, value);
    QCOMPARE(GameRemovedReader{gr}.gameId(), value);
    const QByteArray dp = Image(16).u32(0, 9).u32(4, value).u32(8, value);
    QCOMPARE(DemoPacketReader{dp}.packetSize(), value);
    QCOMPARE(DemoPacketReader{dp}.packetCrc(), value);
    QCOMPARE(packetSize(dp), value);
}

void TestRecords::signedFields()
{
    const QByteArray gd = Image(80).u32(0, 3).u32(52, 0xffffffffu).text(16, "Name").text(60, "ctf");
    QCOMPARE(GameInfoDetailedReader{gd}.gameType(), -1);
    QCOMPARE(GameInfoDetailedReader{gd}.gameName(), QByteArray("Name"));
    QCOMPARE(GameInfoDetailedReader{gd}.modName(), QByteArray("ctf"));
    QCOMPARE(WaitForGameReader{Image(16).u32(12, 0x80000000u).b}.gameId(), INT_MIN);
    QCOMPARE(DemoRestartReader{Image(16).u32(12, 0xfffffff6u).b}.sequence(), -10);
    QCOMPARE(AckNakReader{Image(16).u8(12, 0xff).u8(13, 1).b}.result(), quint8(255));
    QCOMPARE(packetType(Image(12).u32(0, 0xfffffffeu).b), -2);

    const QByteArray gi = Image(100).u32(12, 1).text(16, "baseq2").text(33, "u").text(50, "pw").text(67, "game");
    QCOMPARE(GameInfoReader{gi}.gameType(), 1);
    QCOMPARE(GameInfoReader{gi}.modName(), QByteArray("baseq2"));
    QCOMPARE(GameInfoReader{gi}.userName(), QByteArray("u"));
    QCOMPARE(GameInfoReader{gi}.password(), QByteArray("pw"));
    QCOMPARE(GameInfoReader{gi}.gameName(), QByteArray("game"));

    const QByteArray st = Image(288).u32(0, 6).text(12, "Bob").fill(29, 259, 't');
    QCOMPARE(SendTextReader{st}.userName(), QByteArray("Bob"));
    QCOMPARE(SendTextReader{st}.text(), QByteArray(259, 't'));
}

void TestRecords::demoPacketReader()
{
    const QByteArray payload = pattern(37);
    const QByteArray r = Image(16 + 37).u32(0, 9).u32(4, 53).u32(8, 0x01020304u).u32(12, 0xffffffffu).text(16, payload);
    const DemoPacketReader d{r};
    QCOMPARE(d.sequence(), -1);
    QCOMPARE(d.packetCrc(), 0x01020304u);
    QCOMPARE(d.data().toByteArray(), payload);
}

void TestRecords::packetName_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("label");
    const char *labels[] = {"GAMEINFO", "DATAPACKET", "WATCHINGTHIS", "GAMEINFODETAILED",
                            "ACKNAK", "WAITFORGAME", "SENDTEXT", "LEAVEGAME", "USERINFO",
                            "DEMOPACKET", "GAMEREMOVED", "DEMORESTART", "USERENTERED", "USERLEFT"};
    for (int t = 0; t < 14; ++t)
        QTest::addRow("type %d", t) << t << QString::fromLatin1(labels[t]);
    QTest::newRow("-1") << -1 << QStringLiteral("UNKNOWN");
    QTest::newRow("14") << 14 << QStringLiteral("UNKNOWN");
    QTest::newRow("99") << 99 << QStringLiteral("UNKNOWN");
    QTest::newRow("INT_MIN") << INT_MIN << QStringLiteral("UNKNOWN");
}

void TestRecords::packetName()
{
    QFETCH(int, type);
    QFETCH(QString, label);
    QCOMPARE(PacketName(type), label);
}

void TestRecords::fixedSize_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("size");
    QTest::newRow("GAMEINFO") << 0 << 100;
    QTest::newRow("DATAPACKET") << 1 << 0;
    QTest::newRow("WATCHINGTHIS") << 2 << 0;
    QTest::newRow("GAMEINFODETAILED") << 3 << 80;
    QTest::newRow("ACKNAK") << 4 << 16;
    QTest::newRow("WAITFORGAME") << 5 << 16;
    QTest::newRow("SENDTEXT") << 6 << 288;
    QTest::newRow("LEAVEGAME") << 7 << 12;
    QTest::newRow("USERINFO") << 8 << 32;
    QTest::newRow("DEMOPACKET") << 9 << 0;
    QTest::newRow("GAMEREMOVED") << 10 << 16;
    QTest::newRow("DEMORESTART") << 11 << 16;
    QTest::newRow("USERENTERED") << 12 << 32;
    QTest::newRow("USERLEFT") << 13 << 32;
    QTest::newRow("unknown") << 14 << 0;
    QTest::newRow("negative") << -1 << 0;
}

void TestRecords::fixedSize()
{
    QFETCH(int, type);
    QFETCH(int, size);
    QCOMPARE(rec::fixedSize(type), size);
}

void TestRecords::demoPacketSizeBound_data()
{
    QTest::addColumn<quint32>("size");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("0") << 0u << false;
    QTest::newRow("15") << 15u << false;
    QTest::newRow("16") << 16u << true;
    QTest::newRow("1016") << 1016u << true;
    QTest::newRow("4 MiB") << 4194304u << true;
    QTest::newRow("4 MiB + 1") << 4194305u << false;
    QTest::newRow("max") << 4294967295u << false;
}

void TestRecords::demoPacketSizeBound()
{
    QFETCH(quint32, size);
    QFETCH(bool, accepted);
    bool threw = false;
    try {
        checkDemoPacketSize(size);
    } catch (const EProtocolError &) {
        threw = true;
    }
    QCOMPARE(threw, !accepted);
}

void TestRecords::textDecoding_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("ASCII") << QByteArray("vic") << QStringLiteral("vic");
    QTest::newRow("1252 e acute") << QByteArray("Ren\xe9") << QStringLiteral("Ren\u00e9");
    QTest::newRow("UTF-8 e acute") << QByteArray("Ren\xc3\xa9") << QStringLiteral("Ren\u00e9");
    QTest::newRow("1252 euro") << QByteArray("\x80") << QStringLiteral("\u20ac");
    QTest::newRow("1252 quotes and dash") << QByteArray("\x93x\x94\x96") << QStringLiteral("\u201cx\u201d\u2013");
    QTest::newRow("1252 last of the table") << QByteArray("\x9f") << QStringLiteral("\u0178");
    QTest::newRow("1252 undefined byte") << QByteArray("\x81") << QStringLiteral("\u0081");
    QTest::newRow("1252 upper half") << QByteArray("\xa0\xff") << QStringLiteral("\u00a0\u00ff");
    QTest::newRow("UTF-8 Cyrillic") << QByteArray("\xd0\x96\xd1\x83\xd0\xba") << QStringLiteral("\u0416\u0443\u043a");
    QTest::newRow("UTF-8 outside the BMP") << QByteArray("\xf0\x9f\x98\x80") << QStringLiteral("\U0001F600");
    QTest::newRow("overlong is not UTF-8") << QByteArray("\xc0\xaf") << QStringLiteral("\u00c0\u00af");
    QTest::newRow("surrogate is not UTF-8") << QByteArray("\xed\xa0\x80") << QStringLiteral("\u00ed\u00a0\u20ac");
    QTest::newRow("cut sequence is not UTF-8") << QByteArray("ab\xd0") << QStringLiteral("ab\u00d0");
    QTest::newRow("past U+10FFFF is not UTF-8") << QByteArray("\xf4\x90\x80\x80")
                                                << QStringLiteral("\u00f4\u0090\u20ac\u20ac");
}

void TestRecords::textDecoding()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(decodeText(bytes), text);
}

void TestRecords::textEncoding_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ASCII") << QStringLiteral("vic") << 16 << QByteArray("vic");
    QTest::newRow("Latin-1 in 1252") << QStringLiteral("Ren\u00e9") << 16 << QByteArray("Ren\xe9");
    QTest::newRow("euro in 1252") << QStringLiteral("5\u20ac") << 16 << QByteArray("5\x80");
    QTest::newRow("Z caron in 1252") << QStringLiteral("\u017d") << 16 << QByteArray("\x8e");
    QTest::newRow("undefined byte back") << QStringLiteral("\u0081") << 16 << QByteArray("\x81");
    QTest::newRow("C1 control not in 1252") << QStringLiteral("\u0080") << 16 << QByteArray("\xc2\x80");
    QTest::newRow("Cyrillic in UTF-8") << QStringLiteral("\u0416\u0443\u043a") << 16
                                       << QByteArray("\xd0\x96\xd1\x83\xd0\xba");
    QTest::newRow("mixed goes UTF-8") << QStringLiteral("\u00e9\u0416") << 16 << QByteArray("\xc3\xa9\xd0\x96");
    QTest::newRow("1252 cut at the limit") << QStringLiteral("abcdefghijklmnopq") << 16
                                           << QByteArray("abcdefghijklmnop");
    QTest::newRow("UTF-8 never split") << QStringLiteral("\u0416\u0416\u0416") << 5 << QByteArray("\xd0\x96\xd0\x96");
    QTest::newRow("what fits is 1252") << QStringLiteral("\u00e9\u00e9\u00e9\u0416") << 3
                                       << QByteArray("\xe9\xe9\xe9");
    QTest::newRow("accent kept with its letter") << QStringLiteral("ae\u0301") << 3 << QByteArray("a");
    QTest::newRow("surrogate pair kept whole") << QStringLiteral("a\U0001F600") << 4 << QByteArray("a");
    QTest::newRow("surrogate pair fits") << QStringLiteral("a\U0001F600") << 5 << QByteArray("a\xf0\x9f\x98\x80");
    QTest::newRow("empty") << QString() << 16 << QByteArray();
}

void TestRecords::textEncoding()
{
    QFETCH(QString, text);
    QFETCH(int, limit);
    QFETCH(QByteArray, bytes);
    const QByteArray encoded = encodeText(text, limit);
    QCOMPARE(encoded, bytes);
    // What was sent reads back as the start of the text.
    const QString back = decodeText(encoded);
    QCOMPARE(back, text.left(back.size()));
    // Bytes already encoded are cut within the limit and between characters: a cut sequence
    // would read back as other characters.
    const QByteArray whole = encodeText(text, 1000);
    const QByteArrayView cut = fitText(whole, limit);
    QVERIFY(cut.size() <= limit);
    const QString cutBack = decodeText(cut);
    QCOMPARE(cutBack, text.left(cutBack.size()));
}

QTEST_APPLESS_MAIN(TestRecords)
#include "tst_records.moc"
