#include "clusteroptions.h"

#include <QCommandLineParser>
#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>

#include <cctype>

namespace arbelon {

namespace {
const QString optCluster = QStringLiteral("cluster");
const QString optNodeName = QStringLiteral("node-name");
const QString optPeers = QStringLiteral("cluster-peers");
const QString optUserFile = QStringLiteral("cluster-user-file");
const QString optTokenFile = QStringLiteral("cluster-token-file");
const QString optNkey = QStringLiteral("cluster-nkey");
const QString optCreds = QStringLiteral("cluster-creds");
const QString optCa = QStringLiteral("cluster-ca");
const QString optCert = QStringLiteral("cluster-cert");
const QString optKey = QStringLiteral("cluster-key");
const QString optWriteUsers = QStringLiteral("write-nats-users");

const QRegularExpression &nodeNamePattern()
{
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9_-]{1,32}$"));
    return name;
}

// A node's name as other nodes and the log show it: the host's name, made plain.
QByteArray defaultNodeName()
{
    QByteArray name;
    for (const char c : QSysInfo::machineHostName().toLatin1()) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')
            name += c;
    }
    return name.isEmpty() ? QByteArrayLiteral("relay") : name.left(32);
}

// The non-empty lines of a small secret file, without their line ends. Its contents never
// go into a message.
bool readSecretLines(const QString &flag, const QString &path, int lines, QStringList *out, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("--%1: %2").arg(flag, file.errorString());
        return false;
    }
    const QByteArray text = file.read(4096);
    for (const QByteArray &line : text.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (!trimmed.isEmpty())
            out->append(QString::fromUtf8(trimmed));
    }
    if (out->size() < lines || !file.atEnd()) {
        *error = QStringLiteral("--%1: %2 must hold %3").arg(flag, path, lines == 2 ? QStringLiteral("two lines") : QStringLiteral("a line"));
        return false;
    }
    return true;
}

bool readCredentials(const QCommandLineParser &parser, NatsAuth *auth, QString *error)
{
    int ways = 0;
    for (const QString &flag : {optUserFile, optTokenFile, optNkey, optCreds})
        ways += parser.isSet(flag);
    if (ways > 1) {
        *error = QStringLiteral("give one of --cluster-user-file, --cluster-token-file, --cluster-nkey and --cluster-creds");
        return false;
    }
    QStringList lines;
    if (parser.isSet(optUserFile)) {
        if (!readSecretLines(optUserFile, parser.value(optUserFile), 2, &lines, error))
            return false;
        auth->user = lines.at(0);
        auth->password = lines.at(1);
    } else if (parser.isSet(optTokenFile)) {
        if (!readSecretLines(optTokenFile, parser.value(optTokenFile), 1, &lines, error))
            return false;
        auth->token = lines.at(0);
    } else if (parser.isSet(optNkey)) {
        // The seed signs; the library needs the public key it signs for beside it.
        if (!readSecretLines(optNkey, parser.value(optNkey), 2, &lines, error))
            return false;
        const QString seed = lines.at(0).startsWith(QLatin1String("SU")) ? lines.at(0) : lines.at(1);
        const QString user = seed == lines.at(0) ? lines.at(1) : lines.at(0);
        if (!seed.startsWith(QLatin1String("SU")) || !user.startsWith(QLatin1Char('U'))) {
            *error = QStringLiteral("--cluster-nkey: %1 must hold a user seed (SU...) and its public key (U...)")
                         .arg(parser.value(optNkey));
            return false;
        }
        auth->nkeyPublic = user;
        auth->nkeySeedFile = parser.value(optNkey);
    } else if (parser.isSet(optCreds)) {
        auth->credentialsFile = parser.value(optCreds);
    }
    if (parser.isSet(optCert) != parser.isSet(optKey)) {
        *error = QStringLiteral("--cluster-cert and --cluster-key go together");
        return false;
    }
    if (parser.isSet(optCert) && !parser.isSet(optCa)) {
        *error = QStringLiteral("--cluster-cert needs --cluster-ca");
        return false;
    }
    auth->caFile = parser.value(optCa);
    auth->certFile = parser.value(optCert);
    auth->keyFile = parser.value(optKey);
    for (const QString &file : {auth->credentialsFile, auth->caFile, auth->certFile, auth->keyFile}) {
        if (!file.isEmpty() && !QFile::exists(file)) {
            *error = QStringLiteral("no file %1").arg(file);
            return false;
        }
    }
    return true;
}
} // namespace

QString redactedUrl(const QString &url)
{
    const qsizetype scheme = url.indexOf(QLatin1String("://"));
    const qsizetype at = url.lastIndexOf(QLatin1Char('@'));
    if (scheme < 0 || at < scheme)
        return url;
    return url.left(scheme + 3) + QLatin1String("***@") + url.mid(at + 1);
}

void addClusterOptions(QCommandLineParser &parser)
{
    parser.addOptions({
        {optCluster, QStringLiteral("Join a cluster of relay nodes through these NATS servers "
                                    "(nats://[USER:PASSWORD@]HOST:PORT or tls://..., comma-separated; "
                                    "default: run alone)."),
         QStringLiteral("URLS")},
        {optNodeName, QStringLiteral("This node's name in the cluster, unique among running nodes "
                                     "(default: the host name)."),
         QStringLiteral("NAME")},
        {optPeers, QStringLiteral("The only nodes this node accepts, the same list on every node; each "
                                  "holds the slot of its place (see --write-nats-users)."),
         QStringLiteral("NAMES")},
        {optUserFile, QStringLiteral("NATS user on the first line, password on the second."), QStringLiteral("FILE")},
        {optTokenFile, QStringLiteral("NATS token on the first line."), QStringLiteral("FILE")},
        {optNkey, QStringLiteral("NATS NKey: the user seed (SU...) and its public key (U...), a line each."),
         QStringLiteral("FILE")},
        {optCreds, QStringLiteral("NATS user credentials file (.creds) for the cluster."), QStringLiteral("FILE")},
        {optCa, QStringLiteral("CA certificate of the NATS servers (TLS required)."), QStringLiteral("FILE")},
        {optCert, QStringLiteral("This node's TLS client certificate, for servers that verify clients."),
         QStringLiteral("FILE")},
        {optKey, QStringLiteral("The private key of --cluster-cert."), QStringLiteral("FILE")},
        {optWriteUsers, QStringLiteral("Write a nats-server users file for --cluster-peers (a user, a password "
                                       "and permissions per node) and each node's --cluster-user-file into DIR, "
                                       "then end."),
         QStringLiteral("DIR")},
    });
}

bool readClusterOptions(const QCommandLineParser &parser, RelayConfig *config, QString *error)
{
    if (parser.isSet(optPeers)) {
        for (const QString &name : parser.value(optPeers).split(QLatin1Char(','))) {
            if (!nodeNamePattern().match(name).hasMatch() || config->clusterPeers.contains(name.toLatin1())) {
                *error = QStringLiteral("--cluster-peers: expected distinct names of 1 to 32 of A-Z a-z 0-9 _ -, "
                                        "got \"%1\"")
                             .arg(name);
                return false;
            }
            config->clusterPeers.append(name.toLatin1());
        }
        if (config->clusterPeers.size() > 4095) {
            *error = QStringLiteral("--cluster-peers: at most 4095 nodes");
            return false;
        }
    }
    if (parser.isSet(optWriteUsers)) {
        if (config->clusterPeers.isEmpty()) {
            *error = QStringLiteral("--write-nats-users needs --cluster-peers");
            return false;
        }
        config->writeNatsUsers = parser.value(optWriteUsers);
        return true;
    }
    const bool clustered = parser.isSet(optCluster);
    for (const QString &flag : {optNodeName, optPeers, optUserFile, optTokenFile, optNkey, optCreds, optCa, optCert, optKey}) {
        if (parser.isSet(flag) && !clustered) {
            *error = QStringLiteral("--%1 needs --cluster").arg(flag);
            return false;
        }
    }
    if (!clustered)
        return true;
    // A user and password (or a token) may ride in the URL, for those who accept them on the
    // command line; the log shows the URL without them.
    static const QRegularExpression server(QStringLiteral("^(nats|tls)://([^@/\\s]{1,256}@)?"
                                                          "([A-Za-z0-9.\\-]{1,253}|\\[[0-9A-Fa-f:.]{2,45}\\]):[0-9]{1,5}$"));
    const QStringList servers = parser.value(optCluster).split(QLatin1Char(','));
    for (const QString &url : servers) {
        const int port = url.section(QLatin1Char(':'), -1).toInt();
        if (!server.match(url).hasMatch() || port < 1 || port > 65535 || servers.size() > 32) {
            *error = QStringLiteral("--cluster: expected nats://HOST:PORT[,nats://HOST:PORT...] (at most 32), "
                                    "got \"%1\"")
                         .arg(redactedUrl(url));
            return false;
        }
    }
    config->clusterServers = servers;
    config->nodeName = parser.isSet(optNodeName) ? parser.value(optNodeName).toLatin1() : defaultNodeName();
    if (!nodeNamePattern().match(QString::fromLatin1(config->nodeName)).hasMatch()) {
        *error = QStringLiteral("--node-name: expected 1 to 32 of A-Z a-z 0-9 _ -, got \"%1\"")
                     .arg(parser.value(optNodeName));
        return false;
    }
    if (!config->clusterPeers.isEmpty() && !config->clusterPeers.contains(config->nodeName)) {
        *error = QStringLiteral("--cluster-peers: this node's name \"%1\" is not among them")
                     .arg(QString::fromLatin1(config->nodeName));
        return false;
    }
    return readCredentials(parser, &config->clusterAuth, error);
}

} // namespace arbelon
