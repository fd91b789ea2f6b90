// Watch links from a web page: the one shape is read, everything else refused.

#include "watchlink.h"

#include <QTest>

using namespace arbelon;

class TestWatchLink : public QObject {
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
};

void TestWatchLink::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<qlonglong>("id");
    QTest::newRow("name") << "arbelon://relay.example.org/watch/7" << true << "relay.example.org" << 0 << 7LL;
    QTest::newRow("port") << "arbelon://203.0.113.7:40000/watch/12" << true << "203.0.113.7" << 40000 << 12LL;
    QTest::newRow("ipv6") << "arbelon://[2001:db8::1]:38962/watch/1" << true << "2001:db8::1" << 38962 << 1LL;
    QTest::newRow("slash") << "arbelon://h/watch/4294967295/" << true << "h" << 0 << 4294967295LL;
    QTest::newRow("id 0") << "arbelon://h/watch/0" << false << "" << 0 << 0LL;
    QTest::newRow("id 2^32") << "arbelon://h/watch/4294967296" << false << "" << 0 << 0LL;
    QTest::newRow("id sign") << "arbelon://h/watch/-1" << false << "" << 0 << 0LL;
    QTest::newRow("id letters") << "arbelon://h/watch/1a" << false << "" << 0 << 0LL;
    QTest::newRow("port 0") << "arbelon://h:0/watch/1" << false << "" << 0 << 0LL;
    QTest::newRow("port 65536") << "arbelon://h:65536/watch/1" << false << "" << 0 << 0LL;
    QTest::newRow("port long") << "arbelon://h:000080/watch/1" << false << "" << 0 << 0LL;
    QTest::newRow("user") << "arbelon://me@h/watch/1" << false << "" << 0 << 0LL;
    QTest::newRow("query") << "arbelon://h/watch/1?x=1" << false << "" << 0 << 0LL;
    QTest::newRow("fragment") << "arbelon://h/watch/1#x" << false << "" << 0 << 0LL;
    QTest::newRow("other path") << "arbelon://h/film/1" << false << "" << 0 << 0LL;
    QTest::newRow("other scheme") << "http://h/watch/1" << false << "" << 0 << 0LL;
    QTest::newRow("no host") << "arbelon:///watch/1" << false << "" << 0 << 0LL;
    QTest::newRow("bad ipv6") << "arbelon://[zz::1]/watch/1" << false << "" << 0 << 0LL;
    QTest::newRow("bare ipv6") << "arbelon://2001:db8::1/watch/1" << false << "" << 0 << 0LL;
    QTest::newRow("space") << "arbelon://h /watch/1" << false << "" << 0 << 0LL;
    QTest::newRow("line feed") << "arbelon://h/watch/1\n" << false << "" << 0 << 0LL;
    QTest::newRow("id leading zero") << "arbelon://h/watch/01" << false << "" << 0 << 0LL;
    QTest::newRow("port leading zero") << "arbelon://h:080/watch/1" << false << "" << 0 << 0LL;
    QTest::newRow("host one number") << "arbelon://2130706433/watch/1" << false << "" << 0 << 0LL;
    QTest::newRow("host hex") << "arbelon://0x7f000001/watch/1" << false << "" << 0 << 0LL;
    QTest::newRow("host octal part") << "arbelon://0177.0.0.1/watch/1" << false << "" << 0 << 0LL;
    QTest::newRow("host three parts") << "arbelon://127.0.1/watch/1" << false << "" << 0 << 0LL;
    QTest::newRow("host part 256") << "arbelon://127.0.0.256/watch/1" << false << "" << 0 << 0LL;
    QTest::newRow("host digits in a name") << "arbelon://relay1.0x.org/watch/1" << true << "relay1.0x.org" << 0 << 1LL;
    QTest::newRow("ipv6 long form") << "arbelon://[2001:0db8:0:0::1]/watch/1" << false << "" << 0 << 0LL;
    QTest::newRow("option") << "--server=x" << false << "" << 0 << 0LL;
    QTest::newRow("long") << (QStringLiteral("arbelon://") + QString(300, u'a') + QStringLiteral("/watch/1")) << false << "" << 0 << 0LL;
}

void TestWatchLink::parse()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(qlonglong, id);
    WatchLink link;
    QString error;
    QCOMPARE(parseWatchLink(text, &link, &error), ok);
    QCOMPARE(error.isEmpty(), ok);
    QCOMPARE(link.host, host);
    QCOMPARE(int(link.port), port);
    QCOMPARE(qlonglong(link.gameId), id);
}

QTEST_GUILESS_MAIN(TestWatchLink)
#include "tst_watchlink.moc"
