#pragma once
// The headless client: drives the same core as the window and prints what happens.
// Nothing here decides anything the core does not; it only prints and maps arguments.

#include "clientcore.h"
#include "gamelistmodel.h"
#include "userprompts.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QTextStream>
#include <QTimer>

namespace arbelon {

struct CliOptions {
    enum Command { Games,
                   Watch,
                   Film,
                   Engines } command = Games;
    QString server;
    quint16 serverPort = 0; // 0: the role's own port
    QString user = QStringLiteral("arbelon-cli");
    // watch
    QString game; // ID or name
    QString quake2Dir;
    QString quake3Dir;
    QString quake2Engine = QStringLiteral("quake2");
    QString quake3Engine = QStringLiteral("quake3");
    bool play = false; // start the game on the first listed demo
    // Start the game on the demo from 10 s before its Nth event, or from a game time.
    quint32 fromEvent = 0;
    qint64 fromClockMs = -1;
    // "N" or "MM:SS" (minutes may pass 59); false with why for anything else.
    static bool parseFrom(const QString &text, CliOptions *options, QString *why);
    // film
    QString name;
    int gameType = 0;
    QString dir;    // the game (data) folder
    QString engine; // empty: the Windows program of gameType
    QString mod = QStringLiteral("baseq2");
    QString password;
    int rate = 10000;
    // games
    int listSeconds = 0; // 0: follow until interrupted
    bool details = false; // what is on in each game, from the relay's web page
    // The started game's console output on this program's output, not in game-output.log.
    bool verbose = false;
};

// "engines": one line per engine, with where its program and data folder are on this machine.
void printEngines(const QList<EngineProfile> &engines, QTextStream &out);

class CliRunner : public QObject, private UserPrompts {
    Q_OBJECT
public:
    CliRunner(const CliOptions &options, QTextStream &out, QTextStream &err,
              QObject *parent = nullptr);

    // Starts the command; the runner calls finished(status) when it ends.
    void start();
    // Ctrl-C: ends the session cleanly.
    void interrupt();
    ClientCore &core() { return m_core; }
    // The text with every control character shown as "\xNN": what is printed is one line
    // that changes nothing in the terminal.
    static QString printable(const QString &text);

signals:
    void finished(int status);

private:
    // UserPrompts: the dialog answers once with the command's values.
    bool runConnectDialog(ConnectValues &values) override;
    void showMessage(const QString &text) override;
    void showError(const QString &text) override;
    bool confirm(const QString &) override { return true; }

    void onGameRowsChanged(int first, int last);
    // Prints "receiving demo PATH" once for each demo the Viewer writes.
    void noteDemo();
    void onDemoListed();
    void tryWatch();
    void onProgressTick();
    // What is on (clirunnerfacts.cpp).
    void onDetailsRead(const QHash<quint32, GameDetails> &details);
    void printFacts(quint32 id, const QJsonObject &facts);
    void tryPlayFrom();
    void line(const QString &text);
    void fail(int status, const QString &text);
    void finish(int status);
    QString gameLine(int row) const;

    CliOptions m_opt;
    QTextStream &m_out;
    QTextStream &m_err;
    ClientCore m_core;
    ConnectValues m_values;
    bool m_dialogAnswered = false;
    bool m_tty = false;
    bool m_done = false;
    bool m_watchSent = false;
    quint32 m_watchedId = 0;
    bool m_inLobby = false;
    bool m_played = false;
    QHash<quint32, GameDetails> m_details;
    QHash<quint32, QByteArray> m_printedBoard; // each game's scoreboard as last printed
    QHash<quint32, quint32> m_printedEvent;    // each game's last event printed
    QString m_gameOutput; // where the started game's output goes; empty: here
    QTimer m_progress;
    QTimer m_gameWait;
    QElapsedTimer m_clock;

    // progress state
    QString m_lastDemo;
    qint64 m_lastBytes = -1;
    QString m_lastGood;
    QString m_lastBad;
    qint64 m_rateBytes = 0;
    qint64 m_rateMs = 0;
};

} // namespace arbelon
