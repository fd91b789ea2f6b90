#pragma once
// Plays a game's part for tests and demos: writes the console log the way the engines do
// when their autoexec configuration switches it on, announces a recording with the
// engines' own line, and grows the demo file from a source file at a chosen pace.

#include "standin/standinoptions.h"

#include <QFile>
#include <QObject>
#include <QTimer>

namespace arbelon {

// The logfile value that an autoexec configuration leaves set ("logfile 2",
// `seta logfile "2"`, ...; the last one wins as the engine runs the lines in order); 0 when
// it sets none.
int logfileSetting(const QByteArray &autoexec);

class StandinGame : public QObject {
    Q_OBJECT
public:
    explicit StandinGame(const StandinOptions &options, QObject *parent = nullptr);

    // Reads the autoexec configuration, opens the console log and schedules the recording.
    // False with an error text when a file cannot be opened.
    bool start(QString *error);

    QString windowTitle() const;
    QString demoPath() const { return m_demoPath; }
    QString consoleLogPath() const { return m_logPath; }

signals:
    void statusChanged(const QString &text);
    void finished(int exitCode);

private:
    void console(const QString &line);
    void beginRecording();
    void writeBlock();
    void endRecording();
    void linger();
    void fail(const QString &message);

    StandinOptions m_options;
    QString m_dataDir; // GAMEDIR/<mod>
    QString m_demoPath;
    QString m_demoRelative; // as the engine prints it
    QString m_logPath;
    QFile m_log;
    QFile m_source;
    QFile m_demo;
    qint64 m_sourceSize = 0;
    qint64 m_written = 0;
    QTimer m_blockTimer;
};

} // namespace arbelon
