#pragma once
// Names a Viewer gives to what it receives: demo names and numbered paths. Pure rules, no file
// system access; folders and playback come from the game's install.

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace arbelon::viewernaming {

// The game's name followed by the local time as "ddMMyy_HHmmss", ASCII letters upper-cased,
// and every character but digits and A-Z replaced by '_'.
QString demoName(const QString &gameName, const QDateTime &when);

// The same path with "_n" put between the name and the extension (n >= 2).
QString numberedPath(const QString &path, int n);

} // namespace arbelon::viewernaming
