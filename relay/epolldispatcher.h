#pragma once
// Event dispatcher on Linux epoll. Qt's own dispatchers poll every registered socket on each
// turn of the loop; with thousands of Viewers that alone costs milliseconds per turn. Here a
// turn costs time in the number of sockets that are ready. Timers and posted events behave
// as with Qt's dispatchers.

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>

#include <atomic>
#include <vector>

namespace arbelon {

class EpollEventDispatcher : public QAbstractEventDispatcher {
    Q_OBJECT
public:
    explicit EpollEventDispatcher(QObject *parent = nullptr);
    ~EpollEventDispatcher() override;
    // False when the kernel refused epoll or eventfd; do not install it then.
    bool isValid() const { return m_epoll >= 0 && m_wake >= 0; }

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;
    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;
    void wakeUp() override;
    void interrupt() override;

private:
    struct Notifiers {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
        QSocketNotifier *exception = nullptr;
        quint32 events = 0; // what epoll watches now
        bool dirty = false; // the notifiers changed since epoll was last told
    };
    struct Timer {
        int id;
        qint64 intervalMs;
        Qt::TimerType type;
        QObject *object;
        qint64 dueMs;
        bool firing;
    };

    // Tells epoll what changed, just before waiting: Qt switches a socket's write notifier
    // on and off around every write, which then costs nothing within one turn.
    void syncWatches();
    void watch(int fd, Notifiers &n);
    Notifiers *find(int fd) { return fd >= 0 && size_t(fd) < m_sockets.size() ? &m_sockets[size_t(fd)] : nullptr; }
    // Milliseconds until the next timer is due: 0 when one is, -1 when there is none.
    int timeToNextTimer() const;
    bool fireTimers();

    int m_epoll = -1;
    int m_wake = -1; // eventfd that wakeUp() writes, from any thread
    std::atomic<bool> m_interrupted{false};
    std::vector<Notifiers> m_sockets; // indexed by descriptor
    std::vector<int> m_dirty;
    std::vector<Timer> m_timers; // few: the server's own and Qt's
    QElapsedTimer m_clock;
};

} // namespace arbelon
