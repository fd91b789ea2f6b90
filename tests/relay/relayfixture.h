#pragma once
// What the in-process relay tests share: a server on 127.0.0.1 with free ports (optionally
// on a clock the test moves), test clients that it owns, and the server's log lines.

#include "relayserver.h"
#include "relaytestclient.h"

#include <QStringList>

#include <atomic>
#include <memory>
#include <vector>

namespace arbelon::test {

class RelayFixture {
public:
    // Call from the test class's init() and cleanup().
    void setUp();
    void tearDown();

    RelayServer &startServer(RelayConfig config = {}, bool manualClock = false);
    RelayServer &server() { return *m_server; }
    RelayTestClient *newClient();
    // A Viewer signed in (and in the lobby of gameId unless 0); nullptr when refused.
    RelayTestClient *viewer(const QByteArray &name, quint32 gameId = 0);
    // A Filmer whose game was accepted; nullptr when refused.
    RelayTestClient *filmer(const QByteArray &gameName, const QByteArray &user, int gameType = 0);
    bool logHas(const QString &text) const;
    // A chat line sent and answered: whatever the server queued for this client before is
    // then in its records.
    static bool barrier(RelayTestClient *c);
    // The clock the server reads when started with manualClock (its worker threads too).
    std::atomic<qint64> clock = 1000000;

private:
    std::unique_ptr<RelayServer> m_server;
    std::vector<std::unique_ptr<RelayTestClient>> m_clients;
    QStringList m_log;
};

QByteArray randomBytes(int n, quint32 seed);
// Uploads data[from, to) in blocks of blockSize, each after the answer to the one before.
bool upload(RelayTestClient *filmer, const QByteArray &data, qsizetype from, qsizetype to,
            qsizetype blockSize = 10000);
// Runs a test object on the daemon's event dispatcher, clients and server alike.
int runOnRelayDispatcher(QObject *test, int argc, char *argv[]);

} // namespace arbelon::test
