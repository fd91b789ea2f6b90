#pragma once
// Pictures of the main window in a Viewer session against a scripted relay.

#include <QString>

namespace arbelon::shots {

// Writes mainwindow-gamelist.png and lobby.png into outDir; demos land below gameDir.
bool shootSession(const QString &outDir, const QString &gameDir);

} // namespace arbelon::shots
