// The window telling the user what happens: an attempt that waits for its answer (with Cancel),
// the message of a session that the relay ended, and the menu bar opened.

#include "sessionshots.h"

#include "gamelistmodel.h"
#include "mainclient.h"
#include "records.h"
#include "common/fakerelay.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include <cstdio>

namespace arbelon::shots {

namespace {

// Two addresses of their own: one that never answers, one that plays the relay.
const QString kSilentAddress = QStringLiteral("127.0.0.74");
const QString kRelayAddress = QStringLiteral("127.0.0.75");

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

bool save(const QPixmap &picture, const QString &path)
{
    const bool ok = picture.save(path, "PNG");
    std::fprintf(stderr, "%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

} // namespace

bool shootTelling(const QString &outDir)
{
    MainFormHooks hooks;
    hooks.runFolderDialog = [](QWidget *, QString &, const QString &, const QString &) { return false; };
    QString address = kSilentAddress;
    hooks.connectDialog = [&address](QWidget *, ConnectValues &values) {
        values.serverAddress = address;
        values.role = Role::Viewer;
        return true;
    };
    TMainForm form(hooks);
    form.show();
    waitFor([] { return false; }, 300);
    bool ok = true;

    // Connecting: a listener whose one-place queue is taken leaves the attempt unanswered.
    {
        QTcpServer silent;
        silent.setListenBacklogSize(0);
        QTcpSocket filler;
        if (silent.listen(QHostAddress(kSilentAddress), kViewerPort)) {
            silent.pauseAccepting();
            filler.connectToHost(kSilentAddress, kViewerPort);
            filler.waitForConnected(2000);
        }
        form.findChild<QToolButton *>(QStringLiteral("ConnectButton"))->click();
        waitFor([] { return false; }, 300);
        ok = save(form.grab(), outDir + QStringLiteral("/mainwindow-connecting.png")) && ok;
        form.core().cancelConnecting();
    }

    // The menu bar, its first menu open over the window.
    {
        auto *bar = form.findChild<QMenuBar *>(QStringLiteral("MainMenu"));
        QMenu *menu = bar->actions().first()->menu();
        QTimer::singleShot(300, &form, [&] {
            QPixmap picture = form.grab();
            QPainter painter(&picture);
            painter.drawPixmap(form.mapFromGlobal(menu->pos()), menu->grab());
            painter.end();
            ok = save(picture, outDir + QStringLiteral("/menu-bar.png")) && ok;
            menu->close();
        });
        menu->exec(bar->mapToGlobal(bar->actionGeometry(bar->actions().first()).bottomLeft()));
    }

    // A session the relay ends while the user watches: the message says why.
    test::FakeRelay relay;
    if (!relay.listen(kRelayAddress, kViewerPort))
        return false;
    QObject::connect(&relay, &test::FakeRelay::recordArrived, &relay, [&relay](const QByteArray &record) {
        if (packetType(record) == USERINFO) {
            relay.ack();
            relay.send(buildGameInfoDetailed(1, "Friday duel", gtQuake2, 3, "baseq2"));
        } else if (packetType(record) == WAITFORGAME) {
            relay.ack();
            relay.send(buildUserEntered("duelist") + buildSendText("duelist", "server restart, brb"));
            relay.closeClient();
        }
    });
    address = kRelayAddress;
    QTimer boxWatch;
    boxWatch.setInterval(50);
    QObject::connect(&boxWatch, &QTimer::timeout, &form, [&] {
        QWidget *box = QApplication::activeModalWidget();
        if (!box)
            return;
        boxWatch.stop();
        waitFor([] { return false; }, 300);
        QPixmap picture = form.grab();
        QPainter painter(&picture);
        painter.drawPixmap(form.mapFromGlobal(box->pos()), box->grab());
        painter.end();
        ok = save(picture, outDir + QStringLiteral("/session-lost.png")) && ok;
        box->close();
    });
    boxWatch.start();
    form.findChild<QToolButton *>(QStringLiteral("ConnectButton"))->click();
    auto *games = form.findChild<QTreeView *>(QStringLiteral("GamesListBox"));
    if (!waitFor([games] { return games->model()->rowCount() == 1; }, 10000))
        return false;
    games->setCurrentIndex(games->model()->index(0, 0));
    form.core().selectGame(form.core().gameList()->row(0).id);
    form.findChild<QToolButton *>(QStringLiteral("WatchGame"))->click();
    return waitFor([&boxWatch] { return !boxWatch.isActive(); }, 10000) && ok;
}

} // namespace arbelon::shots
