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

// The game's name as demo names begin with it: ASCII letters upper-cased, every character but
// digits and A-Z replaced by '_'.
QString safeName(const QString &gameName);

// Whether fileName is a name demoName gave for the game whose safe name is given, with the
// extension given, numbered or not ("ABC010227_090507_2.dm2"). Live copies are not.
bool isDemoOfGame(const QString &fileName, const QString &safeGameName, const QString &extension);

// The same path with "_n" put between the name and the extension (n >= 2).
QString numberedPath(const QString &path, int n);

} // namespace arbelon::viewernaming
