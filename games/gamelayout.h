#pragma once
// Where the games keep their files, and the checks that keep names from the network or
// the console log inside a game directory.

#include <QString>

namespace arbelon::gamelayout {

QString executableName(int gameType);   // "quake2.exe", "quake3.exe"
QString windowTitle(int gameType);      // "Quake 2", "Quake 3: Arena"
QString baseFolder(int gameType);       // "baseq2", "baseq3"

// One plain folder name: letters, digits, "_", "-", ".", 1..16 characters, the first a letter
// or a digit (so never an option, a command or dots only), not a game's program name.
bool isPlainFolderName(const QString &name);
// The mod to use in paths and arguments: the mod itself when plain, else "baseq2".
QString safeQuake2Mod(const QString &mod);

// ".dm2" for Quake 2; ".dm3" or ".dm_NN" for Quake 3 (case-insensitive).
bool hasDemoExtension(int gameType, const QString &fileName);

// Game directories end with the separator; the folder name follows directly.
QString demoFolder(int gameType, const QString &gameDir, const QString &mod);

// True when path, made absolute and clean, lies inside dir (also made absolute and clean).
bool isInside(const QString &dir, const QString &path);

} // namespace arbelon::gamelayout
