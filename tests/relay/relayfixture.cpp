#include "relayfixture.h"

#ifdef __linux__
#include "epolldispatcher.h"
#endif
#include "relaylog.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTest>

namespace arbelon::test {

QByteArray randomBytes(int n, quint32 seed)
{
    QByteArray bytes(n, '\0');
    QRandomGenerator gen(seed);
    for (char &c : bytes)
        c = char(gen.bounded(256));
    return bytes;
}

bool upload(RelayTestClient *filmer, const QByteArray &data, qsizetype from, qsizetype to,
            qsizetype blockSize)
{
    for (qsizetype pos = from; pos < to; pos += blockSize) {
        const QByteArrayView block = QByteArrayView(data).sliced(pos, qMin(blockSize, to - pos));
        if (filmer->request(RelayTestClient::demoPacket(block, int(pos / blockSize) + 1)) != 0)
            return false;
    }
    return true;
}

void RelayFixture::setUp()
{
    m_log.clear();
    RelayLog::setSink([this](const QString &line) {
        m_log.append(line);
        if (qEnvironmentVariableIsSet("RELAY_TEST_LOG")) // the server's log, when debugging a test
            qInfo("%s", qPrintable(line));
    });
}

void RelayFixture::tearDown()
{
    m_clients.clear();
    m_server.reset();
    RelayLog::setSink({});
}

RelayServer &RelayFixture::startServer(RelayConfig config, bool manualClock)
{
    config.listenAddress = QHostAddress(QHostAddress::LocalHost);
    config.viewerPort = 0;
    config.filmerPort = 0;
    // The same cases again with the sockets on worker threads (a second registration).
    if (const int workers = qEnvironmentVariableIntValue("ARBELON_RELAY_TEST_WORKERS"); workers > 0)
        config.workers = workers;
    m_server = std::make_unique<RelayServer>(config);
    if (manualClock)
        m_server->setClock([this] { return clock.load(); });
    QString error;
    if (!m_server->start(&error))
        qFatal("relay did not start: %s", qPrintable(error));
    return *m_server;
}

RelayTestClient *RelayFixture::newClient()
{
    m_clients.push_back(std::make_unique<RelayTestClient>());
    return m_clients.back().get();
}

RelayTestClient *RelayFixture::viewer(const QByteArray &name, quint32 gameId)
{
    RelayTestClient *c = newClient();
    if (!c->connectTo(m_server->viewerPort()) || !c->signIn(name))
        return nullptr;
    if (gameId != 0 && c->request(buildWaitForGame(qint32(gameId))) != 0)
        return nullptr;
    return c;
}

RelayTestClient *RelayFixture::filmer(const QByteArray &gameName, const QByteArray &user, int gameType)
{
    RelayTestClient *c = newClient();
    if (!c->connectTo(m_server->filmerPort()) || !c->openGame(gameName, user, {}, gameType))
        return nullptr;
    return c;
}

bool RelayFixture::logHas(const QString &text) const
{
    for (const QString &line : m_log) {
        if (line.contains(text))
            return true;
    }
    return false;
}

bool RelayFixture::barrier(RelayTestClient *c)
{
    return c->request(buildSendText({}, "barrier")) >= 0;
}

int runOnRelayDispatcher(QObject *test, int argc, char *argv[])
{
#ifdef __linux__
    auto dispatcher = std::make_unique<EpollEventDispatcher>();
    QCoreApplication::setEventDispatcher(dispatcher.release()); // the application owns it
#endif
    QCoreApplication app(argc, argv);
    return QTest::qExec(test, argc, argv);
}

} // namespace arbelon::test
