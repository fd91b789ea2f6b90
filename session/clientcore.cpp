#include "clientcore.h"

#include "demolistmodel.h"
#include "eventfeedmodel.h"
#include "relaydetails.h"
#include "scoreboardmodel.h"
#include "filmerupload.h"
#include "gamelistmodel.h"
#include "gamerunning.h"
#include "programstarter.h"
#include "twsocket.h"
#include "userprompts.h"
#include "viewerdemofile.h"
#include "viewerreception.h"

#include "serveraddress.h"

#include <QStringListModel>
#include <stdexcept>

namespace arbelon {

namespace {
constexpr int kSendBufferBlock = 650000;
constexpr int kTickMs = 1000;
constexpr qsizetype kMaxChatLines = 20000;

// Marks a socket event as being handled, however the handler ends.
class SocketEventScope {
public:
    explicit SocketEventScope(int &depth) : m_depth(depth) { ++m_depth; }
    ~SocketEventScope() { --m_depth; }
    SocketEventScope(const SocketEventScope &) = delete;
    SocketEventScope &operator=(const SocketEventScope &) = delete;

private:
    int &m_depth;
};
}

ClientCore::ClientCore(QObject *parent)
    : QObject(parent),
      m_socket(new TWSocket(this)),
      m_gameList(new GameListModel(this)),
      m_users(new QStringListModel(this)),
      m_demoList(new DemoListModel(this)),
      m_details(new RelayDetails(this)),
      m_scoreBoard(new ScoreBoardModel(this)),
      m_eventFeed(new EventFeedModel(this)),
      m_defaultStarter(std::make_unique<DetachedProgramStarter>()),
      m_defaultGameRunning(std::make_unique<SystemGameRunningCheck>()),
      m_viewer(std::make_unique<ViewerReception>(*this)),
      m_filmer(std::make_unique<FilmerUpload>(*this))
{
    m_starter = m_defaultStarter.get();
    m_gameRunning = m_defaultGameRunning.get();

    m_dispatcher.setSendFunction([this](const QByteArray &r) { m_socket->Send(r); });
    m_dispatcher.setConnectedFunction([this] { return connected(); });
    m_dispatcher.trace().setLineHandler([this](const QString &l) { emit traceLine(l); });

    m_dispatcher.setHandler(GAMEINFODETAILED, [this] { return handleGameInfoDetailed(); });
    m_dispatcher.setHandler(ACKNAK, [this] { return handleAckNak(); });
    m_dispatcher.setHandler(SENDTEXT, [this] { return handleSendText(); });
    m_dispatcher.setHandler(DEMOPACKET, [this] { return m_viewer->handleDemoPacket(); });
    m_dispatcher.setHandler(GAMEREMOVED, [this] { return handleGameRemoved(); });
    m_dispatcher.setHandler(DEMORESTART, [this] { return m_viewer->handleDemoRestart(); });
    // The user's second start of the game while it runs is asked about through the prompts.
    m_viewer->setConfirm([this](const QString &question) { return !m_prompts || m_prompts->confirm(question); });
    m_dispatcher.setHandler(USERENTERED, [this] { return handleUserEntered(); });
    m_dispatcher.setHandler(USERLEFT, [this] { return handleUserLeft(); });

    connect(m_details, &RelayDetails::detailsRead, m_gameList, &GameListModel::setDetails);
    connect(m_details, &RelayDetails::unavailable, this, [this](const QString &why) {
        m_dispatcher.trace().line(QStringLiteral("what is on in the games is not shown: %1").arg(why));
    });

    m_socket->OnSessionConnected = [this](int e) { DemoClientSessionConnected(e); };
    m_socket->OnDataAvailable = [this](int e) { DemoClientDataAvailable(e); };
    m_socket->OnSessionClosed = [this](int e) { DemoClientSessionClosed(e); };

    m_logFileScan.setInterval(kTickMs);
    m_outDemoStream.setInterval(kTickMs);
    connect(&m_logFileScan, &QTimer::timeout, this,
            [this] { runGuarded([this] { m_filmer->LogFileScanTimer(); }); });
    connect(&m_outDemoStream, &QTimer::timeout, this,
            [this] { runGuarded([this] { m_filmer->OutDemoStreamTimer(); }); });
    m_liveLog.setInterval(kTickMs);
    connect(&m_liveLog, &QTimer::timeout, this, [this] { runGuarded([this] { m_viewer->LiveLogTimer(); }); });
    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, &ClientCore::connectTimedOut);
    m_answerTimer.setSingleShot(true);
    connect(&m_answerTimer, &QTimer::timeout, this, &ClientCore::noAnswerTimedOut);
}

void ClientCore::setGameOutputFile(const QString &path)
{
    m_defaultStarter->setOutputFile(path);
}

ClientCore::~ClientCore()
{
    // The socket must not call back into a half-destroyed core.
    m_socket->OnSessionConnected = nullptr;
    m_socket->OnDataAvailable = nullptr;
    m_socket->OnSessionClosed = nullptr;
    m_logFileScan.stop();
    m_outDemoStream.stop();
    m_liveLog.stop();
    m_connectTimer.stop();
    m_answerTimer.stop();
}

bool ClientCore::connected() const
{
    return m_socket->State() == TWSocket::wsConnected;
}

void ClientCore::runGuarded(const std::function<void()> &fn)
{
    try {
        fn();
    } catch (const std::exception &e) {
        const QString text = QString::fromUtf8(e.what());
        if (m_socketEventDepth > 0) {
            // A modal box runs the event loop, and with it the socket's next events, while a
            // record is still being handled: the same record would be handled again inside.
            QMetaObject::invokeMethod(
                this, [this, text] { if (m_prompts) m_prompts->showError(text); }, Qt::QueuedConnection);
            return;
        }
        if (m_prompts)
            m_prompts->showError(text);
    }
}

void ClientCore::reportError(const QString &text)
{
    QMetaObject::invokeMethod(
        this, [this, text] { if (m_prompts) m_prompts->showError(text); }, Qt::QueuedConnection);
}

// ---- labels -----------------------------------------------------------------

GameInstall ClientCore::gameInstall(GameType gameType) const
{
    const bool q3 = gameType == GameType::Quake3;
    const QString id = q3 ? m_settings.quake3Engine : m_settings.quake2Engine;
    std::optional<EngineProfile> engine = engineprofiles::find(m_engines, id);
    // An engine that is not known (a profile file that lost it) falls back to the program
    // the game always had, rather than to nothing.
    if (!engine || engine->gameType != (q3 ? 1 : 0))
        engine = engineprofiles::original(q3 ? 1 : 0);
    const QStringList path = engineprofiles::pathFolders();
    return GameInstall::make(*engine, q3 ? m_settings.quake3Dir : m_settings.quake2Dir,
                             q3 ? m_settings.quake3Program : m_settings.quake2Program,
                             q3 ? m_settings.quake3DemoExtension : QString(), path);
}

void ClientCore::setDataInLabel(const QString &t)
{
    m_dataInLabel = t;
    notify();
    emit dataInChanged();
}

void ClientCore::setGoodLabel(const QString &t)
{
    m_goodLabel = t;
    notify();
}

void ClientCore::countRefusedBlock()
{
    ++m_refusedBlocks;
    notify();
}

void ClientCore::notify()
{
    emit changed();
    if (const SessionState s = sessionState(); s != m_toldState) {
        m_toldState = s;
        emit sessionStateChanged(s);
    }
    if (m_role != m_toldRole) {
        m_toldRole = m_role;
        emit roleChanged(m_role);
    }
    if (const GameType t = gameType(); t != m_toldGameType) {
        m_toldGameType = t;
        emit gameTypeChanged(t);
    }
    if (m_statusText != m_toldStatus) {
        m_toldStatus = m_statusText;
        emit statusTextChanged(m_statusText);
    }
}

SessionState ClientCore::sessionState() const
{
    switch (m_socket->State()) {
    case TWSocket::wsConnected:
        if (!m_answered)
            return SessionState::Connecting;
        return m_inLobby ? SessionState::InLobby : SessionState::Connected;
    case TWSocket::wsClosed: return SessionState::Disconnected;
    default: return SessionState::Connecting;
    }
}

// ---- navigation ---------------------------------------------------------------

void ClientCore::setPage(int page)
{
    m_page = page;
    notify();
}

void ClientCore::selectNode(int node)
{
    // Leaving Setup saves the settings, whoever moves the selection.
    if (m_selectedNode == NodeSetup && m_saveSettings)
        runGuarded(m_saveSettings);
    m_selectedNode = node;
    switch (node) {
    case NodeGamesList: setPage(GameListSheet); break;
    case NodeSetup: setPage(SetupSheet); break;
    default: setPage(IntroSheet); break;
    }
}

void ClientCore::shutdown()
{
    if (m_saveSettings)
        runGuarded(m_saveSettings);
}

// ---- connecting -----------------------------------------------------------------

void ClientCore::connectWithDialog()
{
    // Also while an attempt is pending: a second dialog would change the role and the values
    // that the pending attempt's hello is about to use.
    if (m_socket->State() != TWSocket::wsClosed)
        return;
    while (!connectProcedure()) {
    }
}

bool ClientCore::connectProcedure()
{
    if (!m_prompts)
        return true;
    ConnectValues v;
    v.serverAddress = m_settings.serverIP;
    v.password = m_password;
    v.role = m_role;
    v.gameName = m_settings.lastEnteredName;
    v.gameType = m_settings.gameTypeSystem;
    v.mod = m_settings.modTypeSystem;
    if (!m_prompts->runConnectDialog(v))
        return true;
    if (const QString refusal = connectRefusal(v); !refusal.isEmpty()) {
        // Kept for the next dialog; the fix lies on the Setup page, not in the dialog.
        m_settings.serverIP = v.serverAddress;
        m_password = v.password;
        m_role = v.role;
        m_gameName = v.gameName;
        m_settings.lastEnteredName = v.gameName;
        m_prompts->showMessage(refusal);
        selectNode(NodeSetup);
        notify();
        return true;
    }
    try {
        connectTo(v);
        m_dialogAttempt = true;
    } catch (const std::exception &) {
        m_prompts->showMessage(QStringLiteral("Cannot Connect"));
        return false;
    }
    return true;
}

void ClientCore::connectTo(const ConnectValues &v)
{
    const std::optional<ServerAddress> address = ServerAddress::parse(v.serverAddress);
    if (!address)
        throw std::runtime_error("the address is not a host name or an IP address, with an optional :PORT after it");
    m_settings.serverIP = v.serverAddress.trimmed();
    m_password = v.password;
    m_role = v.role;
    m_settings.gameTypeSystem = v.gameType;
    m_settings.modTypeSystem = v.mod;
    m_gameName = v.gameName;
    m_settings.lastEnteredName = v.gameName;

    // A port in the address wins over the role's own; a watch link names its port apart.
    quint16 port = m_role == Role::Filmer ? kFilmerPort : kViewerPort;
    if (address->port != 0)
        port = address->port;
    else if (v.serverPort != 0)
        port = v.serverPort;
    m_dialogAttempt = false;
    m_socket->setAddr(address->host);
    m_socket->setProto(QStringLiteral("tcp"));
    m_socket->setBufSize(kSendBufferBlock);
    m_socket->setPort(QString::number(port));
    m_host = address->host;
    m_socket->Connect();
    m_settings.rememberServer(m_settings.serverIP);
    m_endReason.clear();
    m_userEnded = false;
    m_answered = false;
    m_statusText = QStringLiteral("Connecting to %1\u2026").arg(m_host);
    m_connectTimer.start(qMax(1, m_settings.connectTimeoutSeconds) * 1000);
    notify();
}

void ClientCore::confirmAndDisconnect()
{
    if (!connected())
        return;
    const quint64 generation = m_connectionGeneration;
    if (m_prompts && !m_prompts->confirm(QStringLiteral("Are you sure you wish to disconnect?")))
        return;
    // The link may have died while the question was open.
    if (generation != m_connectionGeneration || !connected())
        return;
    disconnectFromServer();
}

void ClientCore::DemoClientSessionConnected(int error)
{
    const SocketEventScope scope(m_socketEventDepth);
    m_connectTimer.stop();
    if (error != 0) {
        // The attempt failed; the closed event that follows resets the window.
        noteEnd(socketErrorText(error));
        emit connectionFailed(socketErrorText(error));
        if (error == TWSocket::errorCode(QAbstractSocket::HostNotFoundError) && m_dialogAttempt && m_prompts) {
            m_retryingDialog = true; // "Cannot Connect" and the dialog tell it; no second box
            // The name is looked up after the dialog has closed; a name that cannot be used
            // brings the dialog back with what was typed, once the close has reset the window.
            QMetaObject::invokeMethod(
                this, [this] {
                    if (!m_prompts || m_socket->State() != TWSocket::wsClosed)
                        return;
                    m_prompts->showMessage(QStringLiteral("Cannot Connect"));
                    connectWithDialog();
                },
                Qt::QueuedConnection);
        }
        return;
    }
    const quint64 generation = ++m_connectionGeneration;
    // A relay that takes the connection and says nothing would look connected for ever.
    m_answerTimer.start(qMax(1, m_settings.connectTimeoutSeconds) * 1000);

    selectNode(NodeGamesList);
    m_demo.pending.clear();
    m_demo.listedNames.clear();
    m_dispatcher.buffer().clear();
    setState(ssIdle);

    if (m_role == Role::Viewer) {
        m_viewer->sessionConnected();
        m_statusText = QStringLiteral("Connected as Viewer");
        notify();
        emit sessionStarted();
        SendPacket(buildUserInfo(encodeText(m_settings.userName, rec::uiUserNameWidth - 1)), ssUserInfo);
    } else {
        m_statusText = QStringLiteral("Connected as Filmer");
        notify();
        m_filmer->prepare();
        emit sessionStarted();
        // Each text goes out by the protocol's text rule, cut to its field between characters.
        SendPacket(buildGameInfo(m_settings.gameTypeSystem,
                                 encodeText(m_settings.modTypeSystem, rec::giModNameWidth - 1),
                                 encodeText(m_settings.userName, rec::giUserNameWidth - 1),
                                 encodeText(m_password, rec::giPasswordWidth - 1),
                                 encodeText(m_gameName, rec::giGameNameWidth - 1)),
                   ssGameInfo);
    }

    // A send that finds the connection broken has already run the closed handling:
    // do not turn the buttons back on for a session that is gone.
    if (generation != m_connectionGeneration || !connected())
        return;
    m_disconnectEnabled = true;
    m_connectEnabled = false;
    notify();
}

void ClientCore::DemoClientDataAvailable(int)
{
    const SocketEventScope scope(m_socketEventDepth);
    if (!m_answered) {
        m_answered = true;
        m_answerTimer.stop();
        notify();
    }
    try {
        m_dispatcher.dataAvailable(m_socket->Receive());
    } catch (const EDemoFileError &e) {
        noteEnd(QStringLiteral("The demo could not be written: %1").arg(QString::fromUtf8(e.what())));
        throw;
    } catch (const std::exception &e) {
        // The socket ends the connection; the reason is told when it has closed.
        noteEnd(QStringLiteral("Bad data from the relay: %1").arg(QString::fromUtf8(e.what())));
        throw;
    }
}

void ClientCore::DemoClientSessionClosed(int error)
{
    const SocketEventScope scope(m_socketEventDepth);
    m_connectTimer.stop();
    m_answerTimer.stop();
    noteEnd(socketErrorText(error));
    const bool tellUser = watchingOrFilming() && !m_retryingDialog;
    m_retryingDialog = false;
    ++m_connectionGeneration;
    stopTimers();
    demoCloseAll();
    m_optionTreeVisible = true;
    selectNode(NodeArbelon);
    m_statusText.clear();
    m_disconnectEnabled = false;
    m_connectEnabled = true;
    // The list is emptied: no row is left to watch.
    m_details->stop();
    m_gameList->clear();
    m_demo.pending.clear();
    // Only a lobby entered is closed: a failed attempt goes back to where it started.
    if (m_inLobby)
        closeLobby();
    m_answered = false;
    notify();
    emit sessionEnded();
    if (!m_userEnded && !m_endReason.isEmpty())
        emit sessionLost(m_endReason, tellUser);
}

// ---- record handlers --------------------------------------------------------------

bool ClientCore::handleGameInfoDetailed()
{
    const QByteArrayView f = m_dispatcher.front();
    if (f.size() < rec::kGameInfoDetailedSize)
        return false;
    const GameInfoDetailedReader r{f};
    GameRow row;
    row.id = r.gameId();
    row.name = r.gameName();
    row.gameType = GameListModel::gameTypeFromWire(r.gameType());
    row.mod = r.modName();
    row.users = r.users();
    m_gameList->addOrReplace(row);
    m_dispatcher.consumeAndAck(rec::kGameInfoDetailedSize);
    return true;
}

bool ClientCore::handleGameRemoved()
{
    const QByteArrayView f = m_dispatcher.front();
    if (f.size() < rec::kGameRemovedSize)
        return false;
    const GameId id = GameRemovedReader{f}.gameId();
    m_gameList->removeId(id);
    m_dispatcher.consumeAndAck(rec::kGameRemovedSize);
    if (m_inLobby && m_role == Role::Viewer && m_watchedGame == id && !m_gameEnded) {
        // The lobby stays as it is, chat and demos readable, until the user leaves it.
        m_gameEnded = true;
        const QString line = QStringLiteral("The game has ended");
        m_chatLines.append(line);
        emit chatLineAdded(line);
        m_statusText = line;
        notify();
        emit notice(line);
    }
    return true;
}

bool ClientCore::handleUserEntered()
{
    const QByteArrayView f = m_dispatcher.front();
    if (f.size() < rec::kUserRecordSize)
        return false;
    const QString name = decodeText(UserRecordReader{f}.userName());
    const int n = m_users->rowCount();
    if (n < kMaxUsers) {
        m_users->insertRows(n, 1);
        m_users->setData(m_users->index(n), name);
    }
    m_dispatcher.consumeAndAck(rec::kUserRecordSize);
    return true;
}

bool ClientCore::handleUserLeft()
{
    const QByteArrayView f = m_dispatcher.front();
    if (f.size() < rec::kUserRecordSize)
        return false;
    const QString name = decodeText(UserRecordReader{f}.userName());
    const QStringList list = m_users->stringList();
    for (int i = 0; i < list.size(); ++i) {
        if (list.at(i).compare(name, Qt::CaseInsensitive) == 0) {
            m_users->removeRows(i, 1);
            break;
        }
    }
    m_dispatcher.consumeAndAck(rec::kUserRecordSize);
    return true;
}

bool ClientCore::handleSendText()
{
    const QByteArrayView f = m_dispatcher.front();
    if (f.size() < rec::kSendTextSize)
        return false;
    const SendTextReader r{f};
    // One record is one line: a control character (a line feed forging a "<server>" line)
    // is shown as "\xNN".
    const QString name = escapeControls(decodeText(r.userName()));
    const QString text = escapeControls(decodeText(r.text()));
    const QString line = name.isEmpty() ? text : QStringLiteral("<") + name + QStringLiteral("> ") + text;
    m_chatLines.append(line);
    // A relay can send chat without end; the oldest lines go first.
    if (m_chatLines.size() > kMaxChatLines)
        m_chatLines.removeFirst();
    emit chatLineAdded(line);
    m_dispatcher.consumeAndAck(rec::kSendTextSize);
    return true;
}

bool ClientCore::handleAckNak()
{
    const QByteArrayView f = m_dispatcher.front();
    if (f.size() < rec::kAckNakSize)
        return false;
    const quint8 result = AckNakReader{f}.result();
    if (result == 0) {
        switch (state()) {
        case ssWaitForGame: enterLobby(); break;
        case ssLeaveGame: closeLobby(); break;
        case ssGameInfo:
            m_filmer->uploadStart();
            enterLobby();
            break;
        case ssUserInfo:
            setState(ssIdle);
            startDetails(AckNakReader{f}.webPort());
            break;
        case ssDemoPacket: m_filmer->blockAccepted(); break;
        case ssSendText: setState(ssInLobby); break;
        case ssDemoRestart: m_filmer->nextDemo(); break;
        default: break;
        }
    } else {
        handleRefusal(result);
    }
    // The effect may have reset the buffer (a session that ended inside it); only a record
    // still at the front is taken off.
    if (m_dispatcher.buffer().size() >= rec::kAckNakSize)
        m_dispatcher.consume(rec::kAckNakSize);
    return true;
}

// ---- lobby -------------------------------------------------------------------------

void ClientCore::selectGame(std::optional<GameId> id)
{
    m_gameList->setSelectedId(id);
    notify();
}

std::optional<GameId> ClientCore::selectedGame() const
{
    return m_gameList->selectedId();
}

bool ClientCore::watchGameEnabled() const
{
    return m_gameList->selectedRow() >= 0 && !m_inLobby && state() == ssIdle
           && sessionState() == SessionState::Connected;
}

bool ClientCore::watchGame(GameId id)
{
    const int sel = m_gameList->rowOf(id);
    if (sel < 0 || state() != ssIdle || m_inLobby)
        return false;
    if (const QString refusal = watchRefusal(id); !refusal.isEmpty()) {
        if (m_prompts)
            m_prompts->showMessage(refusal);
        // The fix is a folder on the Setup page: that is where the user goes next.
        selectNode(NodeSetup);
        notify();
        return false;
    }
    const GameRow &row = m_gameList->row(sel);
    const QString name = decodeText(row.name);
    m_demo.watchedGameName = name;
    m_demo.currentDemoName = name + now().toString(QStringLiteral("ddMMyy_HHmmss"));
    if (row.gameType) {
        m_demo.watchedGameType = *row.gameType;
        m_settings.gameTypeSystem = int(*row.gameType);
    }
    m_demo.watchedMod = decodeText(row.mod);
    m_settings.modTypeSystem = m_demo.watchedMod;
    m_watchedGame = id;
    SendPacket(buildWaitForGame(qint32(row.id)), ssWaitForGame);
    notify();
    return state() == ssWaitForGame;
}

bool ClientCore::sendChat(const QString &text)
{
    if (state() != ssInLobby)
        return false;
    // At most 255 bytes, cut between characters; the line told when refused is what went.
    const QByteArray line = encodeText(text, 255);
    m_pendingLine = decodeText(line);
    SendPacket(buildSendText({}, line), ssSendText);
    return true;
}

void ClientCore::leaveLobby()
{
    if (state() != ssInLobby)
        return;
    SendPacket(buildLeaveGame(), ssLeaveGame);
}

void ClientCore::playDemo(DemoId demo, PlayFrom from)
{
    switch (from) {
    case PlayFrom::Auto: m_viewer->DemoListDblClick(demo); break;
    case PlayFrom::Live: m_viewer->playLive(demo); break;
    case PlayFrom::Start: m_viewer->playFromStart(demo); break;
    }
}

bool ClientCore::liveOffered(DemoId demo) const
{
    return m_viewer->liveOffered(demo);
}

bool ClientCore::playFromMoment(qint64 serverTimeMs, QString *why)
{
    return m_viewer->playFromMoment(serverTimeMs, why);
}

void ClientCore::enterLobby()
{
    const int need = m_role == Role::Filmer ? ssGameInfo : ssWaitForGame;
    if (state() != need)
        return;
    m_optionTreeVisible = false;
    m_chatLines.clear();
    emit chatCleared();
    m_users->setStringList({});
    setGameNameLabel(m_role == Role::Filmer ? m_gameName : m_demo.watchedGameName);
    m_modTypeLabel = m_settings.modTypeSystem;
    m_gameEnded = false;
    if (m_role == Role::Filmer) {
        runGuarded([this] { m_filmer->enableLog(); });
    } else {
        m_viewer->prepareLobby();
        m_leaveRoomEnabled = true;
        m_liveLog.start();
    }
    m_inLobby = true;
    setState(ssInLobby);
    setPage(LobbySheet);
    emit lobbyEntered();
}

void ClientCore::closeLobby()
{
    stopTimers();
    m_inLobby = false;
    // The ended game's line belongs to its lobby: back in the list, the session's own.
    if (std::exchange(m_gameEnded, false) && connected())
        m_statusText = QStringLiteral("Connected as Viewer");
    setState(ssIdle);
    m_optionTreeVisible = true;
    selectNode(NodeArbelon);
    m_leaveRoomEnabled = false;
    demoCloseAll();
    selectNode(NodeGamesList);
    // The watched game stays selected while it is listed, so that Watch acts on what is shown.
    m_gameList->setSelectedId(m_watchedGame);
    m_watchedGame.reset();
    notify();
    emit lobbyLeft();
}

void ClientCore::stopTimers()
{
    m_outDemoStream.stop();
    m_logFileScan.stop();
    m_liveLog.stop();
    ++m_timerStops;
}

void ClientCore::demoCloseAll()
{
    m_viewer->demoClose();
    m_viewer->removeLiveCopies();
    m_filmer->closeFiles();
}

} // namespace arbelon
