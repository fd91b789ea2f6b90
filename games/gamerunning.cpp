#include "gamerunning.h"

namespace arbelon {

GameRunningCheck::~GameRunningCheck() = default;

SystemGameRunningCheck::SystemGameRunningCheck()
    : m_windows(WindowFinder::create()), m_engines{engineprofiles::original(0), engineprofiles::original(1)}
{
}

void SystemGameRunningCheck::setEngine(int gameType, const EngineProfile &profile)
{
    if (gameType == 0 || gameType == 1)
        m_engines[gameType] = profile;
}

bool SystemGameRunningCheck::isRunning(int gameType)
{
    if (gameType != 0 && gameType != 1)
        return false;
    const EngineProfile &engine = m_engines[gameType];
    const auto anyProcess = [&] {
        for (const QString &name : engine.processNames) {
            if (processRunning(name))
                return true;
        }
        return false;
    };
    m_fromDisplay = false;
    if (engine.windowTitle.isEmpty() && anyProcess())
        return true;
    WindowMatch match{engine.windowTitle.toUtf8(), {}};
    for (const QString &cls : engine.windowClasses)
        match.classes << cls.toUtf8();
    // For a Windows program a display that is there decides on its own: a game without its
    // window is not running.
    if (const auto found = m_windows->topLevelWindowExists(match)) {
        m_fromDisplay = true;
        return *found;
    }
    return !engine.windowTitle.isEmpty() && anyProcess();
}

} // namespace arbelon
