// The main window in a Viewer session: its game list and a lobby with chat, users, a demo and
// what is on in it. A scripted relay on a loopback address of its own plays the server (and
// its web page's list of games), so the pictures show the same names and lines on every run;
// the lobby receives a real recorded match.

#include "sessionshots.h"

#include "mainclient.h"
#include "records.h"
#include "zlibcomp.h"
#include "common/fakerelay.h"
#include "common/webanswer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QToolButton>
#include <QTreeView>

#include <cstdio>

namespace arbelon::shots {

namespace {

// The client's Viewer port is fixed; this address keeps it apart from a relay on 127.0.0.1.
const QString kRelayAddress = QStringLiteral("127.0.0.73");

bool waitFor(const std::function<bool()> &done, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

void settle(int ms)
{
    waitFor([] { return false; }, ms);
}

// The recorded match, in blocks as a Filmer sends them.
QByteArray demoPackets()
{
    QFile f(QStringLiteral(":/demos/oa_bots.dm_71"));
    const QByteArray demo = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    QByteArray out;
    for (qsizetype at = 0; at < demo.size(); at += 10000) {
        const CompressedBlock block = compressBlock(demo.mid(at, 10000));
        out += buildDemoPacket(block.crc, qint32(at / 10000), block.data);
    }
    return out;
}

// The web page's list of games, as the relay answers it.
const QByteArray kGamesJson = R"([{"id":1,"map":"q2dm1","players":2},{"id":2,"map":"q2ctf1","players":8},)"
                              R"({"id":3,"map":"oa_dm1","players":4}])";

// Answers the client the way a relay would, with a fixed cast of games, users and lines.
void script(test::FakeRelay &relay, const QByteArray &record)
{
    switch (packetType(record)) {
    case USERINFO:
        relay.ack();
        relay.send(buildGameInfoDetailed(1, "Friday duel", gtQuake2, 3, "baseq2")
                   + buildGameInfoDetailed(2, "ctf practice", gtQuake2, 5, "ctf")
                   + buildGameInfoDetailed(3, "Bots, one rocket each", gtQuake3, 2, "baseq3"));
        break;
    case WAITFORGAME:
        relay.ack();
        relay.send(buildUserEntered("duelist") + buildUserEntered("spectator") + buildUserEntered("Player")
                   + buildSendText("duelist", "gl hf") + buildSendText("spectator", "who is up?")
                   + buildSendText("duelist", "3 frags, early days") + buildSendText("Player", "evening all")
                   + buildDemoRestart(0) + demoPackets());
        break;
    default:
        break;
    }
}

bool save(QWidget &w, const QString &path)
{
    const bool ok = w.grab().save(path, "PNG");
    std::fprintf(stderr, "%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

} // namespace

bool shootSession(const QString &outDir, const QString &gameDir)
{
    if (!QDir().mkpath(gameDir + QStringLiteral("/baseq3")))
        return false;
    test::FakeRelay relay;
    if (!relay.listen(kRelayAddress, kViewerPort)) {
        std::fprintf(stderr, "cannot listen on %s:%d\n", qPrintable(kRelayAddress), int(kViewerPort));
        return false;
    }
    QObject::connect(&relay, &test::FakeRelay::recordArrived, &relay,
                     [&relay](const QByteArray &record) { script(relay, record); });
    QTcpServer web;
    if (!web.listen(QHostAddress(kRelayAddress), 38964)) {
        std::fprintf(stderr, "cannot listen on %s:38964\n", qPrintable(kRelayAddress));
        return false;
    }
    test::answerEveryRequest(web, kGamesJson);

    MainFormHooks hooks;
    hooks.runFolderDialog = [](QWidget *, QString &, const QString &, const QString &) { return false; };
    hooks.connectDialog = [](QWidget *, ConnectValues &values) {
        values.serverAddress = kRelayAddress;
        values.role = Role::Viewer;
        return true;
    };
    TMainForm form(hooks);
    ClientCore &core = form.core();
    core.settings().quake2Dir = QDir(gameDir).absolutePath() + QLatin1Char('/');
    core.settings().quake3Dir = core.settings().quake2Dir;
    core.setClock([] { return QDateTime(QDate(2026, 12, 6), QTime(21, 5, 9)); });
    form.show();
    settle(300);

    form.findChild<QToolButton *>(QStringLiteral("ConnectButton"))->click();
    auto *games = form.findChild<QTreeView *>(QStringLiteral("GamesListBox"));
    if (!waitFor([games] { return games->model()->rowCount() == 3 && !games->model()->index(2, 5).data().toString().isEmpty(); }, 10000)) {
        std::fprintf(stderr, "the game list did not fill\n");
        return false;
    }
    games->setCurrentIndex(games->model()->index(2, 0));
    settle(300);
    bool ok = save(form, outDir + QStringLiteral("/mainwindow-gamelist.png"));

    form.findChild<QToolButton *>(QStringLiteral("WatchGame"))->click();
    auto *demos = form.findChild<QTreeView *>(QStringLiteral("DemoList"));
    auto *chat = form.findChild<QPlainTextEdit *>(QStringLiteral("LobbyMemo"));
    auto *events = form.findChild<QTreeView *>(QStringLiteral("EventFeed"));
    if (!waitFor([&] { return demos->model()->rowCount() == 1 && chat->blockCount() == 4 && events->model()->rowCount() == 6; }, 10000)) {
        std::fprintf(stderr, "the lobby did not fill\n");
        return false;
    }
    form.findChild<QLineEdit *>(QStringLiteral("LobbyEdit"))->setText(QStringLiteral("nice rail"));
    settle(300);
    ok = save(form, outDir + QStringLiteral("/lobby.png")) && ok;
    return ok;
}

} // namespace arbelon::shots
