#pragma once
// Looks for a running process of a game's program: the stand-in for a window search where no
// display can be reached, and the check for native engines. One implementation per platform:
// processfinder.cpp reads /proc, win32processfinder.cpp takes a process snapshot.

#include <QByteArrayView>
#include <QString>

namespace arbelon {

// True while a live process runs an executable of that file name, compared without regard
// to case as Windows names are. Given a path (with a folder), the process's image path must
// be that file.
// Linux: a process of this user (its real uid is getuid()) that is no zombie whose kernel
// command name (cut at 15 characters) or argv[0]'s file-name part ("/" or "\" separated, so
// a game under a Windows compatibility layer counts too) matches.
// Windows: a process of this user (the same user SID) in this Windows session whose image
// path (QueryFullProcessImageNameW) has that file name.
bool processRunning(const QString &executable);

// Linux only: whether a /proc/PID/status text names uid as the process's real user; false
// when its "Uid:" line is missing or unreadable.
bool procStatusOwnedBy(QByteArrayView status, uint uid);

// A process as started: its number and its start time, so that a number the system gave to
// another process since is never taken for it (a wrapper script that execs the game keeps both).
struct ProcessTicket {
    qint64 pid = 0;
    quint64 startTime = 0;
    bool valid() const { return pid > 0; }
};
// The ticket of a running process of this user; invalid when there is none.
ProcessTicket processTicket(qint64 pid);
// Ends the process at once, if it is still the one the ticket names. The games ignore a polite
// request while they play a demo. False when it was gone already.
bool stopProcess(const ProcessTicket &ticket);

} // namespace arbelon
