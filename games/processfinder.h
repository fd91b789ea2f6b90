#pragma once
// Looks for a running process of a game's program: the stand-in for a window search where no
// display can be reached, and the check for native engines. One implementation per platform:
// processfinder.cpp reads /proc, win32processfinder.cpp takes a process snapshot.

#include <QString>

namespace arbelon {

// True while a live process runs an executable of that file name, compared without regard
// to case as Windows names are. Given a path (with a folder), the process's image path must
// be that file.
// Linux: a process that is no zombie whose kernel command name (cut at 15 characters) or
// argv[0]'s file-name part ("/" or "\" separated, so a game under a Windows compatibility
// layer counts too) matches.
// Windows: a process of this user (the same user SID) in this Windows session whose image
// path (QueryFullProcessImageNameW) has that file name.
bool processRunning(const QString &executable);

} // namespace arbelon
