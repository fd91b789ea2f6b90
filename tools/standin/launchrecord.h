#pragma once
// Records how the stand-in was started as a game executable, so that a test can check the
// command line and working directory that the client used.

#include <QString>
#include <QStringList>

namespace arbelon {

// Appends one JSON line {"argv":[...],"cwd":"..."} to file; false when it cannot be written.
bool appendLaunchRecord(const QString &file, const QStringList &argv, const QString &cwd);

// The folder that holds the executable as it was started: a symbolic link's own folder,
// not its target's, because that is where the game's files are.
QString startedExecutableDir(const QString &argv0);

} // namespace arbelon
