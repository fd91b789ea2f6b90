#pragma once
// Pictures of the main window in a Viewer session against a scripted relay.

#include <QString>

namespace arbelon::shots {

// Writes mainwindow-gamelist.png and lobby.png into outDir; demos land below gameDir.
bool shootSession(const QString &outDir, const QString &gameDir);

// Writes mainwindow-connecting.png, menu-bar.png and session-lost.png into outDir.
bool shootTelling(const QString &outDir);

} // namespace arbelon::shots
