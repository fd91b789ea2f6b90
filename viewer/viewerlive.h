#pragma once
// The Viewer's live play of the demo it receives: the demo read as its blocks arrive, and on
// request a second file beside it, the live copy ("NAME.live.dm_71"), that starts a margin
// behind the newest data, or at a moment of the demo's own time, and grows with every block.
// The exact copy is never touched; live copies are removed when the lobby is left.

#include "livedemo.h"
#include "momentcopy.h"
#include "viewerdemofile.h"

#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <memory>

namespace arbelon {

class ViewerLive {
public:
    // A new demo whose exact copy is at path, of the game type given (0 Quake 2, 1 Quake 3).
    void begin(int gameType, const QString &path);
    // The exact copy went on in another file.
    void setDemoPath(const QString &path) { m_path = path; }
    // Its next block, at nowMs on a steady clock.
    void append(QByteArrayView block, qint64 nowMs);
    // The demo ended (its end marker) or was refused as no valid demo (the reason is given).
    bool ended() const;
    bool refused() const;
    QString refusal() const;
    // A live copy can start now, and the blocks have caught up with the game.
    bool canPlayLive() const;
    bool caughtUp() const { return m_demo && m_demo->caughtUp(); }
    qint64 marginMs() const;

    // Writes a new live copy beside the exact one (inside gameDir) and keeps it growing.
    // Returns its path. Throws EDemoFileError when it cannot be written.
    QString startCopy(const QString &gameDir, qint64 startupMs);
    qint64 startBehindMs() const { return m_demo ? m_demo->startBehindMs() : 0; }

    // Looks for the first snapshot at or after fromMs of the demo's own time in what has
    // arrived, read back from the exact copy, and then in each block. Once found, its copy is
    // written beside the exact one (startMomentCopy) and its path returned; empty until then,
    // while the copy already written goes on growing. Throws EDemoFileError when the exact
    // copy cannot be read back or the moment's copy cannot be written.
    QString seekMoment(qint64 fromMs, const ViewerDemoFile &exact, const QString &gameDir);
    void stopSeeking() { m_seek.reset(); }
    // The moment looked for, while it is: not found yet, found, or refused with the reason.
    const demo::MomentCopy *soughtMoment() const { return m_seek.get(); }
    // Writes the copy of the moment found in place of the live copy, as startCopy does, and
    // keeps it growing. Throws EDemoFileError when it cannot be written.
    QString startMomentCopy(const QString &gameDir);
    // The game time the copy written starts at, when it is a moment's.
    qint64 momentStartMs() const { return m_moment ? m_moment->startMs() : 0; }
    bool copying() const { return m_file.isOpen(); }
    QString demoPath() const { return m_path; }

    // The demo is over for this lobby (the next one began, or the lobby is left).
    void close();
    // Deletes every live copy made; the game may have been reading one.
    void removeCopies();

    // The live copy's path for an exact copy's path.
    static QString copyPath(const QString &exactPath);
    static bool isCopyName(const QString &fileName);

private:
    QString writeCopy(const QByteArray &start, const QString &gameDir);

    std::unique_ptr<demo::LiveDemo> m_demo;
    std::unique_ptr<demo::MomentCopy> m_seek;   // a moment asked for, until its copy is written
    std::unique_ptr<demo::MomentCopy> m_moment; // the copy in m_file, when it is a moment's
    ViewerDemoFile m_file;
    QString m_path;
    QStringList m_copies;
    QByteArray m_tail; // the exact copy's last bytes, for its end marker when not readable
    int m_gameType = 0;
};

} // namespace arbelon
