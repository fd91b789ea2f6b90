// arbelon-relay: the relay server as a headless daemon.

#include "arbelonversion.h"
#include "epolldispatcher.h"
#include "relaylog.h"
#include "relayoptions.h"
#include "clusterthread.h"
#include "natslink.h"
#include "clusteroptions.h"
#include "natsusers.h"
#include "relayarchive.h"
#include "relayfacts.h"
#include "relayserver.h"
#include "relaywebfeed.h"
#include "relaywebthread.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>

#include <csignal>
#include <memory>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

// Their default action ends the process without a word. The relay has no log file to reopen
// and no state to dump, so they are logged and otherwise ignored.
constexpr int kIgnoredSignals[] = {SIGHUP, SIGUSR1, SIGUSR2, SIGALRM};

extern "C" void onSignal(int signal)
{
    // Only async-signal-safe work here; the event loop does the rest.
    const char code = char(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[0], &code, 1);
}

bool installSignalHandlers()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return false;
    // A burst of signals must never block the handler: a full pipe drops the extra ones.
    ::fcntl(g_signalPipe[0], F_SETFL, ::fcntl(g_signalPipe[0], F_GETFL) | O_NONBLOCK);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    std::signal(SIGPIPE, SIG_IGN);
    bool ok = ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
    for (const int signal : kIgnoredSignals)
        ok = ok && ::sigaction(signal, &action, nullptr) == 0;
    return ok;
}

QString signalName(int signal)
{
    switch (signal) {
    case SIGINT: return QStringLiteral("SIGINT");
    case SIGTERM: return QStringLiteral("SIGTERM");
    case SIGHUP: return QStringLiteral("SIGHUP");
    case SIGUSR1: return QStringLiteral("SIGUSR1");
    case SIGUSR2: return QStringLiteral("SIGUSR2");
    case SIGALRM: return QStringLiteral("SIGALRM");
    }
    return QStringLiteral("signal %1").arg(signal);
}

// Every client holds a descriptor: take all the process may have.
void raiseDescriptorLimit(int wanted)
{
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < rlim_t(wanted) + 32)
        arbelon::RelayLog::write(QStringLiteral("warning: open-file limit %1 is below --max-clients %2")
                                     .arg(quint64(limit.rlim_cur))
                                     .arg(wanted));
}

// Qt's dispatchers look at every socket on every turn of the loop, glib's also removes
// notifiers in linear time: both cost dearly with thousands of Viewers.
void installEventDispatcher()
{
#ifdef Q_OS_LINUX
    auto dispatcher = std::make_unique<arbelon::EpollEventDispatcher>();
    if (dispatcher->isValid()) {
        QCoreApplication::setEventDispatcher(dispatcher.release());
        return;
    }
#endif
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}

} // namespace

int main(int argc, char *argv[])
{
    installEventDispatcher();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("arbelon-relay"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ARBELON_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Arbelon relay server: carries games filmed by Filmers to Viewers."));
    arbelon::addRelayOptions(parser);
    parser.process(app); // --help, --version and unknown flags end here

    arbelon::RelayConfig config;
    QString error;
    if (!arbelon::readRelayOptions(parser, &config, &error)) {
        std::fprintf(stderr, "arbelon-relay: %s\n", qPrintable(error));
        return 2;
    }
    if (!config.writeNatsUsers.isEmpty()) {
        if (!arbelon::writeNatsUsers(config.writeNatsUsers, config.clusterPeers, &error)) {
            std::fprintf(stderr, "arbelon-relay: %s\n", qPrintable(error));
            return 1;
        }
        std::printf("wrote %s/nats-users.conf and a .user file per node\n", qPrintable(config.writeNatsUsers));
        return 0;
    }
    if (!installSignalHandlers()) {
        std::fprintf(stderr, "arbelon-relay: cannot install signal handlers\n");
        return 1;
    }
    raiseDescriptorLimit(config.maxClients);

    arbelon::RelayServer server(config);
    if (!server.start(&error)) {
        arbelon::RelayLog::write(QStringLiteral("cannot listen: ") + error);
        return 1;
    }
    arbelon::RelayLog::write(QStringLiteral("listening viewer=%1 filmer=%2 address=%3 workers=%4")
                                 .arg(server.viewerPort())
                                 .arg(server.filmerPort())
                                 .arg(config.listenAddress.toString())
                                 .arg(qMax(1, server.workerCount())));

    std::unique_ptr<arbelon::RelayArchive> archive;
    if (!config.archiveDir.isEmpty()) {
        arbelon::RelayArchive::Options options{config.archiveDir, config.archiveMaxBytes, config.q3DemoExtension};
        options.reserveBytes = config.archiveReserveBytes;
        archive = std::make_unique<arbelon::RelayArchive>(options);
        if (!archive->start(&error)) {
            arbelon::RelayLog::write(QStringLiteral("cannot archive: ") + error);
            return 1;
        }
        server.addObserver(archive.get());
        arbelon::RelayLog::write(QStringLiteral("archive %1 (%2 demos, %3 bytes)")
                                     .arg(config.archiveDir)
                                     .arg(archive->demos().size())
                                     .arg(archive->totalBytes()));
    }
    // What is on in the games: their demos read by a thread of its own as Viewers get them.
    std::unique_ptr<arbelon::RelayFacts> facts;
    if (config.factsEnabled) {
        facts = std::make_unique<arbelon::RelayFacts>();
        server.addObserver(facts.get());
    }
    // The page runs on a thread of its own and sees the games through the feed's snapshots.
    std::unique_ptr<arbelon::RelayWebFeed> feed;
    std::unique_ptr<arbelon::RelayWebThread> web;
    if (config.httpEnabled) {
        feed = std::make_unique<arbelon::RelayWebFeed>(server);
        feed->setFacts(facts.get());
        web = std::make_unique<arbelon::RelayWebThread>(*feed, archive.get());
        const QHostAddress address = config.httpAddress.isNull() ? config.listenAddress : config.httpAddress;
        if (!web->listen(address, config.httpPort, &error)) {
            arbelon::RelayLog::write(QStringLiteral("cannot listen: ") + error);
            return 1;
        }
        arbelon::RelayLog::write(QStringLiteral("web http=%1 address=%2").arg(web->port()).arg(address.toString()));
        server.setWebPort(web->port());
    }

    // A cluster node: other nodes' games listed here, this relay's games there.
    std::unique_ptr<arbelon::ClusterThread> node;
    auto leaveCluster = [&] {
        if (!node)
            return;
        server.removeObserver(node.get());
        server.setUpstream(nullptr);
        node->leave(); // this relay's games leave every list at once
        node.reset();
    };
    if (!config.clusterServers.isEmpty()) {
        arbelon::ClusterConfig cluster;
        cluster.servers = config.clusterServers;
        cluster.nodeName = config.nodeName;
        cluster.auth = config.clusterAuth;
        cluster.peers = config.clusterPeers;
        cluster.maxGamesPerNode = config.maxGames;
        cluster.listedUsers = config.listedUsers;
        cluster.chatBurst = config.chatBurst;
        cluster.chatLinesPerSecond = config.chatLinesPerSecond;
        // Said before joining, so that the node's own lines (unreachable servers) follow it.
        QStringList shown;
        for (const QString &url : config.clusterServers)
            shown.append(arbelon::redactedUrl(url));
        arbelon::RelayLog::write(QStringLiteral("cluster node=%1 servers=%2")
                                     .arg(QString::fromLatin1(config.nodeName), shown.join(QLatin1Char(','))));
        node = std::make_unique<arbelon::ClusterThread>(cluster, server);
        node->setFacts(facts.get());
        if (!node->startNode(&error)) {
            arbelon::RelayLog::write(QStringLiteral("cannot join the cluster: ") + error);
            return 1;
        }
        server.setUpstream(node.get());
        server.addObserver(node.get());
        if (feed) {
            feed->setExtraMetrics([&node] {
                if (!node)
                    return QByteArray();
                return QByteArray("# HELP arbelon_cluster_unauthenticated 1 when this node joined without credentials "
                                  "through servers not on this machine.\n"
                                  "# TYPE arbelon_cluster_unauthenticated gauge\narbelon_cluster_unauthenticated ")
                       + (node->isUnauthenticated() ? "1" : "0")
                       + "\n# HELP arbelon_cluster_rejected_messages_total Cluster messages ignored as malformed, "
                         "forged or out of bounds.\n# TYPE arbelon_cluster_rejected_messages_total counter\n"
                         "arbelon_cluster_rejected_messages_total "
                       + QByteArray::number(node->rejectedMessages())
                       + "\n# HELP arbelon_cluster_held_back_total Demo records and chat lines held back because "
                         "the mailbox between the games and the cluster node was full.\n"
                         "# TYPE arbelon_cluster_held_back_total counter\narbelon_cluster_held_back_total "
                       + QByteArray::number(node->heldBack()) + '\n';
            });
        }
    }

    QSocketNotifier signalNotifier(g_signalPipe[1], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        char code = 0;
        if (::read(g_signalPipe[1], &code, 1) != 1)
            return;
        if (code != SIGINT && code != SIGTERM) {
            // At most one line a second, whatever the sender's rate.
            static qint64 lastLine = 0;
            static int unlogged = 0;
            const qint64 now = QDateTime::currentMSecsSinceEpoch();
            if (now - lastLine < 1000) {
                ++unlogged;
                return;
            }
            arbelon::RelayLog::write(QStringLiteral("received %1, ignored%2")
                                         .arg(signalName(code),
                                              unlogged ? QStringLiteral(" (and %1 more since the last line)").arg(unlogged)
                                                       : QString()));
            lastLine = now;
            unlogged = 0;
            return;
        }
        arbelon::RelayLog::write(QStringLiteral("received %1, shutting down").arg(signalName(code)));
        web.reset();
        if (feed)
            feed->setExtraMetrics({});
        leaveCluster();
        server.stop();
        if (archive)
            server.removeObserver(archive.get());
        archive.reset(); // what is queued is written first
        if (facts)
            server.removeObserver(facts.get());
        QCoreApplication::quit();
    });

    const int status = QCoreApplication::exec();
    leaveCluster();
    if (!config.clusterServers.isEmpty())
        arbelon::NatsLink::closeLibrary(2000);
    if (archive)
        server.removeObserver(archive.get());
    if (facts)
        server.removeObserver(facts.get());
    arbelon::RelayLog::write(QStringLiteral("stopped"));
    return status;
}
