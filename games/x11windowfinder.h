#pragma once
// Finds a top-level X window by its exact title or its WM_CLASS, over one xcb connection that is opened on
// first use and kept. Stands in for a title search over the desktop's top-level windows.

#include "windowfinder.h"

#include <QElapsedTimer>

#include <cstdint>
#include <optional>
#include <vector>

struct xcb_connection_t;

namespace arbelon {

class X11WindowFinder : public WindowFinder {
public:
    X11WindowFinder();
    ~X11WindowFinder() override;
    X11WindowFinder(const X11WindowFinder &) = delete;
    X11WindowFinder &operator=(const X11WindowFinder &) = delete;

    // Connects to $DISPLAY if not yet connected; false when none is set or it cannot be
    // reached. After a failed or lost connection the next attempt waits a little, so a
    // missing display costs nothing on a once-a-second check.
    bool reachable() override;

    // Whether a top-level window titled exactly titleUtf8 exists: a window in the window
    // manager's client list, a child of a root window, or a child of one of those (a window
    // manager's frame). nullopt when no display can be reached or it went away meanwhile.
    std::optional<bool> topLevelWindowExists(const QByteArray &titleUtf8);
    std::optional<bool> topLevelWindowExists(const WindowMatch &match) override;

private:
    using WindowList = std::vector<std::uint32_t>;

    void disconnect();
    bool search(const WindowMatch &match);
    bool anyTitled(const WindowList &windows, const WindowMatch &match, WindowList *children);

    xcb_connection_t *m_conn = nullptr;
    WindowList m_roots;
    std::uint32_t m_netClientList = 0;
    std::uint32_t m_netWmName = 0;
    std::uint32_t m_utf8String = 0;
    QElapsedTimer m_sinceFailure;
};

} // namespace arbelon
