#include "relaytestclient.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QTest>

#include <zlib.h>

namespace arbelon::test {

RelayTestClient::RelayTestClient(QObject *parent) : QObject(parent)
{
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(&m_socket, &QTcpSocket::readyRead, this, &RelayTestClient::onReadyRead);
    connect(&m_socket, &QTcpSocket::disconnected, this, [this] { m_closedByServer = !m_selfClosed; });
}

void RelayTestClient::setNeverRead()
{
    m_neverRead = true;
    m_socket.setReadBufferSize(1024);
    m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
}

bool RelayTestClient::connectTo(quint16 port, const QString &address)
{
    m_socket.connectToHost(QHostAddress(address), port);
    return QTest::qWaitFor([this] { return isConnected(); }, 10000);
}

void RelayTestClient::sendRaw(const QByteArray &bytes)
{
    m_socket.write(bytes);
}

void RelayTestClient::trickle(const QByteArray &bytes)
{
    m_holdAnswers = true;
    for (const char byte : bytes) {
        m_socket.write(&byte, 1);
        m_socket.flush();
        QCoreApplication::processEvents(); // lets the server take each piece on its own
    }
    m_holdAnswers = false;
    m_socket.write(m_heldAnswers);
    m_heldAnswers.clear();
}

bool RelayTestClient::waitForAnswers(int expected, int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_answers.size() >= expected; }, timeoutMs);
}

int RelayTestClient::request(const QByteArray &record)
{
    const int before = int(m_answers.size());
    sendRaw(record);
    if (!waitForAnswers(before + 1))
        return -1;
    return m_answers.at(before);
}

bool RelayTestClient::signIn(const QByteArray &userName)
{
    return request(buildUserInfo(userName)) == 0;
}

bool RelayTestClient::openGame(const QByteArray &gameName, const QByteArray &userName,
                               const QByteArray &password, int gameType)
{
    return request(buildGameInfo(gameType, gameType == gtQuake3 ? "baseoa" : "baseq2", userName, password, gameName)) == 0;
}

int RelayTestClient::countOf(qint32 type) const
{
    int n = 0;
    for (const QByteArray &r : m_records)
        n += packetType(r) == type ? 1 : 0;
    return n;
}

void RelayTestClient::onReadyRead()
{
    if (m_neverRead)
        return;
    m_in.append(m_socket.readAll());
    QList<QByteArray> arrived;
    const Framing end = cutRecords(m_in, [&arrived](QByteArrayView r) {
        arrived.append(r.toByteArray());
        return true;
    });
    for (const QByteArray &record : arrived)
        handle(record);
    if (end == Framing::Unframed) {
        qWarning("test client: record of type %d with no known size", packetType(m_in.front()));
        m_socket.abort();
    }
}

void RelayTestClient::handle(const QByteArray &record)
{
    m_records.append(record);
    quint8 result = 0;
    switch (packetType(record)) {
    case ACKNAK:
        m_answers.append(AckNakReader{record}.result());
        emit recordReceived(record);
        return; // never answered
    case GAMEINFODETAILED: {
        const GameInfoDetailedReader g{record};
        m_games[g.gameId()] = GameRow{g.gameName(), g.gameType(), g.users(), g.modName()};
        break;
    }
    case GAMEREMOVED: m_games.erase(GameRemovedReader{record}.gameId()); break;
    case USERENTERED: m_users.append(UserRecordReader{record}.userName()); break;
    case USERLEFT: {
        const QByteArray name = UserRecordReader{record}.userName();
        for (qsizetype i = 0; i < m_users.size(); ++i) {
            if (m_users.at(i).compare(name, Qt::CaseInsensitive) == 0) {
                m_users.removeAt(i);
                break;
            }
        }
        break;
    }
    case SENDTEXT: {
        const SendTextReader t{record};
        m_chat.append(t.userName().isEmpty() ? t.text() : "<" + t.userName() + "> " + t.text());
        break;
    }
    case DEMORESTART: m_demos.append(QByteArray()); break;
    case DEMOPACKET: {
        const DemoPacketReader p{record};
        QByteArray raw;
        if (m_demos.isEmpty() || !inflateBlock(p.data(), &raw)
            || quint32(crc32(0, reinterpret_cast<const Bytef *>(raw.constData()), uInt(raw.size())))
                   != p.packetCrc()) {
            ++m_badBlocks;
            result = 1;
        } else {
            m_demos.last().append(raw);
        }
        break;
    }
    default:
        qWarning("test client: unexpected record type %d", packetType(record));
        ++m_badBlocks;
        break;
    }
    if (m_holdAnswers)
        m_heldAnswers += buildAckNak(result);
    else
        m_socket.write(buildAckNak(result));
    emit recordReceived(record);
}

QByteArray RelayTestClient::demoPacket(QByteArrayView raw, qint32 sequence)
{
    z_stream zs = {};
    deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&zs, uLong(raw.size()))), '\0');
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(raw.data()));
    zs.avail_in = uInt(raw.size());
    zs.next_out = reinterpret_cast<Bytef *>(out.data());
    zs.avail_out = uInt(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(qsizetype(zs.total_out));
    deflateEnd(&zs);
    const auto crc = quint32(crc32(0, reinterpret_cast<const Bytef *>(raw.data()), uInt(raw.size())));
    return buildDemoPacket(crc, sequence, out);
}

bool RelayTestClient::inflateBlock(QByteArrayView data, QByteArray *out)
{
    z_stream zs = {};
    if (inflateInit2(&zs, 15) != Z_OK)
        return false;
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    zs.avail_in = uInt(data.size());
    int rc = Z_OK;
    char chunk[16384];
    while (rc == Z_OK) {
        zs.next_out = reinterpret_cast<Bytef *>(chunk);
        zs.avail_out = sizeof chunk;
        rc = inflate(&zs, Z_NO_FLUSH);
        out->append(chunk, qsizetype(sizeof chunk - zs.avail_out));
        if (out->size() > rec::kMaxBlockInflated)
            rc = Z_DATA_ERROR;
    }
    const bool ok = rc == Z_STREAM_END && zs.avail_in == 0;
    inflateEnd(&zs);
    return ok;
}

} // namespace arbelon::test
