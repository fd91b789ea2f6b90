#pragma once
// The system's request to end (SIGTERM and SIGINT: a desktop logout, Ctrl-C in the terminal
// that started the window; on Windows the console's control events) ends the program the way
// closing the window does: the settings are saved, demo files closed and the session ended.
// A box open at the time is closed first, so that it does not hold the program in its loop.

#include "quitrequests.h"

#include <QObject>

namespace arbelon {

class QuitSignals : public QObject {
    Q_OBJECT
public:
    explicit QuitSignals(QObject *parent = nullptr);

    // A request has come (it stays so).
    bool requested() const { return m_requests.requested(); }

signals:
    // A request has come: a modal box open at the time has been closed already.
    void quitRequested();

private:
    void onRequested();

    QuitRequests m_requests;
};

} // namespace arbelon
