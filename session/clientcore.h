#pragma once
// The client's logic without widgets: the relay connection, the session state, the lobby's
// lists, and the Viewer's and Filmer's demo work. The window shows this object's state and
// forwards the user's actions to it; the headless client drives the same object.

#include "dispatcher.h"
#include "sessiontypes.h"
#include "transferhost.h"
#include "userprompts.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

class QStringListModel;

namespace arbelon {

class TWSocket;
class GameListModel;
class DemoListModel;
class GameRunningCheck;
class ProgramStarter;
class DetachedProgramStarter;
class ViewerReception;
class FilmerUpload;
class RelayDetails;
class ScoreBoardModel;
class EventFeedModel;
namespace demo {
struct GameFacts;
}

class ClientCore : public QObject, public TransferHost {
    Q_OBJECT
public:
    // Option tree nodes and the page each shows.
    enum Node { NodeArbelon = 0,
                NodeGamesList = 1,
                NodeSetup = 2 };
    enum Page { IntroSheet = 0,
                GameListSheet = 1,
                SetupSheet = 2,
                LobbySheet = 3 };
    // A lobby never holds this many users; more would only be a relay filling our memory.
    static constexpr int kMaxUsers = 10000;

    explicit ClientCore(QObject *parent = nullptr);
    ~ClientCore() override;

    // ---- platform services (not owned; defaults are used when unset) ----
    void setPrompts(UserPrompts *p) { m_prompts = p; }
    void setGameRunningCheck(GameRunningCheck *c) { m_gameRunning = c; }
    void setProgramStarter(ProgramStarter *s) { m_starter = s; }
    // Where the default starter puts the game's console output; empty: this program's own.
    void setGameOutputFile(const QString &path);
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }
    // Called wherever the settings are to be saved (leaving Setup, the end).
    void setSaveSettings(std::function<void()> fn) { m_saveSettings = std::move(fn); }

    UserPrompts *prompts() const { return m_prompts; }
    GameRunningCheck *gameRunningCheck() const override { return m_gameRunning; }
    ProgramStarter *programStarter() const override { return m_starter; }
    QDateTime now() const override { return m_clock ? m_clock() : QDateTime::currentDateTime(); }

    // The engines known (built in, and the user's profile file); the built-in ones until set.
    void setEngines(const QList<EngineProfile> &engines) { m_engines = engines; }
    const QList<EngineProfile> &engines() const { return m_engines; }
    GameInstall gameInstall(GameType gameType) const override;
    // The native engines of a game type whose program is on this machine.
    QList<EngineProfile> installedEngines(GameType gameType) const;
    // Sets the engine of a game type; a native engine brings its own data folder and program.
    void chooseEngine(GameType gameType, const QString &id);
    void tellUser(const QString &text) override { emit noticeLine(text); }

    // ---- settings and session values ----
    ClientSettings &settings() override { return m_settings; }
    const ClientSettings &settings() const override { return m_settings; }
    QString password() const { return m_password; }
    QString gameName() const { return m_gameName; }
    int state() const override { return m_dispatcher.state(); }
    void setState(int s) override { m_dispatcher.setState(s); }
    DemoTransferState &demo() override { return m_demo; }
    const DemoTransferState &demo() const override { return m_demo; }

    // ---- the connection ----
    TWSocket &DemoClient() { return *m_socket; }
    PacketDispatcher &dispatcher() override { return m_dispatcher; }
    bool connected() const;
    void SendPacket(const QByteArray &record, int newState) override { m_dispatcher.SendPacket(record, newState); }
    // Counts the sessions: a question that was open while it changed answers for nothing.
    quint64 connectionGeneration() const { return m_connectionGeneration; }

    // ---- the session, in its own terms ----
    SessionState sessionState() const;
    Role role() const override { return m_role; }
    // The game of the session: the one filmed, or the one watched last.
    GameType gameType() const { return gameTypeOf(m_settings.gameTypeSystem); }

    // Starts an attempt with these values; throws when it cannot start. An address
    // "HOST:PORT" (or "[v6]:PORT") names the port of the role chosen.
    void connectTo(const ConnectValues &values);
    // Asks for the values through the prompts and connects, as often as the user retries.
    void connectWithDialog();
    // Ends the session or the attempt as the user asked: nothing is asked or told.
    void disconnectFromServer();
    // Ends an attempt that waits for its answer (Cancel), as the user asked.
    void cancelConnecting();
    // Asks first; nothing happens when the user declines or the session ended meanwhile.
    void confirmAndDisconnect();
    // The game list's selection, kept by game so that it follows the list's data.
    void selectGame(std::optional<GameId> id);
    std::optional<GameId> selectedGame() const;
    // Sends the request to watch; false (and the refusal told through the prompts) when not.
    bool watchGame(GameId id);
    void leaveLobby();
    // False when no lobby takes it; the line goes out cut to the field's bytes.
    bool sendChat(const QString &text);
    void playDemo(DemoId demo, PlayFrom from);
    bool liveOffered(DemoId demo) const;
    // Plays the demo arriving from 10 s before serverTimeMs of its own game time (a
    // FactEvent's); false, with the reason in why, when nothing starts or waits for it.
    bool playFromMoment(qint64 serverTimeMs, QString *why);
    // A selection in the option tree, by the user or the program.
    void selectNode(int node);

    // ---- what is refused up front (empty: allowed) ----
    // A user name that is empty or only blanks; the relay refuses it.
    static QString userNameRefusal(const QString &name);
    // Why a connection with these values would fail at once or send nothing.
    QString connectRefusal(const ConnectValues &values) const;
    // Why a game cannot be watched here (its game is not set up).
    QString watchRefusal(GameId id) const;
    // Quitting now ends a session the user is filming or watching.
    bool quitNeedsConfirmation() const;
    // Why the last session ended when the user did not end it; empty when the user did.
    QString sessionEndReason() const { return m_endReason; }

    // ---- what the window shows ----
    bool connectEnabled() const { return m_connectEnabled; }
    bool disconnectEnabled() const { return m_disconnectEnabled; }
    bool leaveRoomEnabled() const { return m_leaveRoomEnabled; }
    bool watchGameEnabled() const;
    bool connecting() const;
    QString statusText() const { return m_statusText; }
    bool optionTreeVisible() const { return m_optionTreeVisible; }
    int selectedNode() const { return m_selectedNode; }
    int page() const { return m_page; }
    QString gameNameLabel() const { return m_gameNameLabel; }
    QString modTypeLabel() const { return m_modTypeLabel; }
    QString dataInLabel() const { return m_dataInLabel; }
    QString goodLabel() const { return m_goodLabel; }
    QString badLabel() const { return QString::number(m_refusedBlocks); }
    int refusedBlocks() const { return m_refusedBlocks; }
    void countRefusedBlock() override;
    GameListModel *gameList() const { return m_gameList; }
    QStringListModel *users() const { return m_users; }
    const QStringList &chatLines() const { return m_chatLines; }
    DemoListModel *demoList() const override { return m_demoList; }

    // ---- what is on: the game list's details from the relay's web page, and the watched
    // game's scoreboard and events from its demo (clientcorefacts.cpp) ----
    RelayDetails *relayDetails() const { return m_details; }
    ScoreBoardModel *scoreBoard() const { return m_scoreBoard; }
    EventFeedModel *eventFeed() const { return m_eventFeed; }
    const demo::GameFacts *gameFacts() const;
    // "q3dm17 · free for all · 4:12 · Ann 12": the lobby's line above its scoreboard.
    QString factsLine() const { return m_factsLine; }
    void gameFactsChanged() override;
    // Plays the demo from 10 s before the event of the feed's row: false, with why, when the
    // row is no frag or capture or the demo cannot be played from there.
    bool playEvent(int row, QString *why);

    // Setters used by the Viewer and the Filmer.
    void reportError(const QString &text) override;
    void setDataInLabel(const QString &t) override;
    void setGoodLabel(const QString &t) override;

    // The diagnostic trace: lines are made only while it is switched on.
    void setTraceEnabled(bool on) { m_dispatcher.trace().setEnabled(on); }

    // ---- the Filmer's timers (1,000 ms) ----
    QTimer &LogFileScan() override { return m_logFileScan; }
    QTimer &OutDemoStream() override { return m_outDemoStream; }
    // Counts the stops of both timers by the lobby's or the session's end. A tick that sees
    // the count change while it runs does not start its timer again.
    quint64 timerStops() const override { return m_timerStops; }

    ViewerReception &viewer() { return *m_viewer; }
    FilmerUpload &filmer() { return *m_filmer; }

    // The window's end: saves the settings.
    void shutdown();

signals:
    void changed(); // flags, labels, page, status
    void sessionStateChanged(arbelon::SessionState state);
    void roleChanged(arbelon::Role role);
    void gameTypeChanged(arbelon::GameType type);
    void statusTextChanged(const QString &text);
    void chatLineAdded(const QString &line);
    void chatCleared();
    void traceLine(const QString &line);
    void noticeLine(const QString &text); // for the user: what the demo work found
    void connectionFailed(const QString &reason);
    // A session ended that the user did not end: why, in words; tellUser when the user was
    // filming or watching (a message then, not only the status bar).
    void sessionLost(const QString &reason, bool tellUser);
    // A refusal or loss within the session, for the status bar.
    void notice(const QString &text);
    // A Viewer's demo grew (each block written), or a new one began.
    void dataInChanged();
    void recordRefused(int state); // an ACKNAK with a non-zero Result, by state
    void sessionStarted();
    void sessionEnded();
    void lobbyEntered();
    void lobbyLeft();
    void factsChanged();

private:
    // socket events
    void DemoClientSessionConnected(int error);
    void DemoClientDataAvailable(int error);
    void DemoClientSessionClosed(int error);

    // record handlers
    bool handleGameInfoDetailed();
    bool handleAckNak();
    bool handleSendText();
    bool handleGameRemoved();
    bool handleUserEntered();
    bool handleUserLeft();

    void enterLobby();
    // The lobby has ended (its leave answered, or the session's end).
    void closeLobby();
    void noAnswerTimedOut();
    bool connectProcedure();
    void stopTimers();
    void demoCloseAll();
    void setPage(int page);
    // Tells the window, and each typed value that changed on its own signal.
    void notify();
    void runGuarded(const std::function<void()> &fn);
    void handleRefusal(quint8 result);
    void connectTimedOut();
    void noteEnd(const QString &reason);
    QString socketErrorText(int error) const;
    bool watchingOrFilming() const;
    void setGameNameLabel(const QString &name);

    ClientSettings m_settings;
    QList<EngineProfile> m_engines = engineprofiles::builtIn();
    QString m_password;
    Role m_role = Role::Viewer;
    QString m_gameName;
    DemoTransferState m_demo;

    TWSocket *m_socket = nullptr;
    PacketDispatcher m_dispatcher;
    quint64 m_connectionGeneration = 0;
    QTimer m_connectTimer;
    QTimer m_answerTimer; // from the connection to the relay's first record
    bool m_answered = false;
    bool m_dialogAttempt = false;  // the attempt under way came from the connect dialog
    bool m_retryingDialog = false; // its name did not resolve: the dialog comes back
    bool m_inLobby = false;
    bool m_gameEnded = false; // the watched game's removal came while in its lobby
    std::optional<GameId> m_watchedGame;
    // The values last told, so that each signal fires only on a change.
    SessionState m_toldState = SessionState::Disconnected;
    Role m_toldRole = Role::Viewer;
    GameType m_toldGameType = GameType::Quake2;
    QString m_toldStatus;
    QString m_host;      // the address of the current attempt, for messages
    QString m_endReason; // why the session ends, first cause wins
    bool m_userEnded = false;
    QString m_pendingLine; // the chat line that awaits its answer
    // Socket events being handled now: an error box waits until they are done.
    int m_socketEventDepth = 0;

    GameListModel *m_gameList = nullptr;
    QStringListModel *m_users = nullptr;
    QStringList m_chatLines;
    DemoListModel *m_demoList = nullptr;
    RelayDetails *m_details = nullptr;
    ScoreBoardModel *m_scoreBoard = nullptr;
    EventFeedModel *m_eventFeed = nullptr;
    QString m_factsLine;
    void startDetails(quint16 webPort);

    bool m_connectEnabled = true;
    bool m_disconnectEnabled = false;
    bool m_leaveRoomEnabled = false;
    QString m_statusText;
    bool m_optionTreeVisible = true;
    int m_selectedNode = NodeArbelon;
    int m_page = IntroSheet;
    QString m_gameNameLabel;
    QString m_gameTypeText;
    QString m_modTypeLabel;
    QString m_dataInLabel = QStringLiteral("0");
    QString m_goodLabel = QStringLiteral("0");
    int m_refusedBlocks = 0;

    QTimer m_logFileScan;
    QTimer m_outDemoStream;
    QTimer m_liveLog; // the Viewer's game played live: its log looked at each second
    quint64 m_timerStops = 0;

    UserPrompts *m_prompts = nullptr;
    GameRunningCheck *m_gameRunning = nullptr;
    ProgramStarter *m_starter = nullptr;
    std::unique_ptr<DetachedProgramStarter> m_defaultStarter;
    std::unique_ptr<GameRunningCheck> m_defaultGameRunning;
    std::function<QDateTime()> m_clock;
    std::function<void()> m_saveSettings;

    std::unique_ptr<ViewerReception> m_viewer;
    std::unique_ptr<FilmerUpload> m_filmer;
};

} // namespace arbelon
