#pragma once
// Debian's OpenArena as the engine suite and the live benchmark run it: where it is installed,
// and each side's engine with a home of its own on a virtual display.

#include <QProcessEnvironment>
#include <QString>

namespace arbelon::test {

inline const QString kOpenArena = QStringLiteral("/usr/games/openarena");

// The engine's environment: its files under home, its window on display.
inline QProcessEnvironment engineEnvironment(const QString &home, const QString &display)
{
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert(QStringLiteral("HOME"), home);
    e.insert(QStringLiteral("DISPLAY"), display);
    e.remove(QStringLiteral("XDG_CONFIG_HOME"));
    // No sound card here: the engines play silent.
    e.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("dummy"));
    return e;
}

// Where the engine keeps its configuration, console log and demos under that home.
inline QString gameFolder(const QString &home) { return home + QStringLiteral("/.openarena/baseoa"); }

} // namespace arbelon::test
