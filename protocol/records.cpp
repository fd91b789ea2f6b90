#include "records.h"

#include <QtEndian>
#include <cstring>
#include <string>

namespace arbelon {

int rec::fixedSize(qint32 type)
{
    switch (type) {
    case GAMEINFO: return kGameInfoSize;
    case GAMEINFODETAILED: return kGameInfoDetailedSize;
    case ACKNAK: return kAckNakSize;
    case WAITFORGAME: return kWaitForGameSize;
    case SENDTEXT: return kSendTextSize;
    case LEAVEGAME: return kLeaveGameSize;
    case USERINFO:
    case USERENTERED:
    case USERLEFT: return kUserRecordSize;
    case GAMEREMOVED: return kGameRemovedSize;
    case DEMORESTART: return kDemoRestartSize;
    default: return 0;
    }
}

void checkDemoPacketSize(quint32 packetSize)
{
    if (packetSize < quint32(rec::kDemoPacketHeaderSize) || packetSize > rec::kMaxDemoPacketSize)
        throw EProtocolError("DEMOPACKET size " + std::to_string(packetSize) + " out of bounds");
}

QString PacketName(qint32 type)
{
    switch (type) {
    case GAMEINFO: return QStringLiteral("GAMEINFO");
    case DATAPACKET: return QStringLiteral("DATAPACKET");
    case WATCHINGTHIS: return QStringLiteral("WATCHINGTHIS");
    case GAMEINFODETAILED: return QStringLiteral("GAMEINFODETAILED");
    case ACKNAK: return QStringLiteral("ACKNAK");
    case WAITFORGAME: return QStringLiteral("WAITFORGAME");
    case SENDTEXT: return QStringLiteral("SENDTEXT");
    case LEAVEGAME: return QStringLiteral("LEAVEGAME");
    case USERINFO: return QStringLiteral("USERINFO");
    case DEMOPACKET: return QStringLiteral("DEMOPACKET");
    case GAMEREMOVED: return QStringLiteral("GAMEREMOVED");
    case DEMORESTART: return QStringLiteral("DEMORESTART");
    case USERENTERED: return QStringLiteral("USERENTERED");
    case USERLEFT: return QStringLiteral("USERLEFT");
    default: return QStringLiteral("UNKNOWN");
    }
}

qint32 readI32(QByteArrayView rec, int offset)
{
    Q_ASSERT(offset + 4 <= rec.size());
    return qFromLittleEndian<qint32>(rec.data() + offset);
}

quint32 readU32(QByteArrayView rec, int offset)
{
    Q_ASSERT(offset + 4 <= rec.size());
    return qFromLittleEndian<quint32>(rec.data() + offset);
}

quint8 readU8(QByteArrayView rec, int offset)
{
    Q_ASSERT(offset < rec.size());
    return quint8(rec.data()[offset]);
}

QByteArray readText(QByteArrayView rec, int offset, int width)
{
    Q_ASSERT(offset + width <= rec.size());
    const char *field = rec.data() + offset;
    const void *nul = std::memchr(field, 0, size_t(width));
    const qsizetype len = nul ? static_cast<const char *>(nul) - field : width;
    return QByteArray(field, len);
}

void writeI32(QByteArray &rec, int offset, qint32 value)
{
    Q_ASSERT(offset + 4 <= rec.size());
    qToLittleEndian<qint32>(value, rec.data() + offset);
}

void writeU32(QByteArray &rec, int offset, quint32 value)
{
    Q_ASSERT(offset + 4 <= rec.size());
    qToLittleEndian<quint32>(value, rec.data() + offset);
}

void writeText(QByteArray &rec, int offset, int width, QByteArrayView text)
{
    Q_ASSERT(offset + width <= rec.size());
    const qsizetype n = qMin<qsizetype>(text.size(), width - 1);
    if (n > 0) // an empty view may carry a null pointer, which memcpy must never see
        std::memcpy(rec.data() + offset, text.data(), size_t(n));
    std::memset(rec.data() + offset + n, 0, size_t(width - n));
}

QByteArray newRecord(qint32 type, int size)
{
    QByteArray r(size, '\0');
    writeI32(r, rec::offType, type);
    writeI32(r, rec::offSize, size);
    return r;
}

QByteArray buildGameInfo(qint32 gameType, QByteArrayView mod, QByteArrayView userName,
                         QByteArrayView password, QByteArrayView gameName)
{
    QByteArray r = newRecord(GAMEINFO, rec::kGameInfoSize);
    writeI32(r, rec::giGameType, gameType);
    writeText(r, rec::giModName, rec::giModNameWidth, mod);
    writeText(r, rec::giUserName, rec::giUserNameWidth, userName);
    writeText(r, rec::giPassword, rec::giPasswordWidth, password);
    writeText(r, rec::giGameName, rec::giGameNameWidth, gameName);
    return r;
}

QByteArray buildAckNak(quint8 result)
{
    QByteArray r = newRecord(ACKNAK, rec::kAckNakSize);
    r[rec::akResult] = char(result);
    return r;
}

QByteArray buildWaitForGame(qint32 gameId)
{
    QByteArray r = newRecord(WAITFORGAME, rec::kWaitForGameSize);
    writeI32(r, rec::wgGameId, gameId);
    return r;
}

QByteArray buildSendText(QByteArrayView userName, QByteArrayView text)
{
    QByteArray r = newRecord(SENDTEXT, rec::kSendTextSize);
    writeText(r, rec::stUserName, rec::stUserNameWidth, userName);
    // The client's chat line is at most 255 characters and its NUL.
    writeText(r, rec::stText, rec::stTextWidth, text.first(qMin<qsizetype>(text.size(), 255)));
    return r;
}

QByteArray buildLeaveGame()
{
    return newRecord(LEAVEGAME, rec::kLeaveGameSize);
}

static QByteArray userRecord(qint32 type, QByteArrayView userName)
{
    QByteArray r = newRecord(type, rec::kUserRecordSize);
    writeText(r, rec::uiUserName, rec::uiUserNameWidth, userName);
    return r;
}

QByteArray buildUserInfo(QByteArrayView userName) { return userRecord(USERINFO, userName); }
QByteArray buildUserEntered(QByteArrayView userName) { return userRecord(USERENTERED, userName); }
QByteArray buildUserLeft(QByteArrayView userName) { return userRecord(USERLEFT, userName); }

QByteArray buildDemoPacket(quint32 crc, qint32 sequence, QByteArrayView data)
{
    const int size = int(rec::kDemoPacketHeaderSize + data.size());
    QByteArray r = newRecord(DEMOPACKET, size);
    writeU32(r, rec::offCrc, crc);
    writeI32(r, rec::dpSequence, sequence);
    if (!data.isEmpty())
        std::memcpy(r.data() + rec::dpData, data.data(), size_t(data.size()));
    return r;
}

QByteArray buildDemoRestart(qint32 sequence)
{
    QByteArray r = newRecord(DEMORESTART, rec::kDemoRestartSize);
    writeI32(r, rec::drSequence, sequence);
    return r;
}

QByteArray buildGameInfoDetailed(quint32 gameId, QByteArrayView gameName, qint32 gameType,
                                 quint32 users, QByteArrayView mod)
{
    QByteArray r = newRecord(GAMEINFODETAILED, rec::kGameInfoDetailedSize);
    writeU32(r, rec::gdGameId, gameId);
    writeText(r, rec::gdGameName, rec::gdGameNameWidth, gameName);
    writeI32(r, rec::gdGameType, gameType);
    writeU32(r, rec::gdUsers, users);
    writeText(r, rec::gdModName, rec::gdModNameWidth, mod);
    return r;
}

QByteArray buildGameRemoved(quint32 gameId)
{
    QByteArray r = newRecord(GAMEREMOVED, rec::kGameRemovedSize);
    writeU32(r, rec::grGameId, gameId);
    return r;
}

QString escapeControls(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            out += QStringLiteral("\\x%1").arg(uint(c.unicode()), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

} // namespace arbelon
