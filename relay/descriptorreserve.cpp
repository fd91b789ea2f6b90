#include "descriptorreserve.h"

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace arbelon {

DescriptorReserve::DescriptorReserve() { hold(); }

DescriptorReserve::~DescriptorReserve()
{
#ifdef Q_OS_UNIX
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

void DescriptorReserve::hold()
{
#ifdef Q_OS_UNIX
    if (m_fd < 0)
        m_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
#endif
}

DescriptorReserve::Drained DescriptorReserve::drain([[maybe_unused]] qintptr listenFd,
                                                   [[maybe_unused]] const std::function<void(qintptr)> &accepted,
                                                   [[maybe_unused]] QByteArrayView goodbye)
{
    Drained out;
#ifdef Q_OS_UNIX
    for (int i = 0; i < 4096; ++i) { // a bounded turn: the listener is asked again after it
        const int fd = ::accept4(int(listenFd), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            ++out.accepted;
            accepted(fd);
            continue;
        }
        if (errno == ECONNABORTED || errno == EINTR)
            continue; // that one is gone; others may wait
        if (errno != EMFILE && errno != ENFILE)
            break;
        if (!refuseOne(listenFd, goodbye))
            break;
        ++out.refused;
    }
#endif
    return out;
}

bool DescriptorReserve::refuseOne([[maybe_unused]] qintptr listenFd, [[maybe_unused]] QByteArrayView goodbye)
{
#ifdef Q_OS_UNIX
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    const int fd = ::accept4(int(listenFd), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t sent = ::send(fd, goodbye.data(), size_t(goodbye.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        ::close(fd);
    }
    hold();
    return fd >= 0;
#else
    return false;
#endif
}

} // namespace arbelon
