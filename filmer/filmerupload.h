#pragma once
// The Filmer's side of demo transfer: the game's console log switched on, the console log
// scanned for the demos the game records, and each demo uploaded while it grows, one block a
// tick, each after the server acknowledged the record before it.
//
// A demo ends when the engine prints its stop line, when a later recording starts or when the
// game stops; a file that does not grow for a while has not ended (the engines write in steps
// seconds apart). An ended demo is sent to its last byte before the next one is announced, so
// an upload slower than its game falls behind but loses nothing; the user is told how far.

#include "consolelog.h"
#include "consolelogreader.h"
#include "gameinstall.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <deque>
#include <memory>

namespace arbelon {

class TransferHost;

class FilmerUpload {
public:
    // Demos waiting to be announced beyond this many are not taken: the console log is text
    // a game server can fill.
    static constexpr int kMaxPending = 1000;
    // A game that runs this long without a console log is told about.
    static constexpr qint64 kNoLogWarningMs = 15000;
    // A demo announced in the log but not there this long after it became current is given
    // up: a game server can print a name that never becomes a file.
    static constexpr int kAppearSeconds = 30;
    // The game's write rate and the upload's send rate are measured over this much time, and
    // not before this much of it has passed.
    static constexpr int kRateWindowSeconds = 30;
    static constexpr int kRateMinSeconds = 5;
    // Behind by more than this much sending the user is told; at less than the second, the
    // upload has caught up. A told delay is told again at most this often.
    static constexpr int kBehindSeconds = 10;
    static constexpr int kCaughtUpSeconds = 2;
    static constexpr int kBehindRepeatSeconds = 30;

    explicit FilmerUpload(TransferHost &host);
    ~FilmerUpload();

    // ---- hooks called by the session ----
    void prepare();    // session connected as a Filmer, before GAMEINFO
    void enableLog();  // lobby entry: the logging line in autoexec.cfg
    void closeFiles(); // demo close and console log close

    // ---- timer ticks (the session wires the timers to these) ----
    void LogFileScanTimer();
    void OutDemoStreamTimer();

    // ---- acknowledgement effects ----
    void uploadStart();   // GAMEINFO accepted
    void nextDemo();      // DEMORESTART accepted
    void blockAccepted(); // DEMOPACKET accepted
    void blockRejected(); // DEMOPACKET refused

    // ---- what the preparation fixed (empty when the game has no directory) ----
    QString gameDirectory() const { return m_gameDir; }
    QString demoBaseDirectory() const { return m_demoBaseDir; }
    QString logCandidate(int i) const { return m_logCandidates.value(i); }
    QString autoexecPath() const;

    // ---- the scan's state ----
    QString consoleLogPath() const { return m_logPath; }
    bool consoleLogOpen() const { return m_log.isOpen(); }
    const ConsoleLogReader &consoleLogReader() const { return m_log; }
    const ConsoleLog &consoleLog() const { return m_lines; }

    // ---- the upload's state ----
    bool demoFileOpen() const { return m_demoFile != nullptr; }
    qint64 bytesTaken() const { return m_bytesTaken; }
    qint64 lastSeenSize() const { return m_lastSeenSize; }
    // The current demo will not grow any more (what is left of it is still sent).
    bool currentDemoFinished() const { return m_currentFinished; }
    // Bytes the game has written that are not sent yet: the current demo's rest and the
    // demos waiting behind it.
    qint64 bytesBehind() const { return m_behindBytes; }
    bool fallenBehind() const { return m_behind; }

private:
    bool gameRunning() const;
    void chooseLogPath();
    QString logPlaces() const;
    void readConsoleLog();
    void addDemo(const QByteArray &name);
    void latestRecordingStopped();
    bool currentDemoDone() const;
    void startOfDemoSend();
    bool openDemoFile();
    void giveUpIfMissing();
    void trace(const QString &line);
    qint64 sendBlock(qint64 available);
    void measureProgress();
    QString behindText(qint64 sendRate, qint64 writeRate, qint64 blocksPerMinute) const;

    TransferHost &m_host;

    // fixed by the preparation
    int m_gameType = -1;
    QString m_mod;
    QString m_gameDir;
    QString m_demoBaseDir;
    GameInstall m_install;
    QStringList m_logCandidates;
    QElapsedTimer m_runningSince; // invalid while the game is not running
    bool m_warnedNoLog = false;

    // console log
    QString m_logPath;
    ConsoleLogReader m_log;
    ConsoleLog m_lines;

    // current demo file
    std::unique_ptr<QFile> m_demoFile;
    qint64 m_bytesTaken = 0;
    qint64 m_lastSeenSize = 0;
    QDateTime m_currentSince; // when the current demo became current
    bool m_currentFinished = false;
    // The newest recording the log announced (the last one waiting, else the current one)
    // has ended too.
    bool m_latestStopped = false;

    // how the upload keeps up with its game
    struct Sample {
        qint64 ms;      // the session's clock
        qint64 written; // bytes the game wrote since the upload started
        qint64 sent;    // bytes sent since then
        qint64 blocks;  // blocks sent since then
    };
    std::deque<Sample> m_samples; // the last kRateWindowSeconds, oldest first
    qint64 m_sentTotal = 0;
    qint64 m_blocksTotal = 0;
    qint64 m_behindBytes = 0;
    bool m_behind = false;
    qint64 m_behindToldMs = 0;
};

} // namespace arbelon
