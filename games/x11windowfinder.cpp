#include "x11windowfinder.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <pthread.h>

namespace arbelon {

namespace {

// After a display could not be reached, how long before trying again.
constexpr qint64 kRetryAfterMs = 2000;
// Bounds on what one search reads, whatever the server answers.
constexpr std::uint32_t kMaxClientListWords = 65536;
constexpr std::size_t kMaxWindowsPerLevel = 65536;
// WM_CLASS names are short; 256 bytes hold any real one.
constexpr std::uint32_t kMaxClassWords = 64;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// Collects a reply and drops the error, if any: a window may vanish between the listing
// and the question about its title.
template <typename T, typename Cookie, typename Fn>
Reply<T> take(xcb_connection_t *c, Cookie cookie, Fn replyFn)
{
    xcb_generic_error_t *error = nullptr;
    Reply<T> reply(replyFn(c, cookie, &error));
    std::free(error);
    return reply;
}

xcb_atom_t internAtom(xcb_connection_t *c, const char *name)
{
    const auto reply = take<xcb_intern_atom_reply_t>(
        c, xcb_intern_atom(c, 0, std::uint16_t(std::strlen(name)), name), xcb_intern_atom_reply);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// Whether a text property holds exactly the title; trailing NULs are not part of a title.
bool holdsTitle(const xcb_get_property_reply_t *reply, const QByteArray &title)
{
    if (reply->bytes_after > 0 || reply->format != 8)
        return false;
    const char *value = static_cast<const char *>(xcb_get_property_value(reply));
    int length = xcb_get_property_value_length(reply);
    while (length > 0 && value[length - 1] == '\0')
        --length;
    return length == title.size() && std::memcmp(value, title.constData(), size_t(length)) == 0;
}

// WM_CLASS is "instance\0class\0"; either part may name the program.
bool holdsClass(const xcb_get_property_reply_t *reply, const QList<QByteArray> &classes)
{
    if (reply->format != 8 || reply->type != XCB_ATOM_STRING)
        return false;
    const QByteArray value(static_cast<const char *>(xcb_get_property_value(reply)),
                           xcb_get_property_value_length(reply));
    const QList<QByteArray> parts = value.split('\0');
    for (const QByteArray &part : parts) {
        for (const QByteArray &wanted : classes) {
            if (!part.isEmpty() && part.compare(wanted, Qt::CaseInsensitive) == 0)
                return true;
        }
    }
    return false;
}

// Writing to a display that has gone away raises SIGPIPE, which would end the program.
// The signal is held back while this thread talks to the display, and dropped if it came.
class SigpipeGuard {
public:
    SigpipeGuard()
    {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_old);
    }
    ~SigpipeGuard()
    {
        sigset_t pending;
        sigpending(&pending);
        if (!m_wasPending && sigismember(&pending, SIGPIPE) == 1) {
            const timespec now{0, 0};
            while (sigtimedwait(&m_pipe, nullptr, &now) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    SigpipeGuard(const SigpipeGuard &) = delete;
    SigpipeGuard &operator=(const SigpipeGuard &) = delete;

private:
    sigset_t m_pipe;
    sigset_t m_old;
    bool m_wasPending = false;
};

} // namespace

X11WindowFinder::X11WindowFinder() = default;

X11WindowFinder::~X11WindowFinder()
{
    disconnect();
}

void X11WindowFinder::disconnect()
{
    if (m_conn)
        xcb_disconnect(m_conn);
    m_conn = nullptr;
    m_roots.clear();
}

bool X11WindowFinder::reachable()
{
    if (m_conn)
        return true;
    const QByteArray display = qgetenv("DISPLAY");
    if (display.isEmpty())
        return false;
    if (m_sinceFailure.isValid() && !m_sinceFailure.hasExpired(kRetryAfterMs))
        return false;

    SigpipeGuard guard;
    m_conn = xcb_connect(display.constData(), nullptr);
    if (xcb_connection_has_error(m_conn)) {
        disconnect(); // xcb hands out an error object that still needs freeing
        m_sinceFailure.start();
        return false;
    }
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(m_conn)); it.rem;
         xcb_screen_next(&it))
        m_roots.push_back(it.data->root);
    m_netClientList = internAtom(m_conn, "_NET_CLIENT_LIST");
    m_netWmName = internAtom(m_conn, "_NET_WM_NAME");
    m_utf8String = internAtom(m_conn, "UTF8_STRING");
    if (xcb_connection_has_error(m_conn)) {
        disconnect();
        m_sinceFailure.start();
        return false;
    }
    m_sinceFailure.invalidate();
    return true;
}

std::optional<bool> X11WindowFinder::topLevelWindowExists(const QByteArray &titleUtf8)
{
    return topLevelWindowExists(WindowMatch{titleUtf8, {}});
}

std::optional<bool> X11WindowFinder::topLevelWindowExists(const WindowMatch &match)
{
    if (!reachable())
        return std::nullopt;
    if (match.title.isEmpty() && match.classes.isEmpty())
        return false;
    SigpipeGuard guard;
    const bool found = search(match);
    // Nothing is selected, but a stray event must not pile up in the queue over hours.
    while (xcb_generic_event_t *event = xcb_poll_for_event(m_conn))
        std::free(event);
    if (xcb_connection_has_error(m_conn)) {
        disconnect();
        m_sinceFailure.start();
        return std::nullopt;
    }
    return found;
}

bool X11WindowFinder::search(const WindowMatch &title)
{
    // Ask for every root's client list and children at once, then read the answers.
    std::vector<xcb_get_property_cookie_t> listCookies;
    std::vector<xcb_query_tree_cookie_t> treeCookies;
    for (const std::uint32_t root : m_roots) {
        listCookies.push_back(xcb_get_property(m_conn, 0, root, m_netClientList, XCB_ATOM_WINDOW,
                                               0, kMaxClientListWords));
        treeCookies.push_back(xcb_query_tree(m_conn, root));
    }
    WindowList clients;
    WindowList rootChildren;
    for (std::size_t i = 0; i < m_roots.size(); ++i) {
        const auto list = take<xcb_get_property_reply_t>(m_conn, listCookies[i],
                                                         xcb_get_property_reply);
        if (list && list->type == XCB_ATOM_WINDOW && list->format == 32) {
            const auto *ids = static_cast<const xcb_window_t *>(xcb_get_property_value(list.get()));
            const int count = xcb_get_property_value_length(list.get()) / 4;
            clients.insert(clients.end(), ids, ids + count);
        }
        const auto tree = take<xcb_query_tree_reply_t>(m_conn, treeCookies[i],
                                                       xcb_query_tree_reply);
        if (tree) {
            const xcb_window_t *ids = xcb_query_tree_children(tree.get());
            const int count = xcb_query_tree_children_length(tree.get());
            rootChildren.insert(rootChildren.end(), ids, ids + count);
        }
    }

    // The window manager's list names the managed windows wherever it reparented them. The
    // tree is walked as well: without a window manager there is no list, and a list left on
    // the root by one that has exited may be stale.
    if (anyTitled(clients, title, nullptr))
        return true;
    WindowList grandChildren;
    if (anyTitled(rootChildren, title, &grandChildren))
        return true;
    return anyTitled(grandChildren, title, nullptr);
}

bool X11WindowFinder::anyTitled(const WindowList &windows, const WindowMatch &match,
                                WindowList *children)
{
    const QByteArray &title = match.title;
    // Enough words to see one byte past the title: a longer value is no match.
    const std::uint32_t words = std::uint32_t(title.size() / 4 + 2);
    const bool byTitle = !title.isEmpty();
    const bool byClass = !match.classes.isEmpty();
    const std::size_t count = std::min(windows.size(), kMaxWindowsPerLevel);

    struct Pending {
        xcb_get_property_cookie_t netName;
        xcb_get_property_cookie_t name;
        xcb_get_property_cookie_t wmClass;
        xcb_query_tree_cookie_t tree;
    };
    std::vector<Pending> pending(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (byTitle) {
            pending[i].netName = xcb_get_property(m_conn, 0, windows[i], m_netWmName, m_utf8String,
                                                  0, words);
            pending[i].name = xcb_get_property(m_conn, 0, windows[i], XCB_ATOM_WM_NAME,
                                               XCB_GET_PROPERTY_TYPE_ANY, 0, words);
        }
        if (byClass)
            pending[i].wmClass = xcb_get_property(m_conn, 0, windows[i], XCB_ATOM_WM_CLASS,
                                                  XCB_ATOM_STRING, 0, kMaxClassWords);
        if (children)
            pending[i].tree = xcb_query_tree(m_conn, windows[i]);
    }

    // Every reply is collected, also after a match, so none is left waiting in xcb.
    bool found = false;
    for (const Pending &p : pending) {
        if (byClass) {
            const auto cls = take<xcb_get_property_reply_t>(m_conn, p.wmClass, xcb_get_property_reply);
            found = found || (cls && holdsClass(cls.get(), match.classes));
        }
        const auto netName = byTitle ? take<xcb_get_property_reply_t>(m_conn, p.netName, xcb_get_property_reply)
                                     : nullptr;
        const auto name = byTitle ? take<xcb_get_property_reply_t>(m_conn, p.name, xcb_get_property_reply)
                                  : nullptr;
        // The UTF-8 name, where a window has one, is its title; WM_NAME is the older one. A
        // _NET_WM_NAME of another type comes back empty (its type asked was UTF8_STRING), so
        // it does not count as a name and WM_NAME decides.
        if (netName && netName->type == m_utf8String)
            found = found || holdsTitle(netName.get(), title);
        else if (name && name->type != XCB_ATOM_NONE)
            found = found || holdsTitle(name.get(), title);
        if (children) {
            const auto tree = take<xcb_query_tree_reply_t>(m_conn, p.tree, xcb_query_tree_reply);
            if (tree && children->size() < kMaxWindowsPerLevel) {
                const xcb_window_t *ids = xcb_query_tree_children(tree.get());
                const int n = xcb_query_tree_children_length(tree.get());
                children->insert(children->end(), ids, ids + n);
            }
        }
    }
    return found;
}

} // namespace arbelon

namespace arbelon {

WindowFinder::~WindowFinder() = default;

std::unique_ptr<WindowFinder> WindowFinder::create()
{
    return std::make_unique<X11WindowFinder>();
}

} // namespace arbelon
