#include "relayoptions.h"

#include "clusteroptions.h"

#include <QCommandLineParser>
#include <QFile>
#include <QThread>
#include <QRegularExpression>

#include <cctype>

namespace arbelon {

namespace {
const QString optListen = QStringLiteral("listen");
const QString optViewerPort = QStringLiteral("viewer-port");
const QString optFilmerPort = QStringLiteral("filmer-port");
const QString optFilmPassword = QStringLiteral("film-password");
const QString optFilmPasswordFile = QStringLiteral("film-password-file");
const QString optDelay = QStringLiteral("delay");
const QString optMaxClients = QStringLiteral("max-clients");
const QString optMaxGames = QStringLiteral("max-games");
const QString optMaxQueue = QStringLiteral("max-queue");
const QString optMaxDemoMemory = QStringLiteral("max-demo-memory");
const QString optHelloTimeout = QStringLiteral("hello-timeout");
const QString optMaxPerAddress = QStringLiteral("max-per-address");
const QString optRecordTimeout = QStringLiteral("record-timeout");
const QString optListedUsers = QStringLiteral("listed-users");
const QString optWorkers = QStringLiteral("workers");

// One worker per core; the thread that keeps the games needs little beside them.
int defaultWorkers() { return qBound(1, QThread::idealThreadCount(), 64); }
const QString optHttp = QStringLiteral("http");
const QString optFacts = QStringLiteral("facts");
const QString optArchive = QStringLiteral("archive");
const QString optArchiveMaxBytes = QStringLiteral("archive-max-bytes");
const QString optArchiveReserve = QStringLiteral("archive-reserve");
const QString optQ3DemoExt = QStringLiteral("q3-demo-ext");

bool readInt(const QCommandLineParser &parser, const QString &name, qint64 low, qint64 high,
             qint64 *value, QString *error)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const qint64 v = parser.value(name).toLongLong(&ok);
    if (!ok || v < low || v > high) {
        *error = QStringLiteral("--%1: expected a whole number from %2 to %3, got \"%4\"")
                     .arg(name)
                     .arg(low)
                     .arg(high)
                     .arg(parser.value(name));
        return false;
    }
    *value = v;
    return true;
}

bool readBytes(const QCommandLineParser &parser, const QString &name, qint64 low, qint64 *value,
               QString *error)
{
    if (!parser.isSet(name))
        return true;
    const qint64 v = parseByteSize(parser.value(name));
    if (v < low) {
        *error = QStringLiteral("--%1: expected a size of at least %2 bytes (suffix K, M or G "
                                "allowed), got \"%3\"")
                     .arg(name)
                     .arg(low)
                     .arg(parser.value(name));
        return false;
    }
    *value = v;
    return true;
}
bool readWebOptions(const QCommandLineParser &parser, RelayConfig *config, QString *error)
{
    if (parser.isSet(optHttp)) {
        const QString value = parser.value(optHttp);
        if (value == QStringLiteral("off")) {
            config->httpEnabled = false;
        } else if (!parseHostPort(value, &config->httpAddress, &config->httpPort)) {
            *error = QStringLiteral("--http: expected ADDR:PORT (e.g. 0.0.0.0:38964, [::1]:8080) or off, "
                                    "got \"%1\"")
                         .arg(value);
            return false;
        }
    }
    if (parser.isSet(optFacts)) {
        const QString value = parser.value(optFacts);
        if (value != QStringLiteral("on") && value != QStringLiteral("off")) {
            *error = QStringLiteral("--facts: expected on or off, got \"%1\"").arg(value);
            return false;
        }
        config->factsEnabled = value == QStringLiteral("on");
    }
    if (parser.isSet(optArchive)) {
        config->archiveDir = parser.value(optArchive);
        if (config->archiveDir.isEmpty()) {
            *error = QStringLiteral("--archive: expected a folder");
            return false;
        }
    }
    if (!readBytes(parser, optArchiveMaxBytes, 0, &config->archiveMaxBytes, error))
        return false;
    if (parser.isSet(optArchiveMaxBytes) && config->archiveDir.isEmpty()) {
        *error = QStringLiteral("--archive-max-bytes needs --archive");
        return false;
    }
    if (!readBytes(parser, optArchiveReserve, 0, &config->archiveReserveBytes, error))
        return false;
    if (parser.isSet(optArchiveReserve) && config->archiveDir.isEmpty()) {
        *error = QStringLiteral("--archive-reserve needs --archive");
        return false;
    }
    if (parser.isSet(optQ3DemoExt)) {
        const QString ext = parser.value(optQ3DemoExt);
        static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_]{1,16}$"));
        if (!plain.match(ext).hasMatch()) {
            *error = QStringLiteral("--q3-demo-ext: expected 1 to 16 letters, digits or _, got \"%1\"").arg(ext);
            return false;
        }
        config->q3DemoExtension = ext;
    }
    return true;
}

} // namespace

bool parseHostPort(const QString &text, QHostAddress *address, quint16 *port)
{
    const qsizetype colon = text.lastIndexOf(u':');
    if (colon <= 0 || text.size() > 64)
        return false;
    QString host = text.left(colon);
    const QString digits = text.mid(colon + 1);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(u':'))
        return false; // an IPv6 address needs its brackets
    static const QRegularExpression number(QStringLiteral("^[0-9]{1,5}$"));
    bool ok = false;
    const uint p = digits.toUInt(&ok);
    const QHostAddress a(host);
    if (!number.match(digits).hasMatch() || !ok || p > 65535 || a.isNull())
        return false;
    *address = a;
    *port = quint16(p);
    return true;
}

qint64 parseByteSize(const QString &text)
{
    QString digits = text.trimmed();
    qint64 unit = 1;
    if (!digits.isEmpty()) {
        switch (digits.back().toUpper().toLatin1()) {
        case 'K': unit = qint64(1) << 10; break;
        case 'M': unit = qint64(1) << 20; break;
        case 'G': unit = qint64(1) << 30; break;
        default: break;
        }
        if (unit > 1)
            digits.chop(1);
    }
    bool ok = false;
    const qint64 n = digits.toLongLong(&ok);
    // Sizes beyond 1 TiB are typing errors, and the bound keeps the product in range.
    if (!ok || n < 0 || n > (qint64(1) << 40) / unit)
        return -1;
    return n * unit;
}

void addRelayOptions(QCommandLineParser &parser)
{
    const RelayConfig d;
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {optListen, QStringLiteral("Address to listen on (default: all addresses)."), QStringLiteral("ADDR")},
        {optViewerPort, QStringLiteral("Port for Viewers (default %1; 0 picks a free port).").arg(d.viewerPort),
         QStringLiteral("PORT")},
        {optFilmerPort, QStringLiteral("Port for Filmers (default %1; 0 picks a free port).").arg(d.filmerPort),
         QStringLiteral("PORT")},
        {optFilmPassword, QStringLiteral("Password a Filmer must give to broadcast a game (at most 16 "
                                         "bytes; default: none needed)."),
         QStringLiteral("PW")},
        {optFilmPasswordFile, QStringLiteral("Read the film password from the first line of this file "
                                             "(keeps it out of the process list)."),
         QStringLiteral("FILE")},
        {optDelay, QStringLiteral("Broadcast delay: demo blocks reach Viewers this many seconds after "
                                  "the Filmer sent them (0 to %1, default 0).")
                       .arg(kMaxRelayDelaySeconds),
         QStringLiteral("SECONDS")},
        {optMaxClients, QStringLiteral("Most connections at once (default %1).").arg(d.maxClients),
         QStringLiteral("N")},
        {optMaxGames, QStringLiteral("Most games at once (default %1).").arg(d.maxGames), QStringLiteral("N")},
        {optMaxPerAddress, QStringLiteral("Most connections at once from one address (default %1).").arg(d.maxPerAddress),
         QStringLiteral("N")},
        {optMaxQueue, QStringLiteral("Bytes queued for one client before it is disconnected as too slow "
                                     "(default: two of the largest blocks plus --max-demo-memory plus "
                                     "64K, %1).")
                          .arg(d.maxQueueBytes),
         QStringLiteral("BYTES")},
        {optMaxDemoMemory, QStringLiteral("Demo bytes kept per game for late joiners and for the delay "
                                          "(default %1).")
                               .arg(d.maxDemoMemory),
         QStringLiteral("BYTES")},
        {optHelloTimeout, QStringLiteral("Seconds a new connection has to send its first record "
                                         "(default %1).")
                              .arg(d.helloTimeoutSeconds),
         QStringLiteral("SECONDS")},
        {optRecordTimeout, QStringLiteral("Seconds a client has to finish a record it has begun "
                                          "(default %1).")
                               .arg(d.recordTimeoutSeconds),
         QStringLiteral("SECONDS")},
        {optListedUsers, QStringLiteral("Viewers a lobby names one by one; later ones only count in the "
                                        "game's Users until they chat (default %1).")
                             .arg(d.listedUsers),
         QStringLiteral("N")},
        {optWorkers, QStringLiteral("Threads serving connections (1 to 64, default one per core: %1). "
                                    "With 1, one thread does everything.")
                         .arg(defaultWorkers()),
         QStringLiteral("N")},
        {optHttp, QStringLiteral("Web page address and port (default: the listen address, port %1; "
                                 "\"off\" disables it).")
                      .arg(d.httpPort),
         QStringLiteral("ADDR:PORT")},
        {optFacts, QStringLiteral("Read what is on in each game (map, players, score, events) from its demos: "
                                  "on (default) or off."),
         QStringLiteral("on|off")},
        {optArchive, QStringLiteral("Keep every demo carried in this folder (default: none)."),
         QStringLiteral("DIR")},
        {optArchiveMaxBytes, QStringLiteral("Most bytes the archive holds; the oldest demos are deleted "
                                            "first (default: no bound)."),
         QStringLiteral("BYTES")},
        {optArchiveReserve, QStringLiteral("Free disk space the archive leaves: below it archiving pauses "
                                           "(default %1; 0: none).")
                                .arg(d.archiveReserveBytes),
         QStringLiteral("BYTES")},
        {optQ3DemoExt, QStringLiteral("Extension of archived Quake 3 demos (default %1).").arg(d.q3DemoExtension),
         QStringLiteral("EXT")},
    });
    addClusterOptions(parser);
}

bool readRelayOptions(const QCommandLineParser &parser, RelayConfig *config, QString *error)
{
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().constFirst());
        return false;
    }
    if (parser.isSet(optListen)) {
        const QHostAddress address(parser.value(optListen));
        if (address.isNull()) {
            *error = QStringLiteral("--listen: \"%1\" is not an IP address").arg(parser.value(optListen));
            return false;
        }
        config->listenAddress = address;
    }
    if (parser.isSet(optFilmPassword) && parser.isSet(optFilmPasswordFile)) {
        *error = QStringLiteral("--film-password and --film-password-file exclude each other");
        return false;
    }
    if (parser.isSet(optFilmPassword) || parser.isSet(optFilmPasswordFile)) {
        QByteArray password = parser.value(optFilmPassword).toLocal8Bit();
        if (parser.isSet(optFilmPasswordFile)) {
            QFile file(parser.value(optFilmPasswordFile));
            if (!file.open(QIODevice::ReadOnly)) {
                *error = QStringLiteral("--film-password-file: %1").arg(file.errorString());
                return false;
            }
            password = file.readLine(256);
            while (password.endsWith('\n') || password.endsWith('\r'))
                password.chop(1);
        }
        // The record's password field holds 16 bytes; a longer one could never match.
        if (password.isEmpty() || password.size() > 16) {
            *error = QStringLiteral("--film-password: must be 1 to 16 bytes");
            if (parser.isSet(optFilmPasswordFile))
                error->replace(QStringLiteral("--film-password:"), QStringLiteral("--film-password-file:"));
            return false;
        }
        config->filmPasswordRequired = true;
        config->filmPassword = password;
    }
    qint64 viewerPort = config->viewerPort, filmerPort = config->filmerPort, delay = config->delaySeconds,
           maxClients = config->maxClients, maxGames = config->maxGames, hello = config->helloTimeoutSeconds,
           listed = config->listedUsers, perAddress = config->maxPerAddress,
           recordTimeout = config->recordTimeoutSeconds, workers = defaultWorkers();
    if (!readInt(parser, optViewerPort, 0, 65535, &viewerPort, error)
        || !readInt(parser, optFilmerPort, 0, 65535, &filmerPort, error)
        || !readInt(parser, optDelay, 0, kMaxRelayDelaySeconds, &delay, error)
        || !readInt(parser, optMaxClients, 1, 1000000, &maxClients, error)
        || !readInt(parser, optMaxGames, 1, 1000000, &maxGames, error)
        || !readInt(parser, optHelloTimeout, 1, 3600, &hello, error)
        || !readInt(parser, optListedUsers, 0, 100000, &listed, error)
        || !readInt(parser, optMaxPerAddress, 1, 1000000, &perAddress, error)
        || !readInt(parser, optRecordTimeout, 1, 3600, &recordTimeout, error)
        || !readInt(parser, optWorkers, 1, 64, &workers, error)
        || !readBytes(parser, optMaxDemoMemory, 0, &config->maxDemoMemory, error))
        return false;
    // The queue's default follows the kept demo it must hold.
    config->maxQueueBytes = defaultMaxQueue(config->maxDemoMemory);
    if (!readBytes(parser, optMaxQueue, 16 * 1024, &config->maxQueueBytes, error))
        return false;
    if (viewerPort != 0 && viewerPort == filmerPort) {
        *error = QStringLiteral("--viewer-port and --filmer-port must differ");
        return false;
    }
    config->viewerPort = quint16(viewerPort);
    config->filmerPort = quint16(filmerPort);
    config->delaySeconds = int(delay);
    config->maxClients = int(maxClients);
    config->maxGames = int(maxGames);
    config->helloTimeoutSeconds = int(hello);
    config->listedUsers = int(listed);
    config->maxPerAddress = int(perAddress);
    config->recordTimeoutSeconds = int(recordTimeout);
    config->workers = int(workers);
    return readWebOptions(parser, config, error) && readClusterOptions(parser, config, error);
}

} // namespace arbelon
