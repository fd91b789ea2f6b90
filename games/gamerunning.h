#pragma once
// Whether the filmed game is running. The game counts as running while its main window
// exists; where no display can be reached, while a process of its executable runs.

#include "engineprofile.h"
#include "processfinder.h"
#include "windowfinder.h"

#include <QString>

#include <memory>

namespace arbelon {

class GameRunningCheck {
public:
    virtual ~GameRunningCheck();
    // gameType: 0 = Quake 2, 1 = Quake 3; any other value is never running.
    virtual bool isRunning(int gameType) = 0;
    // The engine a game type is played with; a check that knows no engines ignores it.
    virtual void setEngine(int gameType, const EngineProfile &profile)
    {
        Q_UNUSED(gameType);
        Q_UNUSED(profile);
    }
};

// The real check, per engine. A native engine runs while a process of its program runs (on
// Windows: of this user, in this session), or else a window of its class exists (the engine makes its log before its window). The
// Windows programs run while a window with their exact title exists; without a display, while
// a process of their program runs. Cheap enough for a once-a-second timer; connects to the
// display on first use and keeps the connection, and falls back to the process scan when the
// display goes away.
class SystemGameRunningCheck : public GameRunningCheck {
public:
    SystemGameRunningCheck();
    bool isRunning(int gameType) override;

    // The engine filmed for a game type; the Windows program until set.
    void setEngine(int gameType, const EngineProfile &profile) override;

    // Whether the last answer came from the display (true) or from the process scan.
    bool lastAnswerFromDisplay() const { return m_fromDisplay; }

private:
    std::unique_ptr<WindowFinder> m_windows;
    EngineProfile m_engines[2];
    bool m_fromDisplay = false;
};

// Test double: answers what the test set, per game type or for all.
class FakeGameRunningCheck : public GameRunningCheck {
public:
    explicit FakeGameRunningCheck(bool running = false)
        : m_running{running, running}
    {
    }
    void setRunning(bool running) { m_running[0] = m_running[1] = running; }
    void setRunning(int gameType, bool running)
    {
        if (gameType == 0 || gameType == 1)
            m_running[gameType] = running;
    }
    bool isRunning(int gameType) override
    {
        ++m_calls;
        return (gameType == 0 || gameType == 1) && m_running[gameType];
    }
    int calls() const { return m_calls; }

private:
    bool m_running[2];
    int m_calls = 0;
};

} // namespace arbelon
