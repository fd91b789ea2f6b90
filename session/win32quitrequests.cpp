// The console's control events. The handler runs on a thread of the system's: it posts the
// request to the event loop. For Ctrl-C and Ctrl-Break that is all; for the console's close,
// logoff and shutdown the process ends as soon as the handler returns, so the handler waits
// (a few seconds at most, as the system allows) until the program has ended its session.
#include "quitrequests.h"

#include <QMetaObject>

#include <atomic>

#include <windows.h>

namespace arbelon {

namespace {

std::atomic<QuitRequests *> g_instance{nullptr};
// Set once the object has gone: the program is through with its ending.
HANDLE g_done = nullptr;

// The system ends the process five seconds after a close event at the latest.
constexpr DWORD kCloseWaitMs = 4500;

BOOL WINAPI onControl(DWORD event)
{
    QuitRequests *target = g_instance.load();
    if (!target)
        return FALSE;
    QMetaObject::invokeMethod(
        target, [target] { target->deliver(); }, Qt::QueuedConnection);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(g_done, kCloseWaitMs);
    return TRUE;
}

} // namespace

struct QuitRequests::Platform {
    bool installed = false;
};

QuitRequests::QuitRequests(QObject *parent) : QObject(parent), m_platform(std::make_unique<Platform>())
{
    if (!g_done)
        g_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(g_done);
    g_instance.store(this);
    m_platform->installed = SetConsoleCtrlHandler(onControl, TRUE) != 0;
}

QuitRequests::~QuitRequests()
{
    g_instance.store(nullptr);
    if (m_platform->installed)
        SetConsoleCtrlHandler(onControl, FALSE);
    SetEvent(g_done);
}

} // namespace arbelon
