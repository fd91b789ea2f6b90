#pragma once
// Whether a top-level window of a game exists: the desktop's own answer to "is the game
// running". One interface; one implementation per platform (x11windowfinder.cpp,
// win32windowfinder.cpp, nowindowfinder.cpp), chosen by CMake.

#include <QByteArray>
#include <QList>

#include <memory>
#include <optional>

namespace arbelon {

// A window is the game's when its title is exactly title (UTF-8), or when its class (X11:
// WM_CLASS instance or class; Windows: the window class name) is one of classes
// (case-insensitive). An empty part matches nothing.
struct WindowMatch {
    QByteArray title;
    QList<QByteArray> classes;
};

class WindowFinder {
public:
    virtual ~WindowFinder();

    // Whether a desktop whose windows can be searched is there now.
    virtual bool reachable() = 0;
    // Whether a matching top-level window exists; nullopt when no desktop can be reached.
    virtual std::optional<bool> topLevelWindowExists(const WindowMatch &match) = 0;

    // The finder of the platform this program was built for.
    static std::unique_ptr<WindowFinder> create();
};

} // namespace arbelon
