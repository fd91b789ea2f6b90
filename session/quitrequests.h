#pragma once
// The system asks the program to end: SIGINT and SIGTERM on Linux; on Windows Ctrl-C,
// Ctrl-Break and the console's close, logoff and shutdown events. Either way the request
// arrives as quitRequested() in the event loop, so the program ends as it does when the user
// ends it (settings saved, demo files closed). One at a time; the handlers before are put
// back on destruction. One implementation per platform: posixquitrequests.cpp,
// win32quitrequests.cpp.

#include <QObject>

#include <memory>

namespace arbelon {

class QuitRequests : public QObject {
    Q_OBJECT
public:
    explicit QuitRequests(QObject *parent = nullptr);
    ~QuitRequests() override;

    // A request has come (it stays so).
    bool requested() const { return m_requested; }

    // Delivers a request as the system's handler does; for tests of what follows it.
    void deliver()
    {
        m_requested = true;
        emit quitRequested();
    }

signals:
    void quitRequested();

private:
    struct Platform;
    std::unique_ptr<Platform> m_platform;
    bool m_requested = false;
};

} // namespace arbelon
