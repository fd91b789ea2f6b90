#include "records.h"

#include <QTextBoundaryFinder>
#include <QtEndian>

#include <algorithm>
#include <array>
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
    text = fitText(text, width - 1);
    const qsizetype n = text.size();
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

QByteArray buildAckNak(quint8 result, quint16 webPort)
{
    QByteArray r = newRecord(ACKNAK, rec::kAckNakSize);
    r[rec::akResult] = char(result);
    r[rec::akWebPort] = char(webPort & 0xff);
    r[rec::akWebPort + 1] = char(webPort >> 8);
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
    // The client's chat line is at most 255 bytes and its NUL.
    writeText(r, rec::stText, rec::stTextWidth, fitText(text, 255));
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

// ---- text encoding ----------------------------------------------------------------

namespace {
// Windows-1252 0x80..0x9F. The five bytes it leaves undefined stand for the C1 controls of
// the same value, as Windows reads them, so that every byte reads and writes back unchanged.
// clang-format off
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};
// clang-format on

// The Windows-1252 byte of a character, or -1 when it has none.
int cp1252Byte(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return c;
    for (size_t i = 0; i < kCp1252High.size(); ++i) {
        if (kCp1252High[i] == c)
            return int(0x80 + i);
    }
    return -1;
}

QString fromCp1252(QByteArrayView bytes)
{
    QString out(bytes.size(), Qt::Uninitialized);
    QChar *d = out.data();
    for (const char b : bytes) {
        const auto u = quint8(b);
        *d++ = QChar(u >= 0x80 && u < 0xA0 ? kCp1252High[u - 0x80] : char16_t(u));
    }
    return out;
}

// Calls f(start, end) for each character (grapheme) of s, in order, until f returns false.
template <typename F> void forEachCharacter(const QString &s, F &&f)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, s);
    qsizetype start = 0;
    for (qsizetype end = finder.toNextBoundary(); end > 0 && start < s.size(); end = finder.toNextBoundary()) {
        if (!f(start, end))
            return;
        start = end;
    }
}
} // namespace

bool isValidUtf8(QByteArrayView bytes)
{
    const auto *p = reinterpret_cast<const quint8 *>(bytes.data());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        const quint8 b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        int more = 0;
        char32_t cp = 0, least = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            more = 1, cp = b & 0x1Fu, least = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            more = 2, cp = b & 0x0Fu, least = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            more = 3, cp = b & 0x07u, least = 0x10000;
        } else {
            return false; // a continuation byte first, an overlong 0xC0/0xC1, or past 0xF4
        }
        if (n - i <= more)
            return false;
        for (int k = 1; k <= more; ++k) {
            if ((p[i + k] & 0xC0u) != 0x80u)
                return false;
            cp = (cp << 6) | (p[i + k] & 0x3Fu);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += more + 1;
    }
    return true;
}

QString decodeText(QByteArrayView bytes)
{
    return isValidUtf8(bytes) ? QString::fromUtf8(bytes) : fromCp1252(bytes);
}

QByteArray encodeText(QStringView text, qsizetype maxBytes)
{
    const QString s = text.toString();
    // The start that fits as Windows-1252 while every character so far has a byte there;
    // from the first that has none on, the text is UTF-8 and measured so.
    qsizetype end = 0;
    qsizetype bytes = 0;
    bool cp1252 = true;
    forEachCharacter(s, [&](qsizetype from, qsizetype to) {
        const QStringView character = QStringView(s).sliced(from, to - from);
        const bool utf8 = !cp1252 || std::any_of(character.begin(), character.end(), [](QChar c) {
            return cp1252Byte(c.unicode()) < 0;
        });
        const qsizetype before = utf8 && cp1252 ? QStringView(s).first(from).toUtf8().size() : bytes;
        const qsizetype after = before + (utf8 ? character.toUtf8().size() : character.size());
        if (after > maxBytes)
            return false;
        cp1252 = !utf8;
        bytes = after;
        end = to;
        return true;
    });
    const QStringView kept = QStringView(s).first(end);
    if (!cp1252)
        return kept.toUtf8();
    QByteArray out(kept.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < kept.size(); ++i)
        out[i] = char(cp1252Byte(kept[i].unicode()));
    return out;
}

QByteArrayView fitText(QByteArrayView bytes, qsizetype maxBytes)
{
    if (bytes.size() <= maxBytes)
        return bytes;
    if (!isValidUtf8(bytes))
        return bytes.first(qMax<qsizetype>(maxBytes, 0)); // one byte is one character
    const QString s = QString::fromUtf8(bytes);
    qsizetype kept = 0;
    forEachCharacter(s, [&](qsizetype from, qsizetype to) {
        const qsizetype size = QStringView(s).sliced(from, to - from).toUtf8().size();
        if (kept + size > maxBytes)
            return false;
        kept += size;
        return true;
    });
    return bytes.first(kept);
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
