#pragma once
// Demo transfer values shared by the session, the Viewer and the Filmer. A session has
// one role, so the pending list holds one kind of entry.

#include <QString>
#include <QStringList>

namespace arbelon {

struct DemoTransferState {
    QStringList pending;     // full paths announced or found, not yet current; oldest first
    QString currentDemoPath; // may be empty
    QStringList listedNames; // Viewer: demo name of each DemoList row, in row order

    // Viewer
    QString currentDemoName;
    GameType watchedGameType = GameType::Quake2;
    QString watchedMod;
    QString watchedGameName; // Name column of the row chosen to watch
    QString gameProgramPath;
    QStringList launchArguments;

    // Filmer
    int uploadCounter = 0;
};

} // namespace arbelon
