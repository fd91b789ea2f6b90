#include "epolldispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace arbelon {

namespace {
constexpr int kMaxEvents = 1024;

struct Activation {
    int fd;
    QSocketNotifier::Type type;
};
} // namespace

EpollEventDispatcher::EpollEventDispatcher(QObject *parent) : QAbstractEventDispatcher(parent)
{
    m_clock.start();
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_epoll >= 0 && m_wake >= 0) {
        epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.fd = m_wake;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &ev);
    }
}

EpollEventDispatcher::~EpollEventDispatcher()
{
    if (m_wake >= 0)
        ::close(m_wake);
    if (m_epoll >= 0)
        ::close(m_epoll);
}

// ---- sockets ------------------------------------------------------------------------

void EpollEventDispatcher::watch(int fd, Notifiers &n)
{
    const quint32 wanted = (n.read ? quint32(EPOLLIN) : 0u) | (n.write ? quint32(EPOLLOUT) : 0u)
                           | (n.exception ? quint32(EPOLLPRI) : 0u);
    if (wanted == n.events)
        return;
    epoll_event ev = {};
    ev.events = wanted;
    ev.data.fd = fd;
    if (wanted == 0) {
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, &ev);
    } else if (n.events == 0) {
        if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) != 0 && errno == EEXIST)
            ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &ev);
    } else if (::epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &ev) != 0 && errno == ENOENT) {
        // The descriptor was closed and reused behind our back: watch the new one.
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev);
    }
    n.events = wanted;
}

void EpollEventDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    if (fd < 0)
        return;
    if (size_t(fd) >= m_sockets.size())
        m_sockets.resize(size_t(fd) + 1);
    Notifiers &n = m_sockets[size_t(fd)];
    switch (notifier->type()) {
    case QSocketNotifier::Read: n.read = notifier; break;
    case QSocketNotifier::Write: n.write = notifier; break;
    case QSocketNotifier::Exception: n.exception = notifier; break;
    }
    if (!n.dirty) {
        n.dirty = true;
        m_dirty.push_back(fd);
    }
}

void EpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    Notifiers *n = find(fd);
    if (!n)
        return;
    if (n->read == notifier)
        n->read = nullptr;
    if (n->write == notifier)
        n->write = nullptr;
    if (n->exception == notifier)
        n->exception = nullptr;
    if (!n->read && !n->write && !n->exception) {
        // Told now, while the descriptor is still open: once closed, its number may come
        // back for another socket within this same turn.
        watch(fd, *n);
        return;
    }
    if (!n->dirty) {
        n->dirty = true;
        m_dirty.push_back(fd);
    }
}

void EpollEventDispatcher::syncWatches()
{
    for (const int fd : m_dirty) {
        Notifiers &n = m_sockets[size_t(fd)];
        n.dirty = false;
        watch(fd, n);
    }
    m_dirty.clear();
}

// ---- timers -------------------------------------------------------------------------

void EpollEventDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object)
{
    m_timers.push_back({timerId, interval, timerType, object, m_clock.elapsed() + interval, false});
}

bool EpollEventDispatcher::unregisterTimer(int timerId)
{
    const auto it = std::find_if(m_timers.begin(), m_timers.end(), [timerId](const Timer &t) { return t.id == timerId; });
    if (it == m_timers.end())
        return false;
    m_timers.erase(it);
    return true;
}

bool EpollEventDispatcher::unregisterTimers(QObject *object)
{
    const auto before = m_timers.size();
    m_timers.erase(std::remove_if(m_timers.begin(), m_timers.end(),
                                  [object](const Timer &t) { return t.object == object; }),
                   m_timers.end());
    return m_timers.size() != before;
}

QList<QAbstractEventDispatcher::TimerInfo> EpollEventDispatcher::registeredTimers(QObject *object) const
{
    QList<TimerInfo> list;
    for (const Timer &t : m_timers) {
        if (t.object == object)
            list.append(TimerInfo(t.id, int(t.intervalMs), t.type));
    }
    return list;
}

int EpollEventDispatcher::remainingTime(int timerId)
{
    for (const Timer &t : m_timers) {
        if (t.id == timerId)
            return int(std::max<qint64>(0, t.dueMs - m_clock.elapsed()));
    }
    return -1;
}

int EpollEventDispatcher::timeToNextTimer() const
{
    if (m_timers.empty())
        return -1;
    qint64 earliest = m_timers.front().dueMs;
    for (const Timer &t : m_timers)
        earliest = std::min(earliest, t.dueMs);
    return int(std::clamp<qint64>(earliest - m_clock.elapsed(), 0, 24 * 3600 * 1000));
}

bool EpollEventDispatcher::fireTimers()
{
    const qint64 now = m_clock.elapsed();
    if (std::none_of(m_timers.begin(), m_timers.end(),
                     [now](const Timer &t) { return t.dueMs <= now && !t.firing; }))
        return false;
    std::vector<int> due;
    for (const Timer &t : m_timers) {
        if (t.dueMs <= now && !t.firing)
            due.push_back(t.id);
    }
    for (const int id : due) {
        // Looked up again: an earlier timer event may have removed or restarted it.
        auto it = std::find_if(m_timers.begin(), m_timers.end(), [id](const Timer &t) { return t.id == id; });
        if (it == m_timers.end() || it->dueMs > now || it->firing)
            continue;
        // A timer that fell behind skips what it missed rather than firing in a burst.
        it->dueMs += it->intervalMs;
        if (it->dueMs <= now)
            it->dueMs = now + it->intervalMs;
        it->firing = true;
        QObject *object = it->object;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(object, &event);
        it = std::find_if(m_timers.begin(), m_timers.end(), [id](const Timer &t) { return t.id == id; });
        if (it != m_timers.end())
            it->firing = false;
    }
    return !due.empty();
}

// ---- the loop -----------------------------------------------------------------------

void EpollEventDispatcher::wakeUp()
{
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
}

void EpollEventDispatcher::interrupt()
{
    m_interrupted.store(true);
    wakeUp();
}

bool EpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    emit awake();
    // Posted events first; whatever they post in turn wakes the wait below at once.
    QCoreApplication::sendPostedEvents();
    if (m_interrupted.exchange(false))
        return false;

    syncWatches();
    const bool mayWait = flags.testFlag(QEventLoop::WaitForMoreEvents);
    const int timeout = mayWait ? timeToNextTimer() : 0;
    if (timeout != 0)
        emit aboutToBlock();
    epoll_event events[kMaxEvents];
    int ready = ::epoll_wait(m_epoll, events, kMaxEvents, timeout);
    if (timeout != 0)
        emit awake();
    if (ready < 0)
        ready = 0; // EINTR: a signal; the caller turns the loop again

    bool handled = false;
    std::vector<Activation> activations;
    activations.reserve(size_t(ready) * 2);
    for (int i = 0; i < ready; ++i) {
        const int fd = events[i].data.fd;
        const quint32 e = events[i].events;
        if (fd == m_wake) {
            quint64 count = 0;
            [[maybe_unused]] const ssize_t n = ::read(m_wake, &count, sizeof count);
            handled = true;
            continue;
        }
        // As Qt's poll dispatcher does: hang-up and error wake every interested notifier.
        const quint32 trouble = EPOLLHUP | EPOLLERR;
        if (e & (EPOLLIN | EPOLLRDHUP | trouble))
            activations.push_back({fd, QSocketNotifier::Read});
        if (e & (EPOLLOUT | trouble))
            activations.push_back({fd, QSocketNotifier::Write});
        if (e & (EPOLLPRI | trouble))
            activations.push_back({fd, QSocketNotifier::Exception});
    }
    if (!flags.testFlag(QEventLoop::ExcludeSocketNotifiers)) {
        for (const Activation &a : activations) {
            // Looked up again: handling one socket may close or re-register another.
            const Notifiers *entry = find(a.fd);
            if (!entry)
                continue;
            QSocketNotifier *n = a.type == QSocketNotifier::Read    ? entry->read
                                 : a.type == QSocketNotifier::Write ? entry->write
                                                                    : entry->exception;
            if (!n || !n->isEnabled())
                continue;
            QEvent event(QEvent::SockAct);
            QCoreApplication::sendEvent(n, &event);
            handled = true;
        }
    }
    if (fireTimers())
        handled = true;
    return handled;
}

} // namespace arbelon
