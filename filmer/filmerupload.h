#pragma once
// The Filmer's side of demo transfer: the game's console log switched on, the console log
// scanned for the demos the game records, and each demo uploaded while it grows, one block a
// tick, each after the server acknowledged the record before it.

#include "consolelog.h"
#include "consolelogreader.h"
#include "gameinstall.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QString>

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

    explicit FilmerUpload(TransferHost &host);
    ~FilmerUpload();

    // ---- hooks called by the session ----
    void prepare();           // session connected as a Filmer, before GAMEINFO
    void enableLog();         // lobby entry: the logging line in autoexec.cfg
    void closeFiles();        // demo close and console log close

    // ---- timer ticks (the session wires the timers to these) ----
    void LogFileScanTimer();
    void OutDemoStreamTimer();

    // ---- acknowledgement effects ----
    void uploadStart();       // GAMEINFO accepted
    void nextDemo();          // DEMORESTART accepted
    void blockAccepted();     // DEMOPACKET accepted
    void blockRejected();     // DEMOPACKET refused

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

private:
    bool gameRunning() const;
    void chooseLogPath();
    QString logPlaces() const;
    void readConsoleLog();
    void addDemo(const QByteArray &name);
    void startOfDemoSend();
    bool openDemoFile();
    void giveUpIfMissing();
    void trace(const QString &line);
    void sendBlock(qint64 available);

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
};

} // namespace arbelon
