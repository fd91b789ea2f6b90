#pragma once
// A queue from one thread to another, with a descriptor that becomes readable while items
// wait, so the receiving thread's event loop can watch it with a QSocketNotifier. The
// queue's own mutex is all the threads share: no Qt object crosses between them.

#include <QtGlobal>

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/eventfd.h>
#endif

namespace arbelon {

template <typename T>
class RelayMailbox {
public:
    RelayMailbox()
    {
#ifdef Q_OS_LINUX
        m_read = m_write = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#else
        int fds[2];
        if (::pipe(fds) == 0) {
            m_read = fds[0];
            m_write = fds[1];
            ::fcntl(m_read, F_SETFL, O_NONBLOCK);
            ::fcntl(m_write, F_SETFL, O_NONBLOCK);
        }
#endif
    }
    ~RelayMailbox()
    {
        if (m_read >= 0)
            ::close(m_read);
        if (m_write >= 0 && m_write != m_read)
            ::close(m_write);
    }
    RelayMailbox(const RelayMailbox &) = delete;
    RelayMailbox &operator=(const RelayMailbox &) = delete;

    bool isValid() const { return m_read >= 0; }
    int descriptor() const { return m_read; }

    // Runs edit(items) under the lock, and wakes the receiver when items now wait and it
    // has not been woken since it last took them.
    template <typename Edit>
    void post(Edit &&edit)
    {
        bool wake = false;
        {
            const std::lock_guard lock(m_mutex);
            std::forward<Edit>(edit)(m_items);
            wake = !m_items.empty() && !m_woken;
            if (wake)
                m_woken = true;
        }
        if (wake) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(m_write, &one, sizeof one);
        }
    }

    // Everything that waits, oldest first.
    std::vector<T> take()
    {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(m_read, &count, sizeof count);
        std::vector<T> items;
        const std::lock_guard lock(m_mutex);
        m_woken = false;
        items.swap(m_items);
        return items;
    }

private:
    int m_read = -1;
    int m_write = -1;
    std::mutex m_mutex;
    std::vector<T> m_items;
    bool m_woken = false;
};

} // namespace arbelon
