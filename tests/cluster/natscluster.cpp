#include "natscluster.h"

#include "common/testaddress.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTcpSocket>
#include <QThread>

namespace arbelon::test {

namespace {
constexpr quint16 kClientPort = 4222; // each server has an address of its own
constexpr quint16 kRoutePort = 6222;
constexpr quint16 kMonitorPort = 8222;
constexpr int kReadyMs = 30000;
} // namespace

NatsCluster::~NatsCluster()
{
    for (auto &server : m_servers) {
        if (server && server->state() != QProcess::NotRunning) {
            server->kill();
            server->waitForFinished(5000);
        }
    }
}

QString NatsCluster::address(int index) const { return loopbackAddress(m_firstSlot + index); }

QString NatsCluster::url(int index) const
{
    return QStringLiteral("nats://%1:%2").arg(address(index)).arg(kClientPort);
}

QStringList NatsCluster::urls() const
{
    QStringList out;
    for (int i = 0; i < m_count; ++i)
        out.append(url(i));
    return out;
}

bool NatsCluster::secure(const QString &relay, const QStringList &peers, QString *error)
{
    auto run = [&](const QString &program, const QStringList &arguments) {
        QProcess p;
        p.setWorkingDirectory(m_dir.path());
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, arguments);
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            *error = QStringLiteral("%1 %2: %3").arg(program, arguments.join(QLatin1Char(' ')),
                                                     QString::fromLocal8Bit(p.readAll().right(2000)));
            return false;
        }
        return true;
    };
    if (!run(relay, {QStringLiteral("--write-nats-users"), m_dir.path(), QStringLiteral("--cluster-peers"),
                     peers.join(QLatin1Char(','))}))
        return false;
    // A CA, the servers' certificate (every address they listen on) and one client certificate.
    QString names;
    for (int i = 0; i < 8; ++i)
        names += QStringLiteral("IP:%1,DNS:%1,").arg(address(i));
    names.chop(1);
    QFile ext(file(QStringLiteral("server.ext")));
    if (!ext.open(QIODevice::WriteOnly) || ext.write("subjectAltName=" + names.toLatin1() + '\n') < 0) {
        *error = QStringLiteral("cannot write server.ext");
        return false;
    }
    ext.close();
    const QStringList key{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                          QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    const QString openssl = QStringLiteral("openssl");
    if (!run(openssl, QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + key
                          + QStringList{QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
                                        QStringLiteral("ca.pem"), QStringLiteral("-days"), QStringLiteral("2"),
                                        QStringLiteral("-subj"), QStringLiteral("/CN=arbelon test CA")}))
        return false;
    for (const QString &who : {QStringLiteral("server"), QStringLiteral("client")}) {
        if (!run(openssl, QStringList{QStringLiteral("req")} + key
                              + QStringList{QStringLiteral("-keyout"), who + QStringLiteral(".key"), QStringLiteral("-out"),
                                            who + QStringLiteral(".csr"), QStringLiteral("-subj"), QStringLiteral("/CN=") + who})
            || !run(openssl, QStringList{QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                                         who + QStringLiteral(".csr"), QStringLiteral("-CA"), QStringLiteral("ca.pem"),
                                         QStringLiteral("-CAkey"), QStringLiteral("ca.key"), QStringLiteral("-CAcreateserial"),
                                         QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-out"),
                                         who + QStringLiteral(".pem")}
                                 + (who == QLatin1String("server") ? QStringList{QStringLiteral("-extfile"), QStringLiteral("server.ext")}
                                                                   : QStringList{})))
            return false;
    }
    m_peers = peers;
    return true;
}

QString NatsCluster::userFile(const QString &node) const { return file(node + QStringLiteral(".user")); }

QStringList NatsCluster::nodeArguments(const QString &node) const
{
    if (!isSecure())
        return {};
    return {QStringLiteral("--cluster-peers"), m_peers.join(QLatin1Char(',')), QStringLiteral("--cluster-user-file"),
            userFile(node), QStringLiteral("--cluster-ca"), file(QStringLiteral("ca.pem")),
            QStringLiteral("--cluster-cert"), file(QStringLiteral("client.pem")), QStringLiteral("--cluster-key"),
            file(QStringLiteral("client.key"))};
}

bool NatsCluster::start(int count, QString *error)
{
    if (!m_dir.isValid()) {
        *error = QStringLiteral("no temporary folder");
        return false;
    }
    m_count = count;
    m_servers.resize(size_t(count));
    for (int i = 0; i < count; ++i) {
        if (!launch(i, error))
            return false;
    }
    for (int i = 0; i < count; ++i) {
        if (!waitReady(i, kReadyMs)) {
            *error = QStringLiteral("nats-server %1 not ready within %2 ms: %3")
                         .arg(i)
                         .arg(kReadyMs)
                         .arg(QString::fromLocal8Bit(m_servers[size_t(i)]->readAll().right(2000)));
            return false;
        }
    }
    return true;
}

bool NatsCluster::launch(int index, QString *error)
{
    QStringList routes;
    for (int i = 0; i < m_count; ++i) {
        if (i != index)
            routes.append(QStringLiteral("nats-route://%1:%2").arg(address(i)).arg(kRoutePort));
    }
    // A demo block may be 4 MiB: the default payload limit of 1 MB is raised.
    QString config = QStringLiteral("server_name: n%1\n"
                                          "listen: \"%2:%3\"\n"
                                          "http: \"%2:%4\"\n"
                                          "max_payload: 8MB\n"
                                          "jetstream { store_dir: \"%5/n%1\" }\n"
                                          "cluster { name: arbelon_test\n listen: \"%2:%6\"\n routes: [%7] }\n")
                               .arg(index)
                               .arg(address(index))
                               .arg(kClientPort)
                               .arg(kMonitorPort)
                               .arg(m_dir.path())
                               .arg(kRoutePort)
                               .arg(routes.join(QLatin1Char(',')));
    if (isSecure())
        // nats-server reads an include beside its configuration file.
        config += QStringLiteral("include \"%1\"\n"
                                 "tls { cert_file: \"%2\"\n key_file: \"%3\"\n ca_file: \"%4\"\n verify: true }\n")
                      .arg(QStringLiteral("nats-users.conf"), file(QStringLiteral("server.pem")),
                           file(QStringLiteral("server.key")), file(QStringLiteral("ca.pem")));
    const QString path = m_dir.filePath(QStringLiteral("n%1.conf").arg(index));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(config.toUtf8()) < 0) {
        *error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    file.close();
    auto server = std::make_unique<QProcess>();
    server->setProcessChannelMode(QProcess::MergedChannels);
    server->start(QStringLiteral("nats-server"), {QStringLiteral("-c"), path});
    if (!server->waitForStarted(10000)) {
        *error = QStringLiteral("cannot start nats-server: %1").arg(server->errorString());
        return false;
    }
    m_servers[size_t(index)] = std::move(server);
    return true;
}

// Ready when the monitoring port's health check, which covers JetStream, answers 200.
bool NatsCluster::waitReady(int index, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (m_servers[size_t(index)]->state() == QProcess::NotRunning)
            return false;
        QTcpSocket socket;
        socket.connectToHost(address(index), kMonitorPort);
        if (socket.waitForConnected(1000)) {
            socket.write("GET /healthz HTTP/1.0\r\n\r\n");
            QByteArray reply;
            while (socket.waitForReadyRead(1000))
                reply += socket.readAll();
            if (reply.startsWith("HTTP/1.0 200") || reply.startsWith("HTTP/1.1 200"))
                return true;
        }
        QThread::msleep(200);
    }
    return false;
}

QByteArray NatsCluster::monitor(int index, const QByteArray &path) const
{
    QTcpSocket socket;
    socket.connectToHost(address(index), kMonitorPort);
    if (!socket.waitForConnected(2000))
        return {};
    socket.write("GET " + path + " HTTP/1.0\r\n\r\n");
    QByteArray reply;
    while (socket.waitForReadyRead(2000) && reply.size() < (1 << 22))
        reply += socket.readAll();
    const qsizetype body = reply.indexOf("\r\n\r\n");
    return body < 0 ? QByteArray() : reply.mid(body + 4);
}

void NatsCluster::kill(int index)
{
    auto &server = m_servers[size_t(index)];
    if (server && server->state() != QProcess::NotRunning) {
        server->kill();
        server->waitForFinished(5000);
    }
}

bool NatsCluster::restart(int index, QString *error)
{
    return restart(QList<int>{index}, error);
}

bool NatsCluster::restart(const QList<int> &indexes, QString *error)
{
    // All are started before any is waited for: JetStream is ready only with a quorum.
    for (int index : indexes) {
        kill(index);
        if (!launch(index, error))
            return false;
    }
    for (int index : indexes) {
        if (!waitReady(index, kReadyMs)) {
            *error = QStringLiteral("nats-server %1 not ready again within %2 ms").arg(index).arg(kReadyMs);
            return false;
        }
    }
    return true;
}

} // namespace arbelon::test
