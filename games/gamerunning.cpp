#include "gamerunning.h"

namespace arbelon {

GameRunningCheck::~GameRunningCheck() = default;

QString GameRunningCheck::windowTitle(int gameType)
{
    switch (gameType) {
    case 0:
        return QStringLiteral("Quake 2");
    case 1:
        return QStringLiteral("Quake 3: Arena");
    default:
        return {};
    }
}

QString GameRunningCheck::executableName(int gameType)
{
    switch (gameType) {
    case 0:
        return QStringLiteral("quake2.exe");
    case 1:
        return QStringLiteral("quake3.exe");
    default:
        return {};
    }
}

bool SystemGameRunningCheck::isRunning(int gameType)
{
    const QString title = windowTitle(gameType);
    if (title.isEmpty())
        return false;
    // A display that is there decides on its own: a game without its window is not running.
    if (const auto found = m_windows.topLevelWindowExists(title.toUtf8())) {
        m_fromDisplay = true;
        return *found;
    }
    m_fromDisplay = false;
    return processRunning(executableName(gameType));
}

} // namespace arbelon
