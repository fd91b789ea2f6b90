#pragma once
// One game as it is set up on this machine: the engine, its program, and the data folder that
// holds its game folders. Every path the Viewer and the Filmer use comes from here, so no other
// code spells a game's folders or file names.

#include "engineprofile.h"

#include <QString>
#include <QStringList>

namespace arbelon {

struct GameInstall {
    EngineProfile engine;
    QString program;       // absolute path; empty when it is not known
    QString dataDir;       // ends with "/"; empty: the game is not installed
    QString demoExtension; // what the Viewer writes: the engine's unless the user chose one

    // dataDir as the user set it ("I Dont have ... installed" leaves it empty). The Windows
    // programs sit in their data folder; a native engine's program is the one given, else the
    // one found in PATH.
    static GameInstall make(const EngineProfile &engine, const QString &dataDir, const QString &program,
                            const QString &demoExtension, const QStringList &pathFolders);

    bool installed() const { return !dataDir.isEmpty(); }
    // Whether the data folder holds this game: its base game folder or the mod's is there, the
    // Windows program sits in it, or it is the native engine's own data folder. A folder that
    // does not ("/", the stored default) counts as not set up, so nothing is written below it.
    bool holdsGame(const QString &mod = QString()) const;

    // The game folder a session of this mod uses, with a final "/".
    QString gameFolderPath(const QString &mod) const;
    QString demosFolder(const QString &mod) const;
    // The folders demos may be recorded to: the mod's and the base game's.
    QStringList recordFolders(const QString &mod) const;
    // Where the console log may be: the mod's game folder, then the base game's (maybe the same).
    QStringList logCandidates(const QString &mod) const;
    QString autoexecPath(const QString &mod) const;
    // What a relative "recording to" path starts from.
    QString recordBase(const QString &mod) const;
    QString workingDirectory() const;
    QStringList playArguments(const QString &mod, const QString &name) const;
};

} // namespace arbelon
