// The relay's web page over HTTP against an in-process relay: every route, the JSON, the
// escaping of what clients chose, what is on in a game as its demo tells it, the archive (bytes equal to what a Viewer writes,
// retention, a failing disk), the metrics text, and the limits that hold off hostile
// HTTP clients.

#include "common/q3demos.h"
#include "common/testaddress.h"
#include "common/testfiles.h"
#include "relayarchive.h"
#include "relayfacts.h"
#include "relay/relayfixture.h"
#include "relaywebfeed.h"
#include "relaywebserver.h"
#include "relaywebthread.h"
#include "webclient.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace arbelon;
using namespace arbelon::test;

namespace {
// A browser on a thread of its own: blocking sockets, no Qt object of the test's thread.
QByteArray blockingGet(const QHostAddress &address, quint16 port, const char *path)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(address.toIPv4Address());
    QByteArray answer;
    const QByteArray request = QByteArray("GET ") + path + " HTTP/1.1\r\nHost: test\r\nConnection: close\r\n\r\n";
    if (::connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) == 0
        && ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size()) {
        char chunk[16384];
        for (ssize_t n = 0; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;)
            answer.append(chunk, n);
    }
    ::close(fd);
    return answer;
}

// Each a client's choice meant to break out of the page.
const QByteArray kHostileGame = "<script>x</script>\"onmouseover=";
const QByteArray kHostileFilmer = "<b>\"onmouseover=";
const QByteArray kHostileViewer = "<script>\"onclick";
const QByteArray kHostileChat = "<script>window.pwned=1</script><img src=x \"onmouseover=alert(1)>";
} // namespace

class TestRelayWeb : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void routes_data();
    void routes();
    void jsonShape();
    void clientTextIsEscaped();
    void pagesShowWhatIsOn_data();
    void pagesShowWhatIsOn();
    void archiveSearchesWhatWasOn_data();
    void archiveSearchesWhatWasOn();
    void nothingChangesTheRelay_data();
    void nothingChangesTheRelay();
    void archiveHoldsWhatViewersWrite();
    void retentionDeletesOldestFirst();
    void failedWriteStopsArchivingOnly();
    void archiveKeepsGoing_data();
    void archiveKeepsGoing();
    void downloadsStayInsideTheArchive_data();
    void downloadsStayInsideTheArchive();
    void archiveIndexFollowsTheFolder_data();
    void archiveIndexFollowsTheFolder();
    void metricsParseAndCount();
    void pagesFromTheirOwnThread();
    void hostileHttpClients_data();
    void hostileHttpClients();
    void requestsSentAheadAreBounded();

private:
    void startWeb(RelayArchive::Options archive = {}, HttpGuard::Limits limits = {}, RelayConfig config = {});
    // A game with a Filmer, a Viewer in its lobby and one chat line; returns its id.
    quint32 hostileGame(RelayTestClient **filmer = nullptr, RelayTestClient **viewer = nullptr);

    RelayFixture m_f;
    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<RelayArchive> m_archive;
    std::unique_ptr<RelayFacts> m_facts;
    std::unique_ptr<RelayWebFeed> m_feed;
    std::unique_ptr<RelayWebServer> m_web;
    std::unique_ptr<WebClient> m_http;
};

void TestRelayWeb::init()
{
    m_f.setUp();
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
}

void TestRelayWeb::cleanup()
{
    m_http.reset();
    m_web.reset();
    m_feed.reset();
    if (m_facts)
        m_f.server().removeObserver(m_facts.get());
    m_facts.reset();
    if (m_archive)
        m_f.server().removeObserver(m_archive.get());
    m_archive.reset();
    m_f.tearDown();
}

void TestRelayWeb::startWeb(RelayArchive::Options archive, HttpGuard::Limits limits, RelayConfig config)
{
    m_f.startServer(config);
    if (!archive.dir.isEmpty()) {
        m_archive = std::make_unique<RelayArchive>(archive);
        QString error;
        QVERIFY2(m_archive->start(&error), qPrintable(error));
        m_f.server().addObserver(m_archive.get());
        // What the folder held before is listed once its check is over.
        QTRY_VERIFY_WITH_TIMEOUT(!m_archive->isScanning(), 20000);
    }
    // Every change shown at once: the cases read the page right after making it.
    m_feed = std::make_unique<RelayWebFeed>(m_f.server(), 0);
    m_facts = std::make_unique<RelayFacts>();
    m_f.server().addObserver(m_facts.get());
    m_feed->setFacts(m_facts.get());
    m_web = std::make_unique<RelayWebServer>(*m_feed, m_archive.get(), limits);
    const QHostAddress address(loopbackAddress(1));
    QString error;
    QVERIFY2(m_web->listenOn(address, 0, &error), qPrintable(error));
    m_http = std::make_unique<WebClient>(address, m_web->port());
}

quint32 TestRelayWeb::hostileGame(RelayTestClient **filmer, RelayTestClient **viewer)
{
    RelayTestClient *f = m_f.filmer(kHostileGame, kHostileFilmer);
    RelayTestClient *v = f ? m_f.viewer(kHostileViewer, 1) : nullptr;
    if (!v || v->request(buildSendText({}, kHostileChat)) != 0)
        return 0;
    if (filmer)
        *filmer = f;
    if (viewer)
        *viewer = v;
    return 1;
}

void TestRelayWeb::routes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("contains");
    const QByteArray html = "text/html", json = "application/json";
    QTest::newRow("games") << "/" << 200 << html << QByteArray("<tr data-id=\"1\">");
    QTest::newRow("games json") << "/api/games" << 200 << json << QByteArray("\"id\":1");
    QTest::newRow("game") << "/game/1" << 200 << html << QByteArray("id=\"chat\"");
    QTest::newRow("game json") << "/api/games/1" << 200 << json << QByteArray("\"chat\":[");
    QTest::newRow("archive") << "/archive" << 200 << html << QByteArray("id=\"archive\"");
    QTest::newRow("archive json") << "/api/archive" << 200 << json << QByteArray("[");
    QTest::newRow("metrics") << "/metrics" << 200 << QByteArray("text/plain; version=0.0.4")
                             << QByteArray("arbelon_games 1\n");
    QTest::newRow("health") << "/healthz" << 200 << QByteArray("text/plain") << QByteArray("ok");
    QTest::newRow("script") << "/app.js" << 200 << QByteArray("text/javascript") << QByteArray("/api/games");
    QTest::newRow("style") << "/style.css" << 200 << QByteArray("text/css") << QByteArray("table");
    QTest::newRow("no such game") << "/game/2" << 404 << html << QByteArray("No such game");
    QTest::newRow("no such game json") << "/api/games/2" << 404 << json << QByteArray("error");
    QTest::newRow("leading zero") << "/game/01" << 404 << html << QByteArray();
    QTest::newRow("sign") << "/api/games/+1" << 404 << json << QByteArray();
    QTest::newRow("beyond 32 bits") << "/api/games/4294967297" << 404 << json << QByteArray();
    QTest::newRow("trailing slash") << "/game/1/" << 404 << html << QByteArray();
    QTest::newRow("letters") << "/game/1x" << 404 << html << QByteArray();
    QTest::newRow("unknown") << "/admin" << 404 << html << QByteArray();
}

void TestRelayWeb::routes()
{
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, contains);
    startWeb({m_tmp->path() + QStringLiteral("/archive")});
    QVERIFY(hostileGame());
    const HttpReply r = m_http->get(path);
    QCOMPARE(r.status, status);
    QVERIFY2(r.contentType.startsWith(type), r.contentType.constData());
    QVERIFY2(r.body.contains(contains), r.body.left(400).constData());
    // Every answer forbids scripts from elsewhere and sniffing.
    QVERIFY(r.headers.value("content-security-policy").contains("script-src 'self'"));
    QCOMPARE(r.headers.value("x-content-type-options"), QByteArray("nosniff"));
}

void TestRelayWeb::jsonShape()
{
    RelayConfig config;
    config.chatBurst = 1000; // the chat's flood limit is not under test here
    startWeb({}, {}, config);
    RelayTestClient *f = nullptr;
    QVERIFY(hostileGame(&f));
    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    const QByteArray data = randomBytes(30000, 3);
    QVERIFY(upload(f, data, 0, data.size()));
    QVERIFY(m_f.viewer("quiet", 1)); // counted, not named by chat

    const QJsonArray games = QJsonDocument::fromJson(m_http->get(QStringLiteral("/api/games")).body).array();
    QCOMPARE(games.size(), 1);
    const QJsonObject g = games.first().toObject();
    QCOMPARE(g.value(QStringLiteral("id")).toInteger(), 1);
    QCOMPARE(g.value(QStringLiteral("name")).toString(), QString::fromLatin1(kHostileGame));
    QCOMPARE(g.value(QStringLiteral("filmer")).toString(), QString::fromLatin1(kHostileFilmer));
    QCOMPARE(g.value(QStringLiteral("game")).toString(), QStringLiteral("Quake 2"));
    QCOMPARE(g.value(QStringLiteral("viewers")).toInteger(), 2);
    QCOMPARE(g.value(QStringLiteral("demoBytes")).toInteger(), m_f.server().game(1).demoBytes);
    QVERIFY(g.value(QStringLiteral("demoBytes")).toInteger() > 0);
    QVERIFY(g.value(QStringLiteral("seconds")).isDouble());
    QVERIFY(QDateTime::fromString(g.value(QStringLiteral("startedUtc")).toString(), Qt::ISODate).isValid());
    // The link names the viewer port the relay really has.
    QCOMPARE(g.value(QStringLiteral("watchUrl")).toString(),
             QStringLiteral("arbelon://127.0.0.1:%1/watch/1").arg(m_f.server().viewerPort()));

    const QJsonObject d = QJsonDocument::fromJson(m_http->get(QStringLiteral("/api/games/1")).body).object();
    QCOMPARE(d.value(QStringLiteral("users")).toArray(),
             QJsonArray({QString::fromLatin1(kHostileFilmer), QString::fromLatin1(kHostileViewer), QStringLiteral("quiet")}));
    const QJsonArray chat = d.value(QStringLiteral("chat")).toArray();
    QCOMPARE(chat.size(), 1);
    QCOMPARE(chat.first()[QStringLiteral("user")].toString(), QString::fromLatin1(kHostileViewer));
    QCOMPARE(chat.first()[QStringLiteral("text")].toString(), QString::fromLatin1(kHostileChat));
    QVERIFY(d.value(QStringLiteral("demos")).isArray());

    // The chat keeps the last lines only.
    RelayTestClient *talker = m_f.viewer("talker", 1);
    QVERIFY(talker);
    for (int i = 0; i < RelayWebFeed::kChatLines + 5; ++i)
        QCOMPARE(talker->request(buildSendText({}, QByteArray::number(i))), 0);
    const QJsonArray kept = QJsonDocument::fromJson(m_http->get(QStringLiteral("/api/games/1")).body)
                                .object()
                                .value(QStringLiteral("chat"))
                                .toArray();
    QCOMPARE(kept.size(), RelayWebFeed::kChatLines);
    QCOMPARE(kept.last()[QStringLiteral("text")].toString(), QString::number(RelayWebFeed::kChatLines + 4));
}

void TestRelayWeb::clientTextIsEscaped()
{
    startWeb();
    QVERIFY(hostileGame());
    for (const QString &path : {QStringLiteral("/"), QStringLiteral("/game/1")}) {
        const QByteArray body = m_http->get(path).body;
        // The only script is the page's own; no attribute can be opened by a client's quote.
        QCOMPARE(body.count("<script"), 1);
        QVERIFY(!body.contains("\"onmouseover"));
        QVERIFY(!body.contains("\"onclick"));
        QVERIFY(!body.contains("<b>"));
        QVERIFY(!body.contains("<img"));
        QVERIFY(body.contains("&lt;script&gt;x&lt;/script&gt;&quot;onmouseover="));
    }
    const QByteArray game = m_http->get(QStringLiteral("/game/1")).body;
    QVERIFY(game.contains("&lt;script&gt;&quot;onclick"));
    QVERIFY(game.contains("&lt;img src=x &quot;onmouseover=alert(1)&gt;"));
}

void TestRelayWeb::pagesShowWhatIsOn_data()
{
    QTest::addColumn<int>("delaySeconds");
    QTest::newRow("at once") << 0;
    QTest::newRow("behind the broadcast delay") << 3;
}

void TestRelayWeb::pagesShowWhatIsOn()
{
    QFETCH(int, delaySeconds);
    RelayConfig config;
    config.delaySeconds = delaySeconds;
    startWeb({}, {}, config);
    RelayTestClient *f = m_f.filmer("match", "filmer", gtQuake3);
    QVERIFY(f);
    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    // A player named to break out of the page, who then leads.
    const QByteArray demo = withServerCommands({"cs 548 \"n\\^1<script>x</script>\\t\\0\"",
                                                "scores 1 0 0 4 9 0 0 0 0 0 0 0 0 0 0 0 0"});
    QVERIFY(upload(f, demo, 0, demo.size(), 4000));
    const auto facts = [this] {
        return QJsonDocument::fromJson(m_http->get(QStringLiteral("/api/games/1")).body)
            .object()
            .value(QStringLiteral("facts"))
            .toObject();
    };
    if (delaySeconds > 0) {
        m_facts->flush();
        QCOMPARE(facts().value(QStringLiteral("map")).toString(), QString()); // nothing before the blocks
    }
    // The demo's last command read: the newcomer leads.
    QTRY_COMPARE_WITH_TIMEOUT(facts().value(QStringLiteral("score")).toString(), QStringLiteral("<script>x</script> 9"), 20000);

    const QJsonObject row = QJsonDocument::fromJson(m_http->get(QStringLiteral("/api/games")).body).array().first().toObject();
    QCOMPARE(row.value(QStringLiteral("map")).toString(), QStringLiteral("oa_dm1"));
    QCOMPARE(row.value(QStringLiteral("mode")).toString(), QStringLiteral("free for all"));
    QCOMPARE(row.value(QStringLiteral("players")).toInteger(), 5);
    QCOMPARE(row.value(QStringLiteral("score")).toString(), QStringLiteral("<script>x</script> 9"));
    const QJsonObject d = facts();
    QCOMPARE(d.value(QStringLiteral("scoresFrom")).toString(), QStringLiteral("server"));
    const QJsonArray board = d.value(QStringLiteral("scoreboard")).toArray();
    QCOMPARE(board.size(), 5);
    QCOMPARE(board.first()[QStringLiteral("name")].toString(), QStringLiteral("^1<script>x</script>"));
    QCOMPARE(board.first()[QStringLiteral("score")].toInt(), 9);
    const QJsonArray events = d.value(QStringLiteral("events")).toArray();
    QCOMPARE(events.size(), 7);
    QCOMPARE(events[2][QStringLiteral("weapon")].toString(), QStringLiteral("rocket splash"));
    QCOMPARE(events.last()[QStringLiteral("kind")].toString(), QStringLiteral("join"));

    for (const QString &path : {QStringLiteral("/"), QStringLiteral("/game/1")}) {
        const QByteArray body = m_http->get(path).body;
        QCOMPARE(body.count("<script"), 1);
        QVERIFY(body.contains("oa_dm1"));
    }
    const QByteArray page = m_http->get(QStringLiteral("/game/1")).body;
    QVERIFY(page.contains("<span class=\"c1\">&lt;script&gt;x&lt;/script&gt;</span>"));
    QVERIFY(page.contains("id=\"scoreboard\""));
    QVERIFY(page.contains("rocket splash"));
}

void TestRelayWeb::archiveSearchesWhatWasOn_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("found");
    const QString today = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd"));
    const QString yesterday = QDateTime::currentDateTimeUtc().addDays(-1).toString(QStringLiteral("yyyy-MM-dd"));
    QTest::newRow("everything") << QString() << 1;
    QTest::newRow("map, any case") << QStringLiteral("map=OA_DM1") << 1;
    QTest::newRow("a part of a map") << QStringLiteral("map=oa") << 0;
    QTest::newRow("a part of a player's name") << QStringLiteral("player=ayu") << 1;
    QTest::newRow("a name with its colour codes gone") << QStringLiteral("player=%3Cscript%3Ex") << 1;
    QTest::newRow("a wildcard is a character") << QStringLiteral("player=%25") << 0;
    QTest::newRow("an underscore is a character") << QStringLiteral("player=a_u") << 0;
    QTest::newRow("SQL is text") << QStringLiteral("player=%27%20OR%201%3D1%20--") << 0;
    QTest::newRow("mode") << QStringLiteral("mode=free+for+all") << 1;
    QTest::newRow("another mode") << QStringLiteral("mode=team") << 0;
    QTest::newRow("from today") << QStringLiteral("from=") + today << 1;
    QTest::newRow("to yesterday") << QStringLiteral("to=") + yesterday << 0;
    QTest::newRow("map and player") << QStringLiteral("map=oa_dm1&player=major") << 1;
    QTest::newRow("a day that is none") << QStringLiteral("from=2026-02-30") << 1;
}

void TestRelayWeb::archiveSearchesWhatWasOn()
{
    QFETCH(QString, query);
    QFETCH(int, found);
    startWeb({m_tmp->path() + QStringLiteral("/archive")});
    RelayTestClient *f = m_f.filmer("match", "camera", gtQuake3);
    QVERIFY(f);
    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    const QByteArray demo = withServerCommands({"cs 548 \"n\\^1<script>x</script>\\t\\0\""});
    QVERIFY(upload(f, demo, 0, demo.size(), 4000));
    QCOMPARE(f->request(buildDemoRestart(1)), 0); // the demo ends: what was on is kept
    m_archive->flush();

    const QJsonArray list = QJsonDocument::fromJson(m_http->get(QStringLiteral("/api/archive?") + query).body).array();
    QCOMPARE(list.size(), found);
    const QByteArray page = m_http->get(QStringLiteral("/archive?") + query).body;
    QCOMPARE(page.count("download>"), found);
    QCOMPARE(page.count("<script"), 1);
    if (!found)
        return;
    const QJsonObject d = list.first().toObject();
    QCOMPARE(d.value(QStringLiteral("map")).toString(), QStringLiteral("oa_dm1"));
    QCOMPARE(d.value(QStringLiteral("players")).toArray().size(), 5);
    QVERIFY(d.value(QStringLiteral("lengthMs")).toInteger() > 40000);
    // The demo's own page: its scoreboard and events, the name in its colours and escaped.
    const QByteArray own = m_http->get(d.value(QStringLiteral("page")).toString()).body;
    QCOMPARE(own.count("<script"), 1);
    QVERIFY(own.contains("<span class=\"c1\">&lt;script&gt;x&lt;/script&gt;</span>"));
    QVERIFY(own.contains("rocket splash"));
    const QJsonObject facts = QJsonDocument::fromJson(m_http->get(QStringLiteral("/api") + d.value(QStringLiteral("page")).toString()).body)
                                  .object()
                                  .value(QStringLiteral("facts"))
                                  .toObject();
    QCOMPARE(facts.value(QStringLiteral("events")).toArray().size(), 7);
}

void TestRelayWeb::nothingChangesTheRelay_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::newRow("POST chat") << QByteArray("POST") << QStringLiteral("/api/games/1");
    QTest::newRow("PUT game") << QByteArray("PUT") << QStringLiteral("/game/1");
    QTest::newRow("DELETE game") << QByteArray("DELETE") << QStringLiteral("/api/games/1");
    QTest::newRow("DELETE demo") << QByteArray("DELETE") << QStringLiteral("/archive");
    QTest::newRow("PATCH") << QByteArray("PATCH") << QStringLiteral("/");
}

void TestRelayWeb::nothingChangesTheRelay()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    startWeb();
    QVERIFY(hostileGame());
    const QByteArray before = m_http->get(QStringLiteral("/api/games/1")).body;
    const HttpReply r = m_http->get(path, method, "text=hello&name=x");
    QCOMPARE(r.status, 405);
    QCOMPARE(r.headers.value("allow"), QByteArray("GET, HEAD"));
    QCOMPARE(m_f.server().gameCount(), 1);
    QCOMPARE(m_http->get(QStringLiteral("/api/games/1")).body.size(), before.size());
}

void TestRelayWeb::archiveHoldsWhatViewersWrite()
{
    const QString dir = m_tmp->path() + QStringLiteral("/archive");
    startWeb({dir});
    RelayTestClient *f = m_f.filmer("ctf/dm1", "camera");
    QVERIFY(f);
    RelayTestClient *v = m_f.viewer("watcher", 1);
    QVERIFY(v);
    const QByteArray first = randomBytes(250000, 11), second = randomBytes(70001, 12);
    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    QVERIFY(upload(f, first, 0, 100000, 7000));
    // A block whose CRC is wrong: the Viewer refuses it, so the archive must leave it out too.
    QByteArray bad = RelayTestClient::demoPacket(QByteArray(5000, 'x'), 99);
    bad[rec::offCrc] = char(bad[rec::offCrc] ^ 0x55);
    QCOMPARE(f->request(bad), 0);
    QVERIFY(upload(f, first, 100000, first.size(), 7000));
    QTest::qSleep(1100); // the second demo begins in another second, so it gets its own name
    QCOMPARE(f->request(buildDemoRestart(1)), 0);
    QVERIFY(upload(f, second, 0, second.size(), 9000));
    QVERIFY(m_f.barrier(v));
    QTRY_COMPARE_WITH_TIMEOUT(v->demos().size(), 2, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(v->demos().constLast().size() == second.size(), 15000);
    m_archive->flush();

    const QJsonArray listed = QJsonDocument::fromJson(m_http->get(QStringLiteral("/api/games/1")).body)
                                  .object()
                                  .value(QStringLiteral("demos"))
                                  .toArray();
    QCOMPARE(listed.size(), 2);
    // Newest first; each file's bytes are the Viewer's demo, byte for byte.
    for (int i = 0; i < 2; ++i) {
        const QJsonObject d = listed.at(i).toObject();
        const QByteArray expected = v->demos().at(1 - i);
        QCOMPARE(expected, i == 0 ? second : first);
        QVERIFY(d.value(QStringLiteral("path")).toString().contains(QRegularExpression(QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2}/ctf_dm1_[0-9]{6}\\.dm2$"))));
        QCOMPARE(d.value(QStringLiteral("bytes")).toInteger(), expected.size());
        const HttpReply file = m_http->get(d.value(QStringLiteral("url")).toString());
        QCOMPARE(file.status, 200);
        QVERIFY(file.body == expected);
        QVERIFY(file.headers.value("content-disposition").startsWith("attachment"));
        const HttpReply head = m_http->get(d.value(QStringLiteral("url")).toString(), "HEAD");
        QCOMPARE(head.status, 200);
        QCOMPARE(head.headers.value("content-length"), QByteArray::number(expected.size()));
        QVERIFY(head.body.isEmpty());
        QFile onDisk(dir + u'/' + d.value(QStringLiteral("path")).toString());
        QVERIFY(onDisk.open(QIODevice::ReadOnly));
        QVERIFY(onDisk.readAll() == expected);
    }
    // The archive page lists both, with the Filmer, and survives a restart of the archive.
    const QByteArray page = m_http->get(QStringLiteral("/archive")).body;
    QCOMPARE(page.count("download>"), 2);
    QVERIFY(page.contains("<td>camera</td>"));
    m_web.reset();
    m_f.server().removeObserver(m_archive.get());
    m_archive.reset();
    RelayArchive again({dir});
    QString error;
    QVERIFY(again.start(&error));
    QCOMPARE(again.demos().size(), 2);
    QCOMPARE(again.demos().constFirst().filmer, QStringLiteral("camera"));
    QCOMPARE(again.demos().constFirst().game, QStringLiteral("ctf/dm1"));
    // The bound counts what the files take on the disk: at least their bytes.
    QCOMPARE(again.demos().constFirst().bytes + again.demos().constLast().bytes, first.size() + second.size());
    QCOMPARE(again.totalBytes(), again.demos().constFirst().diskBytes + again.demos().constLast().diskBytes);
    QVERIFY(again.totalBytes() > first.size() + second.size());
}

void TestRelayWeb::retentionDeletesOldestFirst()
{
    const QString dir = m_tmp->path() + QStringLiteral("/archive");
    constexpr int kDemo = 20000, kDemos = 6;
    constexpr qint64 kMax = 50000;
    startWeb({dir, kMax});
    QList<RelayTestClient *> filmers;
    // One demo per game: the games' names order the demos by age.
    for (int i = 0; i < kDemos; ++i) {
        RelayTestClient *f = m_f.filmer("game" + QByteArray::number(i), "camera");
        QVERIFY(f);
        QCOMPARE(f->request(buildDemoRestart(0)), 0);
        QVERIFY(upload(f, randomBytes(kDemo, quint32(100 + i)), 0, kDemo, 5000));
        f->disconnectNow(); // the game ends, its demo is closed
        QTRY_COMPARE_WITH_TIMEOUT(m_f.server().gameCount(), 0, 15000);
        m_archive->flush();
    }
    const QList<ArchivedDemo> kept = m_archive->demos();
    qInfo("retention: %d demos of %d bytes with a bound of %lld: %lld kept, %lld bytes, %lld deleted", kDemos, kDemo,
          kMax, qint64(kept.size()), m_archive->totalBytes(), m_archive->deletedDemos());
    QCOMPARE(kept.size(), 2);
    QVERIFY(m_archive->totalBytes() <= kMax);
    QCOMPARE(m_archive->deletedDemos(), kDemos - 2);
    QVERIFY(kept.at(0).game == QStringLiteral("game5") && kept.at(1).game == QStringLiteral("game4"));
    // The files went with their entries.
    int onDisk = 0;
    for (const QFileInfo &day : QDir(dir).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot))
        onDisk += int(QDir(day.filePath()).entryList({QStringLiteral("*.dm2")}, QDir::Files).size());
    QCOMPARE(onDisk, 2);
}

void TestRelayWeb::failedWriteStopsArchivingOnly()
{
    const QString dir = m_tmp->path() + QStringLiteral("/archive");
    QVERIFY(QDir().mkpath(dir));
    // Today's folder cannot be made: a file has its name (as a full disk, the write fails).
    QFile blocker(dir + u'/' + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    startWeb({dir});
    RelayTestClient *f = m_f.filmer("duel", "camera");
    QVERIFY(f);
    RelayTestClient *v = m_f.viewer("watcher", 1);
    QVERIFY(v);
    const QByteArray data = randomBytes(40000, 5);
    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    QVERIFY(upload(f, data, 0, 20000));
    m_archive->flush();
    QVERIFY(m_archive->isStopped());
    QVERIFY(upload(f, data, 20000, data.size()));
    QTRY_VERIFY_WITH_TIMEOUT(!v->demos().isEmpty() && v->demos().constFirst() == data, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(m_f.logHas(QStringLiteral("archiving stopped, the relay goes on")), 5000);
    QCOMPARE(m_http->get(QStringLiteral("/healthz")).status, 200);
    QList<MetricSample> samples;
    QString error;
    QVERIFY2(parseMetrics(m_http->get(QStringLiteral("/metrics")).body, &samples, &error), qPrintable(error));
    QCOMPARE(metric(samples, QStringLiteral("arbelon_archive_stopped")), 1.0);
}

// Many demos of one name in one second each get a name of their own; a disk below the
// reserve pauses archiving, told on /metrics, while the relay serves on.
void TestRelayWeb::archiveKeepsGoing_data()
{
    QTest::addColumn<int>("demos");
    QTest::addColumn<qint64>("reserve");
    QTest::addColumn<int>("archived");
    QTest::newRow("102 demos of one name") << 102 << qint64(0) << 102;
    QTest::newRow("disk below the reserve") << 2 << (qint64(1) << 60) << 0;
}

void TestRelayWeb::archiveKeepsGoing()
{
    QFETCH(int, demos);
    QFETCH(qint64, reserve);
    QFETCH(int, archived);
    RelayArchive::Options options{m_tmp->path() + QStringLiteral("/archive")};
    options.reserveBytes = reserve;
    startWeb(options);
    RelayTestClient *f = m_f.filmer("same", "camera");
    QVERIFY(f);
    for (int i = 0; i < demos; ++i) {
        QCOMPARE(f->request(buildDemoRestart(0)), 0);
        QCOMPARE(f->request(RelayTestClient::demoPacket(QByteArray::number(i), 1)), 0);
    }
    m_archive->flush();
    QCOMPARE(m_archive->demos().size(), archived);
    QVERIFY(!m_archive->isStopped());
    QCOMPARE(m_archive->skippedDemos(), 0);
    QList<MetricSample> samples;
    QString error;
    QVERIFY2(parseMetrics(m_http->get(QStringLiteral("/metrics")).body, &samples, &error), qPrintable(error));
    QCOMPARE(metric(samples, QStringLiteral("arbelon_archive_low_disk")), archived ? 0.0 : 1.0);
    // What the archive counts is what its files take on the disk, sidecars included.
    qint64 onDisk = 0;
    for (const ArchivedDemo &d : m_archive->demos()) {
        QVERIFY(d.bytes > 0 && d.diskBytes > d.bytes);
        onDisk += d.diskBytes;
    }
    QCOMPARE(m_archive->totalBytes(), onDisk);
    if (!archived)
        QTRY_VERIFY_WITH_TIMEOUT(m_f.logHas(QStringLiteral("archiving paused")), 5000);
}

void TestRelayWeb::downloadsStayInsideTheArchive_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("dot dot") << QStringLiteral("/archive/file/../../etc/passwd");
    QTest::newRow("encoded dot dot") << QStringLiteral("/archive/file/%2e%2e/%2e%2e/etc/passwd");
    QTest::newRow("encoded slash") << QStringLiteral("/archive/file/..%2f..%2fetc%2fpasswd");
    QTest::newRow("absolute") << QStringLiteral("/archive/file//etc/passwd");
    QTest::newRow("symlink out") << QStringLiteral("/archive/file/2020-01-01/link_000000.dm2");
    QTest::newRow("sidecar") << QStringLiteral("/archive/file/2020-01-01/real_000000.dm2.json");
    QTest::newRow("folder") << QStringLiteral("/archive/file/2020-01-01");
    QTest::newRow("listed one") << QStringLiteral("/archive/file/2020-01-01/real_000000.dm2");
}

void TestRelayWeb::downloadsStayInsideTheArchive()
{
    QFETCH(QString, path);
    const QString dir = m_tmp->path() + QStringLiteral("/archive");
    QVERIFY(QDir().mkpath(dir + QStringLiteral("/2020-01-01")));
    QFile real(dir + QStringLiteral("/2020-01-01/real_000000.dm2"));
    QVERIFY(real.open(QIODevice::WriteOnly) && real.write("demo") == 4);
    real.close();
    QFile secret(m_tmp->path() + QStringLiteral("/secret"));
    QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write("secret") == 6);
    secret.close();
    QVERIFY(QFile::link(secret.fileName(), dir + QStringLiteral("/2020-01-01/link_000000.dm2")));
    startWeb({dir});
    const HttpReply r = m_http->get(path);
    const bool listed = QTest::currentDataTag() == QByteArray("listed one");
    QCOMPARE(r.status, listed ? 200 : 404);
    QCOMPARE(r.body == "demo", listed);
    QVERIFY(!r.body.contains("secret"));
}

void TestRelayWeb::archiveIndexFollowsTheFolder_data()
{
    // What happens to the folder between a first start and a second.
    QTest::addColumn<QString>("change");
    QTest::newRow("nothing: pages of 100") << QString();
    QTest::newRow("index damaged") << QStringLiteral("damage");
    QTest::newRow("index deleted") << QStringLiteral("delete");
    QTest::newRow("index a link out") << QStringLiteral("link");
    QTest::newRow("files changed under it") << QStringLiteral("files");
}

void TestRelayWeb::archiveIndexFollowsTheFolder()
{
    QFETCH(QString, change);
    const QString dir = m_tmp->path() + QStringLiteral("/archive");
    const QString index = dir + u'/' + RelayArchive::indexFileName();
    QVERIFY(QDir().mkpath(dir + QStringLiteral("/2020-01-01")));
    const auto put = [&](int i) {
        QFile f(dir + QStringLiteral("/2020-01-01/d_%1.dm2").arg(i, 6, 10, QLatin1Char('0')));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(i + 1, 'x')) == i + 1);
        f.close();
        // Began one second after another: the order of the pages is known.
        f.setFileTime(QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC).addSecs(i), QFileDevice::FileModificationTime);
    };
    int newest = 249;
    for (int i = 0; i <= newest; ++i)
        put(i);
    {
        RelayArchive first({dir});
        QString error;
        QVERIFY2(first.start(&error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(!first.isScanning(), 20000);
        QCOMPARE(first.demoCount(), 250);
    }
    const QString outside = m_tmp->path() + QStringLiteral("/not-the-index");
    if (change == QStringLiteral("damage")) {
        QFile f(index);
        QVERIFY(f.open(QIODevice::ReadWrite));
        f.seek(100);
        f.write(QByteArray(4096, '\xff'));
    } else if (change == QStringLiteral("delete")) {
        QVERIFY(QFile::remove(index));
    } else if (change == QStringLiteral("link")) {
        QFile f(outside);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("mine") == 4);
        f.close();
        QVERIFY(QFile::remove(index));
        QVERIFY(QFile::link(outside, index));
    } else if (change == QStringLiteral("files")) {
        QVERIFY(QFile::remove(dir + QStringLiteral("/2020-01-01/d_000000.dm2")));
        put(++newest);
        put(++newest);
        QVERIFY(QFile::remove(dir + QStringLiteral("/2020-01-01/d_000001.dm2")));
    }
    startWeb({dir});
    QCOMPARE(m_archive->demoCount(), 250);

    // The pages, newest first, each older than the one before, and all of them once.
    QStringList seen;
    QString next = QStringLiteral("/api/archive");
    while (!next.isEmpty() && seen.size() <= 300) {
        const HttpReply r = m_http->get(next);
        QCOMPARE(r.status, 200);
        const QJsonArray page = QJsonDocument::fromJson(r.body).array();
        QVERIFY(page.size() == RelayArchive::kPageSize || !r.headers.contains("link"));
        for (const QJsonValue &d : page)
            seen.append(d[QStringLiteral("path")].toString());
        const QByteArray link = r.headers.value("link");
        next = link.isEmpty() ? QString() : QString::fromLatin1(link.mid(1, link.indexOf('>') - 1));
    }
    QCOMPARE(seen.size(), 250);
    QStringList sorted = seen;
    std::sort(sorted.begin(), sorted.end(), std::greater<>());
    QCOMPARE(seen, sorted);
    QCOMPARE(seen.first(), QStringLiteral("2020-01-01/d_%1.dm2").arg(newest, 6, 10, QLatin1Char('0')));
    const QByteArray html = m_http->get(QStringLiteral("/archive")).body;
    QCOMPARE(html.count("download>"), RelayArchive::kPageSize);
    QVERIFY(html.contains("id=\"older\""));
    if (change == QStringLiteral("damage") || change == QStringLiteral("link"))
        QVERIFY(QFile::exists(index + QStringLiteral(".damaged")));
    if (change == QStringLiteral("link")) {
        QVERIFY(!QFileInfo(index).isSymLink());
        QCOMPARE(readFile(outside), QByteArray("mine"));
    }
}

void TestRelayWeb::metricsParseAndCount()
{
    const QString dir = m_tmp->path() + QStringLiteral("/archive");
    RelayConfig config;
    config.maxGames = 1;
    startWeb({dir}, {}, config);
    RelayTestClient *f = m_f.filmer("duel", "camera");
    QVERIFY(f);
    QVERIFY(!m_f.filmer("second", "camera")); // refused: game limit
    RelayTestClient *v = m_f.viewer("watcher", 1);
    QVERIFY(v);
    QCOMPARE(m_f.viewer("lost", 0)->request(buildWaitForGame(7)), 1); // refused: no game
    QCOMPARE(f->request(buildDemoRestart(0)), 0);
    const QByteArray data = randomBytes(30000, 9);
    QVERIFY(upload(f, data, 0, data.size(), 10000));
    QTRY_COMPARE_WITH_TIMEOUT(v->countOf(DEMOPACKET), 3, 15000);
    m_archive->flush();

    const HttpReply r = m_http->get(QStringLiteral("/metrics"));
    QList<MetricSample> s;
    QString error;
    QVERIFY2(parseMetrics(r.body, &s, &error), qPrintable(error));
    QCOMPARE(metric(s, QStringLiteral("arbelon_connections"), {{QStringLiteral("role"), QStringLiteral("filmer")}}), 1.0);
    QCOMPARE(metric(s, QStringLiteral("arbelon_connections"), {{QStringLiteral("role"), QStringLiteral("viewer")}}), 2.0);
    QCOMPARE(metric(s, QStringLiteral("arbelon_games")), 1.0);
    QCOMPARE(metric(s, QStringLiteral("arbelon_viewers")), 1.0);
    // In: the restart and three blocks, each record whole; out: the same to the one Viewer.
    QCOMPARE(metric(s, QStringLiteral("arbelon_demo_blocks_in_total")), 4.0);
    QCOMPARE(metric(s, QStringLiteral("arbelon_demo_bytes_in_total")), double(m_f.server().game(1).demoBytes));
    QCOMPARE(metric(s, QStringLiteral("arbelon_demo_blocks_out_total")), 4.0);
    QCOMPARE(metric(s, QStringLiteral("arbelon_demo_bytes_out_total")), double(m_f.server().game(1).demoBytes));
    QCOMPARE(metric(s, QStringLiteral("arbelon_refusals_total"), {{QStringLiteral("reason"), QStringLiteral("game_limit")}}), 1.0);
    QCOMPARE(metric(s, QStringLiteral("arbelon_refusals_total"), {{QStringLiteral("reason"), QStringLiteral("no_game")}}), 1.0);
    QCOMPARE(metric(s, QStringLiteral("arbelon_join_seconds_count")), 1.0);
    QCOMPARE(metric(s, QStringLiteral("arbelon_archive_bytes")), double(m_archive->demos().constFirst().diskBytes));
    QCOMPARE(metric(s, QStringLiteral("arbelon_archive_demos")), 1.0);

    // Prometheus's own checker, where installed, must agree.
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty())
        return;
    QProcess check;
    check.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    QVERIFY(check.waitForStarted(10000));
    check.write(r.body);
    check.closeWriteChannel();
    QVERIFY(check.waitForFinished(30000));
    QVERIFY2(check.exitCode() == 0, check.readAllStandardError().constData());
}

// As the daemon runs it: the page on its thread, fed snapshots, asked for from a third thread
// while games open and close, Viewers come and go and chat; every answer whole, and the last
// page shows how things ended.
void TestRelayWeb::pagesFromTheirOwnThread()
{
    m_f.startServer();
    RelayWebFeed feed(m_f.server(), 0);
    RelayWebThread web(feed, nullptr);
    const QHostAddress address(loopbackAddress(1));
    QString error;
    QVERIFY2(web.listen(address, 0, &error), qPrintable(error));
    std::atomic<bool> asking{true};
    std::atomic<int> answered{0}, wrong{0};
    std::thread browser([&] {
        const char *paths[] = {"/", "/api/games", "/game/1", "/api/games/1", "/metrics"};
        for (int i = 0; asking.load() && i < 100000; ++i) {
            const QByteArray r = blockingGet(address, web.port(), paths[i % 5]);
            const bool ok = r.startsWith("HTTP/1.1 200") || (r.startsWith("HTTP/1.1 404") && (i % 5 == 2 || i % 5 == 3));
            ++(ok ? answered : wrong);
        }
    });
    const auto stop = qScopeGuard([&] {
        asking.store(false);
        browser.join();
    });
    // Ten games, each with a Viewer who stays: within the relay's connections per address.
    for (int round = 0; round < 10; ++round) {
        RelayTestClient *f = m_f.filmer("round " + QByteArray::number(round), "camera");
        QVERIFY(f);
        RelayTestClient *v = m_f.viewer("v" + QByteArray::number(round), quint32(round + 1));
        QVERIFY(v);
        QCOMPARE(v->request(buildSendText({}, "line " + QByteArray::number(round))), 0);
        if (round < 9)
            f->disconnectNow();
        QTest::qWait(20);
    }
    QTRY_VERIFY_WITH_TIMEOUT(answered.load() >= 50, 20000);
    QCOMPARE(wrong.load(), 0);
    QByteArray last;
    QTRY_VERIFY_WITH_TIMEOUT((last = blockingGet(address, web.port(), "/api/games")).contains("round 9"), 5000);
    QVERIFY2(!last.contains("round 8"), last.constData());
    QVERIFY(blockingGet(address, web.port(), "/game/10").contains("line 9"));
}

void TestRelayWeb::hostileHttpClients_data()
{
    QTest::addColumn<QByteArray>("send");
    QTest::addColumn<int>("extraConnections");
    QTest::addColumn<QByteArray>("answer"); // the reply's start; empty: a refusal or nothing
    // Each ends with the connection closed by the server.
    QTest::newRow("huge header") << ("GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + QByteArray(200000, 'a') + "\r\n\r\n") << 0
                                 << QByteArray("HTTP/1.1 431");
    QTest::newRow("huge body") << ("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 10000000\r\n\r\n" + QByteArray(200000, 'b'))
                               << 0 << QByteArray("HTTP/1.1 413");
    QTest::newRow("never finishes") << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n") << 0 << QByteArray();
    QTest::newRow("says nothing") << QByteArray() << 0 << QByteArray();
    QTest::newRow("too many connections") << QByteArray() << 4 << QByteArray("HTTP/1.1 503");
    QTest::newRow("Content-Length twice")
        << QByteArray("GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nContent-Length: 5\r\n\r\nhello") << 0
        << QByteArray("HTTP/1.1 400");
    QTest::newRow("body in chunks") << QByteArray("POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n")
                                    << 0 << QByteArray("HTTP/1.1 501");
    QTest::newRow("HTTP/1.1 without Host") << QByteArray("GET / HTTP/1.1\r\n\r\n") << 0 << QByteArray("HTTP/1.1 400");
    QTest::newRow("Host twice") << QByteArray("GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n") << 0 << QByteArray("HTTP/1.1 400");
    QTest::newRow("folded header") << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n X-Fold: y\r\n\r\n") << 0
                                   << QByteArray("HTTP/1.1 400");
    QTest::newRow("HTTP/2 spoken as text") << QByteArray("GET / HTTP/2.0\r\nHost: x\r\n\r\n") << 0 << QByteArray("HTTP/1.1 505");
    QTest::newRow("HTTP/1.0, answered and closed") << QByteArray("GET /healthz HTTP/1.0\r\n\r\n") << 0
                                                   << QByteArray("HTTP/1.1 200");
    QTest::newRow("HTTP/1.1 asking to close, after a request sent ahead")
        << QByteArray("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\nGET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        << 0 << QByteArray("HTTP/1.1 200");
}

void TestRelayWeb::hostileHttpClients()
{
    QFETCH(QByteArray, send);
    QFETCH(int, extraConnections);
    QFETCH(QByteArray, answer);
    HttpGuard::Limits limits;
    limits.maxRequestBytes = 8 * 1024;
    limits.requestTimeoutMs = 500;
    limits.idleTimeoutMs = 1000;
    limits.maxConnections = 4;
    startWeb({}, limits);
    const QHostAddress address(loopbackAddress(1));
    std::vector<std::unique_ptr<QTcpSocket>> others;
    for (int i = 0; i < extraConnections; ++i) {
        others.push_back(std::make_unique<QTcpSocket>());
        others.back()->connectToHost(address, m_web->port());
        QVERIFY(others.back()->waitForConnected(5000));
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_web->guard()->connectionCount(), extraConnections, 5000);
    QTcpSocket s;
    s.connectToHost(address, m_web->port());
    QVERIFY(s.waitForConnected(5000));
    s.write(send);
    QByteArray got;
    // The server ends it by itself; the loop is bounded in case it never does.
    for (int i = 0; i < 200 && s.state() == QAbstractSocket::ConnectedState; ++i) {
        QTest::qWait(50); // the server shares this thread
        got += s.readAll();
    }
    got += s.readAll();
    QCOMPARE(s.state(), QAbstractSocket::UnconnectedState);
    if (answer.isEmpty())
        QVERIFY2(got.isEmpty() || got.startsWith("HTTP/1.1 4"), got.left(100).constData());
    else
        QVERIFY2(got.startsWith(answer), got.left(100).constData());
    // An answer that ends its connection says so; requests sent ahead are each answered.
    QCOMPARE(got.count("Connection: close"), got.count("HTTP/1.1 ") ? 1 : 0);
    QCOMPARE(got.count("HTTP/1.1 200"), answer == "HTTP/1.1 200" ? int(send.count("GET ")) : 0);
    // The page still answers everyone else.
    others.clear();
    QTRY_COMPARE_WITH_TIMEOUT(m_web->guard()->connectionCount(), 0, 5000);
    QCOMPARE(m_http->get(QStringLiteral("/healthz")).status, 200);
}

// A client that sends request after request and reads none of the answers: what waits for it
// stays within the bound (one answer past it at most), it is closed once idle, and others
// are served meanwhile.
void TestRelayWeb::requestsSentAheadAreBounded()
{
    HttpGuard::Limits limits;
    limits.maxQueuedBytes = 256 * 1024;
    limits.idleTimeoutMs = 1000;
    startWeb({}, limits);
    QTcpSocket s;
    s.setReadBufferSize(1); // reads nothing: the kernel's buffers fill, then the server's
    s.connectToHost(QHostAddress(loopbackAddress(1)), m_web->port());
    QVERIFY(s.waitForConnected(5000));
    const QByteArray ask = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    const qsizetype page = m_http->get(QStringLiteral("/")).body.size();
    qint64 most = 0;
    for (int i = 0; i < 200 && s.state() == QAbstractSocket::ConnectedState; ++i) {
        s.write(ask.repeated(100));
        QTest::qWait(10); // the server shares this thread
        most = qMax(most, m_web->guard()->queuedBytes());
    }
    QCOMPARE(m_http->get(QStringLiteral("/healthz")).status, 200);
    qInfo("at most %lld bytes of answers waited for the client that does not read", qlonglong(most));
    QVERIFY(most > 0);
    QVERIFY(most <= limits.maxQueuedBytes + page + 1024);
    QTRY_COMPARE_WITH_TIMEOUT(m_web->guard()->connectionCount(), 0, 10000);
}

int main(int argc, char *argv[])
{
    TestRelayWeb test;
    QTEST_SET_MAIN_SOURCE_PATH
    return runOnRelayDispatcher(&test, argc, argv);
}

#include "tst_relayweb.moc"
