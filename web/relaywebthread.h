#pragma once
// The web page on a thread of its own, so that no page, however large or often asked for,
// takes time from the games. The server is made, run and destroyed on that thread, where
// its sockets belong.

#include "httpguard.h"

#include <QHostAddress>
#include <QThread>

#include <atomic>
#include <future>

namespace arbelon {

class RelayArchive;
class RelayWebFeed;

class RelayWebThread : public QThread {
    Q_OBJECT
public:
    // The feed and the archive (may be null) must outlive the thread.
    RelayWebThread(const RelayWebFeed &feed, RelayArchive *archive, HttpGuard::Limits limits = {},
                   QObject *parent = nullptr);
    // Stops the thread.
    ~RelayWebThread() override;

    // Starts the thread and waits until the port is open; false with the reason.
    bool listen(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const { return m_port.load(); }
    // Ends the page's connections and the thread; waits for it.
    void stop();

protected:
    void run() override;

private:
    const RelayWebFeed &m_feed;
    RelayArchive *m_archive;
    const HttpGuard::Limits m_limits;
    QHostAddress m_address;
    quint16 m_wantedPort = 0;
    std::promise<QString> m_opened; // empty once listening, else why not
    std::atomic<quint16> m_port{0};
};

} // namespace arbelon
