#pragma once
// SIGTERM and SIGINT (a desktop logout, Ctrl-C in the terminal that started the window) end the
// program the way closing the window does: the settings are saved, demo files closed and the
// session ended. The handler only writes a byte; the event loop does the rest.

#include <QObject>

#include <csignal>

class QSocketNotifier;

namespace arbelon {

class QuitSignals : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; the ones before are put back on destruction. One at a time.
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override;

    // A signal has come (it stays so).
    bool requested() const { return m_requested; }

signals:
    // A signal has come: a modal box open at the time has been closed already.
    void quitRequested();

private:
    void onActivated();

    int m_fds[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
    bool m_requested = false;
    struct sigaction m_oldTerm {};
    struct sigaction m_oldInt {};
};

} // namespace arbelon
