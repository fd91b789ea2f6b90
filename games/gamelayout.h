#pragma once
// Plain folder and program names, demo extensions, and the checks that keep names from the
// network or the console log inside a game directory.

#include <QString>

namespace arbelon::gamelayout {

QString executableName(int gameType); // "quake2.exe", "quake3.exe"

// One plain folder name: letters, digits, "_", "-", ".", 1..16 characters, the first a letter
// or a digit (so never an option, a command or dots only), not a game's program name.
bool isPlainFolderName(const QString &name);

// ".dm2" for Quake 2; ".dm3" or ".dm_NN" for Quake 3 (case-insensitive).
bool hasDemoExtension(int gameType, const QString &fileName);

// True when path, made absolute and clean, lies inside dir (also made absolute and clean).
bool isInside(const QString &dir, const QString &path);

} // namespace arbelon::gamelayout
