// SIGINT and SIGTERM through a socket pair: the handler only writes a byte; a notifier in the
// event loop turns it into quitRequested().
#include "quitrequests.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace arbelon {

namespace {

int g_writeFd = -1;

extern "C" void onQuitSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_writeFd, &c, 1);
}

} // namespace

struct QuitRequests::Platform {
    int fds[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction oldTerm {};
    struct sigaction oldInt {};
};

QuitRequests::QuitRequests(QObject *parent) : QObject(parent), m_platform(std::make_unique<Platform>())
{
    Platform &p = *m_platform;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, p.fds) != 0)
        return; // without the pair the signals keep their default: the program ends at once
    ::fcntl(p.fds[0], F_SETFL, O_NONBLOCK);
    g_writeFd = p.fds[0];
    p.notifier = std::make_unique<QSocketNotifier>(p.fds[1], QSocketNotifier::Read);
    connect(p.notifier.get(), &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        [[maybe_unused]] const ssize_t n = ::read(m_platform->fds[1], buffer, sizeof buffer);
        deliver();
    });
    struct sigaction sa {};
    sa.sa_handler = onQuitSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, &p.oldTerm);
    ::sigaction(SIGINT, &sa, &p.oldInt);
}

QuitRequests::~QuitRequests()
{
    Platform &p = *m_platform;
    if (p.fds[0] < 0)
        return;
    ::sigaction(SIGTERM, &p.oldTerm, nullptr);
    ::sigaction(SIGINT, &p.oldInt, nullptr);
    g_writeFd = -1;
    p.notifier.reset();
    ::close(p.fds[0]);
    ::close(p.fds[1]);
}

} // namespace arbelon
