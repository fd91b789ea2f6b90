#include "viewerreception.h"

#include "autoexec.h"
#include "demolistmodel.h"
#include "dispatcher.h"
#include "gamerunning.h"
#include "programstarter.h"
#include "records.h"
#include "transferhost.h"
#include "viewernaming.h"
#include "zlibcomp.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <limits>

namespace arbelon {

namespace {

// A demo file as the user is told of it: its folder and its name ("demos/NAME.dm2").
QString shownPath(const QString &path)
{
    const QFileInfo info(path);
    return QDir::toNativeSeparators(info.dir().dirName() + QLatin1Char('/') + info.fileName());
}

// A game time as the user is told of it.
QString seconds(qint64 ms)
{
    return QStringLiteral("%1 s").arg(ms / 1000);
}

} // namespace

ViewerReception::ViewerReception(TransferHost &host) : m_host(host) {}

qint64 ViewerReception::clockMs() const
{
    return m_host.now().toMSecsSinceEpoch();
}
ViewerReception::~ViewerReception() = default;

QString ViewerReception::demoName(const QString &gameName, const QDateTime &when)
{
    return viewernaming::demoName(gameName, when);
}

QString ViewerReception::gameDirectory() const
{
    return m_install.dataDir;
}

void ViewerReception::requireViewer(const char *record) const
{
    // A Filmer's pending list holds the game's own recordings: demo data from the server must
    // never take one of those paths.
    if (m_host.role() != Role::Viewer)
        throw EDemoFileError(std::string(record) + " received by a Filmer");
}

// ---- session hooks ------------------------------------------------------------

void ViewerReception::sessionConnected()
{
    demoClose();
    DemoTransferState &s = m_host.demo();
    s.pending.clear();
    s.listedNames.clear();
    m_host.demoList()->clear();
    m_watching = false;
    m_created = 0;
    m_createdAt.clear();
    m_refused = false;
    m_capReported = false;
}

void ViewerReception::prepareLobby()
{
    // A file left open by blocks that came between two lobbies must not take this game's data.
    demoClose();
    m_facts.reset();
    m_host.gameFactsChanged();
    DemoTransferState &s = m_host.demo();
    s.pending.clear();
    s.listedNames.clear();
    m_host.demoList()->clear();
    m_install = m_host.gameInstall(s.watchedGameType);
    s.gameProgramPath = m_install.program;
    // The running check asked before a start looks for this engine's program.
    if (GameRunningCheck *check = m_host.gameRunningCheck())
        check->setEngine(int(s.watchedGameType), m_install.engine);
    m_watching = true;
}

void ViewerReception::demoClose()
{
    finishDemo();
    m_file.close();
    m_host.demo().currentDemoPath.clear();
}

void ViewerReception::removeLiveCopies()
{
    m_gameLog.stop();
    m_playingLive = false;
    m_livePending = false;
    m_live.removeCopies();
}

// The current demo is over: its row says whether its end came, and nothing more is added to it.
void ViewerReception::finishDemo()
{
    if (!m_file.isOpen())
        return;
    if (m_live.ended() && m_currentRow < 0 && m_file.size() > 0)
        listCurrent();
    if (m_currentRow >= 0) {
        m_host.demoList()->setState(m_currentRow, m_live.ended() ? DemoListModel::DemoState::Ended
                                                                 : DemoListModel::DemoState::Incomplete);
    }
    if (const demo::MomentCopy *seek = m_live.soughtMoment())
        m_host.tellUser(QStringLiteral("Game time %1 was not reached in this demo").arg(seconds(seek->fromMs())));
    m_live.close();
    m_currentRow = -1;
    m_refusalTold = false;
}

// ---- DEMORESTART ----------------------------------------------------------------

bool ViewerReception::handleDemoRestart()
{
    PacketDispatcher &d = m_host.dispatcher();
    if (d.front().size() < rec::kDemoRestartSize)
        return false;
    requireViewer("DEMORESTART");
    // The watched game's name is the demo's name; without a watched game there is none.
    if (!m_watching)
        throw EDemoFileError("DEMORESTART before a game was chosen to watch");
    DemoTransferState &s = m_host.demo();
    demoClose();
    m_refused = demoCapReached();
    if (m_refused) {
        if (!m_capReported) {
            m_capReported = true;
            m_host.reportError(QStringLiteral("The relay started more than %1 demos in a minute or %2 in this session; "
                                              "further demos are refused.")
                                   .arg(kMaxDemosPerMinute)
                                   .arg(kMaxDemosPerSession));
        }
        d.consumeAndAck(rec::kDemoRestartSize, 1);
        return true;
    }
    s.currentDemoName = viewernaming::demoName(s.watchedGameName, m_host.now());
    if (s.pending.size() < kMaxPending) {
        const QString folder = m_install.demosFolder(s.watchedMod);
        // Without a game folder, or in one that does not hold the game ("/", the stored
        // default), the demo has no place; the first block then ends the session.
        if (!folder.isEmpty() && m_install.holdsGame(s.watchedMod))
            s.pending.append(folder + s.currentDemoName + m_install.demoExtension);
    }
    d.consumeAndAck(rec::kDemoRestartSize);
    return true;
}

// ---- DEMOPACKET ---------------------------------------------------------------

bool ViewerReception::handleDemoPacket()
{
    PacketDispatcher &d = m_host.dispatcher();
    const QByteArrayView front = d.front();
    const quint32 size = packetSize(front);
    // Refused as soon as the header is there, before a huge body is buffered.
    try {
        checkDemoPacketSize(size);
    } catch (const EProtocolError &e) {
        d.trace().line(QString::fromUtf8(e.what()));
        throw;
    }
    if (quint64(front.size()) < size)
        return false;
    requireViewer("DEMOPACKET");

    if (m_refused) {
        d.consumeAndAck(qsizetype(size), 1);
        return true;
    }
    const DemoPacketReader r{front};
    QByteArray block;
    const bool good = decodeBlock(r.data(), r.packetCrc(), block);
    if (good)
        appendBlock(block);
    d.consumeAndAck(qsizetype(size), good ? 0 : 1);
    return true;
}

bool ViewerReception::decodeBlock(QByteArrayView data, quint32 crc, QByteArray &block)
{
    // The payload is read where it lies in the receive buffer, without a copy.
    QByteArray input = QByteArray::fromRawData(data.data(), data.size());
    QBuffer in(&input);
    in.open(QIODevice::ReadOnly);
    QBuffer out(&block);
    out.open(QIODevice::ReadWrite);

    TZLib zlib(nullptr);
    zlib.setInStream(&in);
    zlib.setOutStream(&out);
    zlib.setOutputLimit(rec::kMaxBlockInflated);
    zlib.setMode(zmDecompress);
    // EZLibException (data that zlib rejects) passes on and ends the session. False means the
    // stream ended before the data did, wanted a dictionary, or passed the output bound.
    if (!zlib.Decompress(false))
        return false;
    return zlib.Crc() == crc;
}

bool ViewerReception::demoCapReached()
{
    const QDateTime now = m_host.now();
    while (!m_createdAt.isEmpty() && m_createdAt.first().secsTo(now) >= 60)
        m_createdAt.removeFirst();
    return m_created >= kMaxDemosPerSession || m_createdAt.size() >= kMaxDemosPerMinute;
}

void ViewerReception::appendBlock(QByteArrayView block)
{
    if (!m_file.isOpen()) {
        openDemoFile(block);
        ++m_created;
        m_createdAt.append(m_host.now());
    }
    try {
        if (!m_file.append(block)) {
            leaveEarlier();
            m_file.append(block);
        }
    } catch (const EDemoFileError &e) {
        // The session ends as for any demo file error; the user learns the reason.
        m_host.reportError(QString::fromStdString(e.what()));
        throw;
    }
    feedLive(block);
    feedFacts(block);
    showSize(m_file.size());
}

void ViewerReception::feedFacts(QByteArrayView block)
{
    if (!m_facts)
        return;
    const bool changed = m_facts->append(block);
    const qint64 second = m_facts->facts().clockMs / 1000;
    if (changed || second != m_factsSecond) {
        m_factsSecond = second;
        m_host.gameFactsChanged();
    }
}

void ViewerReception::feedLive(QByteArrayView block)
{
    try {
        m_live.append(block, clockMs());
    } catch (const EDemoFileError &e) {
        // The exact copy is what counts; a live copy that cannot grow just stops.
        m_live.close();
        m_host.tellUser(QStringLiteral("The live copy stopped: %1").arg(QString::fromStdString(e.what())));
    }
    if (m_live.refused() && !m_refusalTold) {
        // Told to the user when they ask to play it; the exact copy is kept whatever it holds.
        m_refusalTold = true;
        m_livePending = false;
        m_host.dispatcher().trace().line(QStringLiteral("live play not offered: %1").arg(m_live.refusal()));
    }
    if (m_livePending && m_live.caughtUp() && m_live.canPlayLive()) {
        m_livePending = false;
        startLive();
    }
    checkMoment();
}

void ViewerReception::openDemoFile(QByteArrayView first)
{
    DemoTransferState &s = m_host.demo();
    const QString gameDir = gameDirectory();
    if (!s.pending.isEmpty() && s.currentDemoPath.isEmpty()) {
        ViewerDemoFile::makeFolder(s.pending.first(), gameDir);
        s.currentDemoPath = s.pending.takeFirst();
    }
    if (s.currentDemoPath.isEmpty())
        throw EDemoFileError("demo data before any demo was announced");

    m_announcedPath = s.currentDemoPath;
    QString used = resumeEarlier(first);
    if (used.isEmpty())
        used = m_file.create(s.currentDemoPath, gameDir);
    else
        m_host.tellUser(QStringLiteral("Resuming %1 (%2 bytes already here)").arg(shownPath(used)).arg(m_file.held()));
    m_live.begin(int(s.watchedGameType), used);
    m_facts = std::make_unique<demo::FactsReader>(s.watchedGameType == GameType::Quake2 ? demo::Game::Quake2
                                                                                        : demo::Game::Quake3);
    m_factsSecond = -1;
    m_host.gameFactsChanged();
    m_currentRow = -1;
    // The Filmer's game began its next demo: the game played live follows it once it can.
    if (m_playingLive && m_host.settings().followDemos != 0 && !m_livePending) {
        m_livePending = true;
        m_host.tellUser(QStringLiteral("The Filmer began its next demo; the game follows it"));
    }
    takePath(used);
}

void ViewerReception::takePath(const QString &used)
{
    DemoTransferState &s = m_host.demo();
    if (used != s.currentDemoPath) {
        // A demo of the same name exists already and keeps its data, so the new file got a
        // numbered name, or the demo goes on in its earlier file. Rows that name this demo
        // must play the file it is in.
        if (QFileInfo(s.currentDemoPath).completeBaseName() == s.currentDemoName)
            s.currentDemoName = QFileInfo(used).completeBaseName();
        s.currentDemoPath = used;
    }
}

QString ViewerReception::resumeEarlier(QByteArrayView first)
{
    // Joining a game again brings its demo again from the start: recognised by the game's
    // name and by the bytes the demo begins with, never by the time in the name.
    const DemoTransferState &s = m_host.demo();
    const QStringList earlier = ViewerDemoFile::earlierDemos(QFileInfo(s.currentDemoPath).absolutePath(),
                                                             viewernaming::safeName(s.watchedGameName),
                                                             m_install.demoExtension);
    for (const QString &path : earlier) {
        if (m_file.resume(path, gameDirectory(), first))
            return path;
    }
    return {};
}

void ViewerReception::leaveEarlier()
{
    DemoTransferState &s = m_host.demo();
    const QString earlier = s.currentDemoPath;
    const qint64 matched = m_file.size();
    const QString used = m_file.branch(m_announcedPath, gameDirectory());
    takePath(used);
    m_live.setDemoPath(used);
    if (m_currentRow >= 0) {
        // The row listed plays the earlier file, which is not this demo; this demo gets its own.
        m_host.demoList()->setState(m_currentRow, DemoListModel::DemoState::Incomplete);
        m_currentRow = -1;
    }
    m_host.tellUser(QStringLiteral("%1 holds another demo from byte %2 on and stays as it was; this demo goes on in %3")
                        .arg(shownPath(earlier))
                        .arg(matched)
                        .arg(shownPath(used)));
}

void ViewerReception::showSize(qint64 size)
{
    m_host.setDataInLabel(QString::number(size));
    // A small demo is listed once its end came: before, it may be a demo that never starts.
    if (size <= kListThreshold && !m_live.ended())
        return;
    if (m_currentRow < 0)
        listCurrent();
    DemoListModel *list = m_host.demoList();
    list->setLastData(QString::number(size / 1000) + QStringLiteral("k "));
    if (m_live.ended())
        list->setState(m_currentRow, DemoListModel::DemoState::Ended);
}

void ViewerReception::listCurrent()
{
    const DemoTransferState &s = m_host.demo();
    DemoListModel *list = m_host.demoList();
    if (list->rowCount() == 0 || list->lastName() != s.currentDemoName) {
        // The row is the current demo's before the list tells of it: a double-click on its
        // arrival (arbelon-cli --play) plays it live.
        m_currentRow = list->rowCount();
        m_host.demo().listedNames.append(s.currentDemoName);
        list->appendRow(s.currentDemoName);
    }
    m_currentRow = list->rowCount() - 1;
}

// ---- playback -------------------------------------------------------------------

bool ViewerReception::liveOffered(int row) const
{
    return row >= 0 && row == m_currentRow && !m_live.ended() && m_live.canPlayLive();
}

void ViewerReception::DemoListDblClick(int row)
{
    if (liveOffered(row)) {
        playLive(row);
        return;
    }
    if (row >= 0 && row == m_currentRow && m_live.refused())
        m_host.tellUser(QStringLiteral("Live play is not offered for this demo: %1; playing it from the start")
                            .arg(m_live.refusal()));
    playFromStart(row);
}

void ViewerReception::playLive(int row)
{
    if (m_host.role() == Role::Filmer || row < 0 || row >= m_host.demo().listedNames.size())
        return;
    if (!liveOffered(row)) {
        m_host.tellUser(m_live.refused() && row == m_currentRow
                            ? QStringLiteral("Live play is not offered for this demo: %1").arg(m_live.refusal())
                            : QStringLiteral("Live play is offered only for the demo still arriving"));
        return;
    }
    // The question waits for the user, and blocks go on arriving meanwhile.
    if (!mayStartGame() || !liveOffered(row))
        return;
    m_live.stopSeeking();
    if (!m_live.caughtUp()) {
        m_livePending = true;
        m_host.tellUser(QStringLiteral("Catching up with the game: live play starts once the demo has arrived"));
        return;
    }
    startLive();
}

void ViewerReception::startLive()
{
    // The game the client started for live play gives way to the new copy; a game the user
    // started from the start is asked about by the window, not here.
    ProgramStarter *starter = m_host.programStarter();
    if (m_playingLive && starter)
        starter->stopStarted();
    QString path;
    try {
        path = m_live.startCopy(gameDirectory(), m_startupMs);
    } catch (const EDemoFileError &e) {
        m_playingLive = false;
        m_host.tellUser(QStringLiteral("Cannot play live: %1").arg(QString::fromStdString(e.what())));
        return;
    }
    m_host.tellUser(QStringLiteral("Playing live, %1 s behind the newest data once the game has started (margin %2 s)")
                        .arg((m_live.startBehindMs() + m_startupMs + 500) / 1000)
                        .arg(m_live.marginMs() / 1000));
    playCopy(path);
}

void ViewerReception::playCopy(const QString &path)
{
    enableGameLog();
    m_gameLog.watch(gameLogs());
    m_playingLive = launch(QFileInfo(path).completeBaseName(), true);
    m_launchedAt = clockMs();
}

QString ViewerReception::momentRefusal() const
{
    if (m_host.role() != Role::Viewer || !m_watching)
        return QStringLiteral("No game is being watched");
    if (!m_file.isOpen())
        return QStringLiteral("No demo of the watched game is arriving");
    if (m_live.refused())
        return QStringLiteral("This demo cannot be read: %1").arg(m_live.refusal());
    return {};
}

bool ViewerReception::playFromMoment(qint64 serverTimeMs, QString *why)
{
    const auto refuse = [why](const QString &reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (const QString no = momentRefusal(); !no.isEmpty())
        return refuse(no);
    // The question waits for the user; blocks go on arriving meanwhile, and the lobby may go.
    if (!mayStartGame())
        return refuse(QStringLiteral("The game was left as it is"));
    if (const QString no = momentRefusal(); !no.isEmpty())
        return refuse(no);
    const qint64 fromMs = std::max(serverTimeMs, std::numeric_limits<qint64>::min() + kMomentLeadMs) - kMomentLeadMs;
    m_livePending = false;
    QString path;
    try {
        path = m_live.seekMoment(fromMs, m_file, gameDirectory());
    } catch (const EDemoFileError &e) {
        return refuse(QStringLiteral("Cannot play from that moment: %1").arg(QString::fromStdString(e.what())));
    }
    if (!path.isEmpty()) {
        startMoment(path);
        return true;
    }
    const demo::MomentCopy &seek = *m_live.soughtMoment();
    if (seek.state() != demo::MomentCopy::State::Seeking) {
        const QString reason = seek.state() == demo::MomentCopy::State::Refused
                                   ? QStringLiteral("This demo cannot be read: %1").arg(seek.refusal())
                                   : QStringLiteral("Game time %1 is after the end of this demo (%2)")
                                         .arg(seconds(fromMs), seconds(seek.newestTimeMs()));
        m_live.stopSeeking();
        return refuse(reason);
    }
    m_host.tellUser(QStringLiteral("Game time %1 has not arrived yet (the demo is at %2): the game starts once it has")
                        .arg(seconds(fromMs), seconds(seek.newestTimeMs())));
    return true;
}

void ViewerReception::checkMoment()
{
    const demo::MomentCopy *seek = m_live.soughtMoment();
    if (!seek)
        return;
    if (seek->started()) {
        QString path;
        try {
            path = m_live.startMomentCopy(gameDirectory());
        } catch (const EDemoFileError &e) {
            m_live.stopSeeking();
            m_host.tellUser(QStringLiteral("Cannot play from that moment: %1").arg(QString::fromStdString(e.what())));
            return;
        }
        startMoment(path);
    } else if (seek->state() != demo::MomentCopy::State::Seeking) {
        m_host.tellUser(seek->state() == demo::MomentCopy::State::Refused
                            ? QStringLiteral("Cannot play from that moment: %1").arg(seek->refusal())
                            : QStringLiteral("Game time %1 was not reached in this demo").arg(seconds(seek->fromMs())));
        m_live.stopSeeking();
    }
}

// The moment's copy is written: the game the client started gives way to it, as for live play.
void ViewerReception::startMoment(const QString &path)
{
    ProgramStarter *starter = m_host.programStarter();
    if (m_playingLive && starter)
        starter->stopStarted();
    m_host.tellUser(QStringLiteral("Playing from game time %1").arg(seconds(m_live.momentStartMs())));
    playCopy(path);
}

// The game played live tells through its console log that it reached the end of what has
// arrived, so its log is switched on as the Filmer's game's is.
void ViewerReception::enableGameLog()
{
    const QString path = m_install.autoexecPath(m_host.demo().watchedMod);
    if (path.isEmpty())
        return;
    try {
        autoexec::ensureLogging(path, m_install.engine.loggingLine);
    } catch (const autoexec::NotAFile &) {
        m_host.dispatcher().trace().line(QStringLiteral("%1 is no regular file; left alone").arg(path));
    } catch (const std::exception &e) {
        // Without the log the game still plays live; it is not started again at the edge.
        m_host.dispatcher().trace().line(QString::fromStdString(e.what()));
    }
}

QStringList ViewerReception::gameLogs() const
{
    // The base game's log wins when both are there, as for the Filmer.
    QStringList logs = m_install.logCandidates(m_host.demo().watchedMod);
    std::reverse(logs.begin(), logs.end());
    return logs;
}

void ViewerReception::LiveLogTimer()
{
    if (!m_playingLive)
        return;
    const bool edge = m_gameLog.edgeReached();
    if (m_gameLog.takeStarted())
        m_startupMs = qBound<qint64>(0, clockMs() - m_launchedAt, demo::LiveDemo::kMaxMarginMs);
    if (!edge)
        return;
    // The end of a demo that ended is the end of the match; only a copy still growing goes on.
    if (m_live.ended() || !m_live.canPlayLive())
        return;
    m_host.tellUser(QStringLiteral("The game reached the end of what has arrived; it starts again at the live edge"));
    startLive();
}

void ViewerReception::playFromStart(int row)
{
    if (m_host.role() == Role::Filmer)
        return;
    const DemoTransferState &s = m_host.demo();
    if (row < 0 || row >= s.listedNames.size())
        return;
    // A lobby left while the question waited took its rows with it.
    if (!mayStartGame() || row >= s.listedNames.size())
        return;
    m_playingLive = false;
    m_livePending = false;
    m_live.stopSeeking();
    m_gameLog.stop();
    launch(s.listedNames.at(row), false);
}

bool ViewerReception::mayStartGame()
{
    // Only the user's own starts are asked about: the restart at the live edge and the follow
    // to the next demo replace the game this client started.
    const ProgramStarter *starter = m_host.programStarter();
    GameRunningCheck *check = m_host.gameRunningCheck();
    const bool running = (starter && starter->startedRunning())
                         || (check && check->isRunning(int(m_host.demo().watchedGameType)));
    if (!running || !m_confirm)
        return true;
    return m_confirm(QStringLiteral("%1 is already running. Start it again with this demo?").arg(m_install.engine.title));
}

bool ViewerReception::launch(const QString &name, bool live)
{
    DemoTransferState &s = m_host.demo();
    s.launchArguments = m_install.playArguments(s.watchedMod, name);
    // A Quake 3 engine runs "nextdemo" when a demo ends: the marker in its log tells the end
    // of a live copy from the game's own menu.
    if (live && s.watchedGameType == GameType::Quake3)
        s.launchArguments << QStringLiteral("+set") << QStringLiteral("nextdemo")
                          << QStringLiteral("echo ") + QLatin1String(ViewerGameLog::kEdgeMarker);

    // Without a program there is nothing to start (and no search along PATH).
    const QString folder = m_install.workingDirectory();
    ProgramStarter *starter = m_host.programStarter();
    if (!starter)
        return false;
    if (folder.isEmpty()) {
        m_host.tellUser(QStringLiteral("Cannot play the demo: no program is set up for %1").arg(m_install.engine.title));
        return false;
    }
    if (!starter->start(s.gameProgramPath, s.launchArguments, folder)) {
        m_host.tellUser(QStringLiteral("Cannot start %1").arg(s.gameProgramPath));
        return false;
    }
    return true;
}

} // namespace arbelon
