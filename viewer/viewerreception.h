#pragma once
// The Viewer's side of demo transfer: demo names and paths, the start-of-demo and
// demo-block handlers, the demo file kept open between blocks, the demo list, and the
// game launch on a listed demo.

#include "gameinstall.h"
#include "viewerdemofile.h"
#include "viewergamelog.h"
#include "viewerlive.h"

#include "factsreader.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

namespace arbelon {

class TransferHost;

class ViewerReception {
public:
    // A demo is listed once its file is larger than this many bytes.
    static constexpr qint64 kListThreshold = 20000;
    // Demos announced and not begun beyond this many are not taken: a relay can announce
    // without end and never send a block.
    static constexpr int kMaxPending = 1000;
    // Demo files a relay may make a Viewer create: a relay that restarts demos without end
    // would otherwise fill the disk with files. Past either bound a start of demo is refused.
    static constexpr int kMaxDemosPerMinute = 10;
    static constexpr int kMaxDemosPerSession = 300;

    explicit ViewerReception(TransferHost &host);
    ~ViewerReception();

    // ---- record handlers (dispatched for types 11 and 9) ----
    // Both throw for a record that must end the session; the socket catches that.
    bool handleDemoRestart();
    bool handleDemoPacket();

    // ---- hooks called by the session ----
    void sessionConnected(); // clears the current path, pending list, names and rows
    void prepareLobby();     // Viewer lobby preparation
    void demoClose();        // closes the demo file, clears the current demo path
    void removeLiveCopies(); // the lobby is left: the live copies go
    // Plays the demo of a row: live when it is the demo still arriving and live play is
    // offered, from its start otherwise.
    void DemoListDblClick(int row);
    void playLive(int row);
    void playFromStart(int row);
    // Live play is offered for the row's demo now.
    bool liveOffered(int row) const;
    // Plays the demo arriving from kMomentLeadMs before serverTimeMs, a time of the demo's own
    // clock (FactEvent::serverTimeMs): a copy beside the exact one from the first snapshot at
    // or after that, which grows and goes on live as a live copy does; from the demo's first
    // snapshot when the time is before it. A time the demo has not reached yet starts once it
    // has. False, with the reason in why, when nothing starts and nothing waits: not watching,
    // no demo, a demo that cannot be read or ended before the time, the start declined.
    static constexpr qint64 kMomentLeadMs = 10000;
    bool playFromMoment(qint64 serverTimeMs, QString *why);
    // Every second while in a lobby: a game played live that reached the end of what has
    // arrived starts again at the live edge.
    void LiveLogTimer();
    bool playingLive() const { return m_playingLive; }
    // How the user is asked before the game starts a second time (true: start it). Without
    // one the game starts.
    void setConfirm(std::function<bool(const QString &)> confirm) { m_confirm = std::move(confirm); }

    bool demoFileOpen() const { return m_file.isOpen(); }
    // What is on in the game, read from the demo arriving; null before its first block.
    const demo::GameFacts *facts() const { return m_facts ? &m_facts->facts() : nullptr; }

    // ---- naming rules (public for tests) ----
    static QString demoName(const QString &gameName, const QDateTime &when);

private:
    // The watched game's directory, from the settings.
    QString gameDirectory() const;
    // Inflates and checks one block; false for a bad block (CRC, early end, too large).
    static bool decodeBlock(QByteArrayView data, quint32 crc, QByteArray &block);
    void appendBlock(QByteArrayView block);
    void openDemoFile(QByteArrayView first);
    // An earlier file of this demo, taken up; empty when there is none.
    QString resumeEarlier(QByteArrayView first);
    // The file taken up holds another demo: the demo goes on in a new file of its own.
    void leaveEarlier();
    void takePath(const QString &used);
    void showSize(qint64 size);
    void listCurrent();
    void finishDemo();
    void feedLive(QByteArrayView block);
    void feedFacts(QByteArrayView block);
    void startLive();
    // Why a moment cannot be played now; empty when it can.
    QString momentRefusal() const;
    void startMoment(const QString &path);
    // The moment looked for was found, is not in the demo, or waits on.
    void checkMoment();
    // The game starts on a copy that grows, its log watched for the copy's end.
    void playCopy(const QString &path);
    QStringList gameLogs() const;
    qint64 clockMs() const;
    void enableGameLog();
    bool launch(const QString &name, bool live);
    // The user's start of a game while one runs goes ahead only when they agree.
    bool mayStartGame();
    void requireViewer(const char *record) const;
    bool demoCapReached();

    TransferHost &m_host;
    ViewerDemoFile m_file;
    // The watched game's engine and folders, fixed when its lobby is entered.
    GameInstall m_install;
    // A game was chosen to watch in this session, so demos can be named after it.
    bool m_watching = false;
    // The path the current demo was announced with, kept for a file taken up that turns out
    // to hold another demo.
    QString m_announcedPath;
    // Demo files created this session, the times of the last minute's, and whether the
    // current demo was refused (its blocks are refused too).
    int m_created = 0;
    QList<QDateTime> m_createdAt;
    bool m_refused = false;
    bool m_capReported = false;
    // Live play: the current demo read as it arrives, its row once listed, and a live start
    // asked for while the blocks were still catching up with the game.
    ViewerLive m_live;
    // The same bytes read for what is on: the lobby's scoreboard and events.
    std::unique_ptr<demo::FactsReader> m_facts;
    qint64 m_factsSecond = -1;
    int m_currentRow = -1;
    bool m_livePending = false;
    // The game started last plays a live copy; its console log is watched for the copy's end.
    bool m_playingLive = false;
    ViewerGameLog m_gameLog;
    // How long the game took from its start to playing, the last time (a guess before).
    static constexpr qint64 kStartupGuessMs = 3000;
    qint64 m_startupMs = kStartupGuessMs;
    qint64 m_launchedAt = 0;
    bool m_refusalTold = false;
    std::function<bool(const QString &)> m_confirm;
};

} // namespace arbelon
