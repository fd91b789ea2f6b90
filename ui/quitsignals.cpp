#include "quitsignals.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QWidget>

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

QuitSignals::QuitSignals(QObject *parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds) != 0)
        return; // without the pair the signals keep their default: the program ends at once
    ::fcntl(m_fds[0], F_SETFL, O_NONBLOCK);
    g_writeFd = m_fds[0];
    m_notifier = new QSocketNotifier(m_fds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &QuitSignals::onActivated);
    struct sigaction sa {};
    sa.sa_handler = onQuitSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, &m_oldTerm);
    ::sigaction(SIGINT, &sa, &m_oldInt);
}

QuitSignals::~QuitSignals()
{
    if (m_fds[0] < 0)
        return;
    ::sigaction(SIGTERM, &m_oldTerm, nullptr);
    ::sigaction(SIGINT, &m_oldInt, nullptr);
    g_writeFd = -1;
    delete m_notifier;
    ::close(m_fds[0]);
    ::close(m_fds[1]);
}

void QuitSignals::onActivated()
{
    char buffer[16];
    [[maybe_unused]] const ssize_t n = ::read(m_fds[1], buffer, sizeof buffer);
    m_requested = true;
    // A box open at the time (the user-name prompt) would hold the program in its own loop.
    while (QWidget *modal = QApplication::activeModalWidget()) {
        if (!modal->close())
            break;
    }
    emit quitRequested();
}

} // namespace arbelon
