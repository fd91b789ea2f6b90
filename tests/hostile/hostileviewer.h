#pragma once
// A Viewer under attack: a real ClientCore whose game directories lie deep inside a fresh
// temporary root, connected over loopback to a HostileRelay, with steps that bring the
// session into each state and checks of what must hold whatever the relay sent.

#include "clientcore.h"
#include "gamerunning.h"
#include "common/testdoubles.h"
#include "hostile/hostilerelay.h"

#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

namespace arbelon::test {

class HostileViewer {
public:
    // The session states a test can bring the Viewer into, in the order they are reached.
    enum Stage {
        AwaitHello,     // USERINFO sent, not answered (ssUserInfo)
        Idle,           // the game list is shown, nothing watched yet (ssIdle)
        WaitForGame,    // WAITFORGAME sent, not answered (ssWaitForGame)
        InLobby,        // ssInLobby
        SendText,       // a chat line sent, not answered (ssSendText)
        LeaveGame,      // LEAVEGAME sent, not answered (ssLeaveGame)
        IdleAfterLobby, // back on the game list after a lobby (ssIdle)
    };
    static QString stageName(Stage s);

    // Lists a Viewer keeps may not grow past this, whatever a relay sends.
    static constexpr int kListBound = 20000;
    // The receive buffer holds at most one record, and no record is larger than this.
    static constexpr qsizetype kBufferBound = qsizetype(rec::kMaxDemoPacketSize);
    // The watched game's row and the time demos are named with.
    static const QByteArray kGameName;
    static QString demoName(); // kGameName at the fixed time, as the Viewer names it

    HostileViewer(HostileRelay &relay, const QString &address);
    ~HostileViewer();

    ClientCore &core() { return *m_core; }
    RecordingStarter &starter() { return m_starter; }
    int sessionsEnded() const { return int(m_ended->count()); }
    bool ended() const { return m_ended->count() > 0; }
    QString gameDir(int gameType) const { return gameType == gtQuake3 ? m_q3 : m_q2; }

    // Brings the session to the stage, watching a game with this id, type and mod. False
    // (with a test failure recorded) when it does not get there.
    bool reach(Stage stage, quint32 gameId = 1, qint32 gameType = gtQuake2, const QByteArray &mod = "baseq2");

    // Waits until the client has answered n records since the relay's records were cleared,
    // or the session has ended.
    bool waitForAnswers(int n, int timeoutMs = 10000);
    // Sends a chat line and waits until it is shown: the session still serves records.
    bool probeGoesOn();
    // The record at the front has no handler: more bytes are kept but none is answered.
    bool probeBlocked(qsizetype bytesAlreadyBuffered);

    // Entries created under the temporary root outside the game directories since the start.
    QStringList strayFiles() const;
    // The receive buffer and every list within their bounds; the first one that is not.
    QString boundsBroken();

private:
    QSet<QString> snapshot() const;

    HostileRelay &m_relay;
    QString m_address;
    QTemporaryDir m_root;
    QString m_q2;
    QString m_q3;
    QSet<QString> m_before;
    ScriptedPrompts m_prompts;
    RecordingStarter m_starter;
    FakeGameRunningCheck m_running;
    std::unique_ptr<ClientCore> m_core;
    std::unique_ptr<QSignalSpy> m_ended;
    int m_probes = 0;
};

} // namespace arbelon::test
