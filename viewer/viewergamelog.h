#pragma once
// The console log of the game the Viewer started for live play, read from where it stood when
// the game started: the game prints a marker line there when it reached the end of the live
// copy (the engines run the "nextdemo" command when a demo ends, and the client sets that
// command to print the marker).

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

#include <memory>

namespace arbelon {

class ViewerGameLog {
public:
    static constexpr auto kEdgeMarker = "arbelon-live-edge";
    // At most this much of the log is read in one look; a flood is read over several.
    static constexpr qint64 kReadPerLook = 1 << 20;

    // Watches the first of the logs that exists, from its present end (a log that appears
    // later is read from its start: the game made it).
    void watch(const QStringList &candidates);
    void stop();
    // True when the marker line appeared since the last look.
    bool edgeReached();
    // True once after the game said it is set up to play ("CL_InitCGame: N seconds", which the
    // Quake 3 engines print when the level is loaded): its start-up time can be taken.
    bool takeStarted();

private:
    bool openLog(bool atEnd);

    QStringList m_candidates;
    std::unique_ptr<QFile> m_file;
    qint64 m_position = 0;
    QByteArray m_partial;
    bool m_started = false;
};

} // namespace arbelon
