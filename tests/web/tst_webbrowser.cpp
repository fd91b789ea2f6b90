// The relay's web page in a real browser (headless Chromium): the live table fills and
// updates by itself while a Filmer streams, a Viewer's chat line appears on the game's page,
// and what clients chose stays text in the DOM; a game's scoreboard and events follow its
// demo, names in their colours. Screenshots go to ARBELON_SCREENSHOT_DIR
// (default: the working folder).

#include "cdpsession.h"
#include "common/q3demos.h"
#include "common/testaddress.h"
#include "relay/relayfixture.h"
#include "relayfacts.h"
#include "relaywebpages.h"
#include "relaywebfeed.h"
#include "relaywebthread.h"

#include <QDir>
#include <QScopeGuard>
#include <QTest>

using namespace arbelon;
using namespace arbelon::test;

namespace {
const QByteArray kGame = "<script>x</script>\"onmouseover=";
const QByteArray kFilmer = "<b>\"onmouseover=";
const QByteArray kViewer = "<script>\"onclick";
const QByteArray kChat = "<script>window.pwned=1</script><img src=x \"onmouseover=window.pwned=2>";

// A JavaScript string literal of Latin-1 text.
QString js(const QByteArray &text)
{
    QString out = QStringLiteral("'");
    for (const char c : text)
        out += QStringLiteral("\\x%1").arg(uint(quint8(c)), 2, 16, QChar(u'0'));
    return out + u'\'';
}

// Nothing a client sent became an element, an attribute or a script.
const QString kNoInjection = QStringLiteral(
    "document.scripts.length === 1 && window.pwned === undefined"
    " && document.querySelectorAll('[onmouseover],[onclick],img,b').length === 0");

QString screenshotPath(const QString &name)
{
    const QString dir = qEnvironmentVariable("ARBELON_SCREENSHOT_DIR", QDir::currentPath());
    return QDir(dir).filePath(name);
}
} // namespace

class TestWebBrowser : public QObject {
    Q_OBJECT
private slots:
    void liveTableAndChat();
    void liveScoreboard();
};

void TestWebBrowser::liveTableAndChat()
{
    if (CdpSession::browserProgram().isEmpty())
        QSKIP("chromium is not installed (tools/setup.sh installs it)");
    RelayFixture f;
    f.setUp();
    RelayServer &server = f.startServer();
    // As the daemon runs it: the page on its own thread, fed snapshots by the relay's.
    auto feed = std::make_unique<RelayWebFeed>(server);
    auto web = std::make_unique<RelayWebThread>(*feed, nullptr);
    // On every way out: the page first, then the relay it watches, then the log's sink.
    const auto done = qScopeGuard([&] {
        web.reset();
        feed.reset();
        f.tearDown();
    });
    const QHostAddress address(loopbackAddress(1));
    QString error;
    QVERIFY2(web->listen(address, 0, &error), qPrintable(error));
    const QString base = QStringLiteral("http://%1:%2").arg(address.toString()).arg(web->port());

    CdpSession browser;
    QVERIFY2(browser.start(base + u'/', &error), qPrintable(error));
    // Loaded with no game: any row that shows up later came from the script.
    QCOMPARE(browser.evaluate(QStringLiteral("document.querySelectorAll('#games tbody tr').length")).toInt(-1), 0);

    RelayTestClient *filmer = f.filmer(kGame, kFilmer);
    QVERIFY(filmer);
    QCOMPARE(filmer->request(buildDemoRestart(0)), 0);
    const QByteArray demo = randomBytes(400000, 21);
    QVERIFY(upload(filmer, demo, 0, 100000));
    QVERIFY(browser.waitFor(QStringLiteral("document.querySelectorAll('#games tbody tr').length === 1")));
    QVERIFY(browser.waitFor(QStringLiteral("document.querySelector('#games tbody tr td a').textContent === %1")
                                .arg(js(kGame))));
    // The demo grows while the page is open: its cell follows without a reload.
    QVERIFY(browser.evaluate(QStringLiteral("window.marker = 1; 1")).toInt() == 1);
    QVERIFY(upload(filmer, demo, 100000, demo.size()));
    const QString size = web::byteSize(server.game(1).demoBytes);
    QVERIFY2(browser.waitFor(QStringLiteral("document.querySelector('#games tbody tr td:nth-child(11)').textContent === '%1'")
                                 .arg(size)),
             qPrintable(browser.evaluate(QStringLiteral("document.querySelector('#games tbody').innerHTML")).toString()));
    QCOMPARE(browser.evaluate(QStringLiteral("window.marker")).toInt(), 1); // the same page, not reloaded
    QVERIFY(browser.evaluate(kNoInjection).toBool());
    QVERIFY(browser.evaluate(QStringLiteral("document.querySelector('#games tbody tr td:nth-child(8)').textContent === %1")
                                 .arg(js(kFilmer)))
                .toBool());
    QVERIFY(browser.screenshot(screenshotPath(QStringLiteral("web-games.png"))));

    // The game's page: a Viewer enters and chats; the line appears, as text.
    QVERIFY(browser.navigate(base + QStringLiteral("/game/1")));
    RelayTestClient *viewer = f.viewer(kViewer, 1);
    QVERIFY(viewer);
    QVERIFY(browser.waitFor(QStringLiteral("[...document.querySelectorAll('#users li')].some(li => li.textContent === %1)")
                                .arg(js(kViewer))));
    QCOMPARE(viewer->request(buildSendText({}, kChat)), 0);
    QVERIFY(browser.waitFor(QStringLiteral("[...document.querySelectorAll('#chat li .said')].some(s => s.textContent === %1)")
                                .arg(js(kChat))));
    QVERIFY(browser.evaluate(QStringLiteral("document.querySelector('#chat li .who').textContent === %1").arg(js(kViewer)))
                .toBool());
    QVERIFY(browser.evaluate(kNoInjection).toBool());
    QVERIFY(browser.evaluate(QStringLiteral("document.getElementById('gamename').textContent === %1").arg(js(kGame))).toBool());
    QVERIFY(browser.screenshot(screenshotPath(QStringLiteral("web-game.png"))));
}

void TestWebBrowser::liveScoreboard()
{
    if (CdpSession::browserProgram().isEmpty())
        QSKIP("chromium is not installed (tools/setup.sh installs it)");
    RelayFixture f;
    f.setUp();
    RelayServer &server = f.startServer();
    RelayFacts facts;
    server.addObserver(&facts);
    auto feed = std::make_unique<RelayWebFeed>(server);
    feed->setFacts(&facts);
    auto web = std::make_unique<RelayWebThread>(*feed, nullptr);
    const auto done = qScopeGuard([&] {
        web.reset();
        feed.reset();
        server.removeObserver(&facts);
        f.tearDown();
    });
    const QHostAddress address(loopbackAddress(1));
    QString error;
    QVERIFY2(web->listen(address, 0, &error), qPrintable(error));
    const QString base = QStringLiteral("http://%1:%2").arg(address.toString()).arg(web->port());

    RelayTestClient *filmer = f.filmer("match", "camera", gtQuake3);
    QVERIFY(filmer);
    QCOMPARE(filmer->request(buildDemoRestart(0)), 0);
    // The match's first part, then the rest with a newcomer who takes the lead.
    const QByteArray demo = withServerCommands({"cs 548 \"n\\^1<script>x</script>\\t\\0\"",
                                                "scores 1 0 0 4 9 0 0 0 0 0 0 0 0 0 0 0 0"});
    const qsizetype part = recordedQ3Demo().size() / 3;
    QVERIFY(upload(filmer, demo, 0, part, 4000));
    CdpSession browser;
    QVERIFY2(browser.start(base + QStringLiteral("/game/1"), &error), qPrintable(error));
    QVERIFY(browser.waitFor(QStringLiteral("document.getElementById('map').textContent === 'oa_dm1'")));
    QVERIFY(browser.waitFor(QStringLiteral("document.querySelectorAll('#scoreboard tbody tr').length >= 2")));
    const int events = browser.evaluate(QStringLiteral("document.querySelectorAll('#events li').length")).toInt(-1);
    QVERIFY(browser.evaluate(QStringLiteral("window.marker = 1; 1")).toInt() == 1);

    QVERIFY(upload(filmer, demo, part, demo.size(), 4000));
    QVERIFY2(browser.waitFor(QStringLiteral("document.querySelector('#scoreboard tbody tr td').textContent === %1"
                                            " && document.querySelector('#scoreboard tbody tr td:nth-child(3)').textContent === '9'")
                                 .arg(js("<script>x</script>"))),
             qPrintable(browser.evaluate(QStringLiteral("document.getElementById('scoreboard').innerHTML")).toString()));
    QVERIFY(browser.evaluate(QStringLiteral("document.querySelectorAll('#events li').length")).toInt() > events);
    QVERIFY(browser.evaluate(QStringLiteral("document.querySelector('#scoreboard tbody tr td .c1') !== null")).toBool());
    QCOMPARE(browser.evaluate(QStringLiteral("window.marker")).toInt(), 1); // the same page, not reloaded
    QVERIFY(browser.evaluate(kNoInjection).toBool());
    QVERIFY(browser.screenshot(screenshotPath(QStringLiteral("web-scoreboard.png"))));
}

int main(int argc, char *argv[])
{
    TestWebBrowser test;
    QTEST_SET_MAIN_SOURCE_PATH
    return runOnRelayDispatcher(&test, argc, argv);
}

#include "tst_webbrowser.moc"
