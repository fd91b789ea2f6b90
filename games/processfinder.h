#pragma once
// Looks for a running process by executable name in /proc: the stand-in for a window
// search where no display can be reached.

#include <QString>

namespace arbelon {

// True while a live (not zombie) process runs an executable of that file name, compared
// without regard to case as Windows names are. Matches the kernel's command name (cut at
// 15 characters) or the file-name part of argv[0] ("/" or "\" separated, so a game under
// a Windows compatibility layer counts too).
bool processRunning(const QString &executable);

} // namespace arbelon
