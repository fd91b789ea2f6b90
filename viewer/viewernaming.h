#pragma once
// Names a Viewer gives to what it receives: demo names, demo file paths, the game program
// and the arguments that play a demo. Pure rules, no file system access.

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace arbelon::viewernaming {

// The game's name followed by the local time as "ddMMyy_HHmmss", ASCII letters upper-cased,
// and every character below '0' or above 'Z' replaced by '_'.
QString demoName(const QString &gameName, const QDateTime &when);

// ".dm2" for Quake 2, ".dm3" for Quake 3.
QString demoExtension(int gameType);

// Quake 2: gameDir + mod + "/demos/" + name + ".dm2"; Quake 3: gameDir + "baseq3/demos/" +
// name + ".dm3". A mod that is not one plain folder name is replaced by "baseq2".
QString demoFilePath(int gameType, const QString &gameDir, const QString &mod,
                     const QString &name);

// The same path with "_n" put between the name and the extension (n >= 2).
QString numberedPath(const QString &path, int n);

// The game directory followed by the game's executable name.
QString gameProgramPath(int gameType, const QString &gameDir);

// The folder part of a program path with its trailing separator; empty without a folder.
QString programFolder(const QString &programPath);

// The argument list that plays a demo: Quake 2 "+set game MOD +map NAME.dm2",
// Quake 3 "+demo NAME.dm3"; one list element per word, never a shell string.
QStringList launchArguments(int gameType, const QString &mod, const QString &name);

} // namespace arbelon::viewernaming
