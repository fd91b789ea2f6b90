#include "relaywebthread.h"

#include "relaywebserver.h"

#ifdef Q_OS_LINUX
#include "epolldispatcher.h"
#endif

namespace arbelon {

RelayWebThread::RelayWebThread(const RelayWebFeed &feed, RelayArchive *archive, HttpGuard::Limits limits, QObject *parent)
    : QThread(parent), m_feed(feed), m_archive(archive), m_limits(limits)
{
    setObjectName(QStringLiteral("web"));
#ifdef Q_OS_LINUX
    // Hundreds of browsers polling: the same dispatcher as the games' thread, whose cost does
    // not grow with the sockets that are quiet.
    auto dispatcher = std::make_unique<EpollEventDispatcher>();
    if (dispatcher->isValid())
        setEventDispatcher(dispatcher.release());
#endif
}

RelayWebThread::~RelayWebThread()
{
    stop();
}

bool RelayWebThread::listen(const QHostAddress &address, quint16 port, QString *error)
{
    m_address = address;
    m_wantedPort = port;
    std::future<QString> opened = m_opened.get_future();
    start();
    const QString why = opened.get();
    if (why.isEmpty())
        return true;
    wait();
    *error = why;
    return false;
}

void RelayWebThread::stop()
{
    quit();
    wait();
}

void RelayWebThread::run()
{
    RelayWebServer web(m_feed, m_archive, m_limits);
    QString error;
    if (!web.listenOn(m_address, m_wantedPort, &error)) {
        m_opened.set_value(error.isEmpty() ? QStringLiteral("web port did not open") : error);
        return;
    }
    m_port.store(web.port());
    m_opened.set_value(QString());
    exec();
}

} // namespace arbelon
