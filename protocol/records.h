#pragma once
// Relay protocol records: type codes, sizes, field offsets, builders and in-place readers.
// All integers are little-endian; text fields are NUL-padded single-byte arrays.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <stdexcept>

namespace arbelon {

// ---- record types -------------------------------------------------------
enum PacketType : qint32 {
    GAMEINFO = 0,
    DATAPACKET = 1,
    WATCHINGTHIS = 2,
    GAMEINFODETAILED = 3,
    ACKNAK = 4,
    WAITFORGAME = 5,
    SENDTEXT = 6,
    LEAVEGAME = 7,
    USERINFO = 8,
    DEMOPACKET = 9,
    GAMEREMOVED = 10,
    DEMORESTART = 11,
    USERENTERED = 12,
    USERLEFT = 13,
};
constexpr int kPacketTypeCount = 14;

// ---- session states (the exchange in progress) --------------------------
enum RecordState : int {
    ssIdle = 0,
    ssWaitForGame = 1,
    ssInLobby = 2,
    ssLeaveGame = 3,
    ssGameInfo = 4,
    ssUserInfo = 5,
    ssDemoPacket = 6,
    ssSendText = 7,
    ssDemoRestart = 10,
};

// The ints are the wire and registry form; the session speaks the typed ones.
enum : int { roleViewer = 0,
             roleFilmer = 1 };
enum : int { gtQuake2 = 0,
             gtQuake3 = 1 };
enum class Role : int { Viewer = roleViewer,
                        Filmer = roleFilmer };
enum class GameType : int { Quake2 = gtQuake2,
                            Quake3 = gtQuake3 };
// A stored or received number as a game: anything but Quake 3's is Quake 2, as the originals read it.
inline GameType gameTypeOf(int wire) { return wire == gtQuake3 ? GameType::Quake3 : GameType::Quake2; }

constexpr quint16 kViewerPort = 38962;
constexpr quint16 kFilmerPort = 38963;

// ---- sizes and offsets ----------------------------------------------------
namespace rec {
constexpr int kHeaderSize = 12;
constexpr int offType = 0;
constexpr int offSize = 4;
constexpr int offCrc = 8;

constexpr int kGameInfoSize = 100;
constexpr int kGameInfoDetailedSize = 80;
constexpr int kAckNakSize = 16;
constexpr int kWaitForGameSize = 16;
constexpr int kSendTextSize = 288;
constexpr int kLeaveGameSize = 12;
constexpr int kUserRecordSize = 32; // USERINFO, USERENTERED, USERLEFT
constexpr int kDemoPacketHeaderSize = 16;
constexpr int kGameRemovedSize = 16;
constexpr int kDemoRestartSize = 16;

// A DEMOPACKET larger than this is refused before it is buffered.
constexpr quint32 kMaxDemoPacketSize = 4u * 1024u * 1024u;
// One block never inflates beyond this.
constexpr qsizetype kMaxBlockInflated = 16 * 1024 * 1024;

// GAMEINFO
constexpr int giGameType = 12;
constexpr int giModName = 16, giModNameWidth = 17;
constexpr int giUserName = 33, giUserNameWidth = 17;
constexpr int giPassword = 50, giPasswordWidth = 17;
constexpr int giGameName = 67, giGameNameWidth = 33;
// GAMEINFODETAILED
constexpr int gdGameId = 12;
constexpr int gdGameName = 16, gdGameNameWidth = 33;
constexpr int gdGameType = 52;
constexpr int gdUsers = 56;
constexpr int gdModName = 60, gdModNameWidth = 17;
// ACKNAK
constexpr int akResult = 12;
// In the padding of the relay's answer to a Viewer's USERINFO: the port of its web page, where
// the client reads what is on in each game (0: not said). Other answers leave it 0.
constexpr int akWebPort = 14;
// WAITFORGAME, GAMEREMOVED
constexpr int wgGameId = 12;
constexpr int grGameId = 12;
// SENDTEXT
constexpr int stUserName = 12, stUserNameWidth = 17;
constexpr int stText = 29, stTextWidth = 259;
// USERINFO / USERENTERED / USERLEFT
constexpr int uiUserName = 12, uiUserNameWidth = 17;
// DEMOPACKET, DEMORESTART
constexpr int dpSequence = 12;
constexpr int dpData = 16;
constexpr int drSequence = 12;

// Fixed size of a type, or 0 for DEMOPACKET (variable) and types without a layout.
int fixedSize(qint32 type);
} // namespace rec

// Label of a record type for the diagnostic trace; "UNKNOWN" for unlisted types.
QString PacketName(qint32 type);

// ---- raw field access -----------------------------------------------------
qint32 readI32(QByteArrayView rec, int offset);
quint32 readU32(QByteArrayView rec, int offset);
quint8 readU8(QByteArrayView rec, int offset);
// Characters up to the first NUL, or the whole field when it holds none.
QByteArray readText(QByteArrayView rec, int offset, int width);
// Text a peer sent, with each control character written as \xNN: shown or printed, it stays
// one line and cannot steer a terminal.
QString escapeControls(const QString &text);

void writeI32(QByteArray &rec, int offset, qint32 value);
void writeU32(QByteArray &rec, int offset, quint32 value);
// Writes at most width - 1 bytes, so the field always keeps a NUL; a longer text is cut as
// fitText cuts it.
void writeText(QByteArray &rec, int offset, int width, QByteArrayView text);

// ---- text encoding ----------------------------------------------------------
// A text goes out in Windows-1252 when that holds every character of it (the original
// clients read nothing else), in UTF-8 otherwise. Bytes that are valid UTF-8 read as UTF-8,
// anything else as Windows-1252; plain ASCII is the same either way. Limits are in bytes,
// and a cut never falls inside a character: not inside a UTF-8 sequence, nor between a
// letter and its accent, nor inside a surrogate pair.
QString decodeText(QByteArrayView bytes);
// The longest start of text whose encoding (by the rule, for that start) fits maxBytes.
QByteArray encodeText(QStringView text, qsizetype maxBytes);
// The longest start of encoded bytes, at most maxBytes, that ends between characters.
QByteArrayView fitText(QByteArrayView bytes, qsizetype maxBytes);
// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF, no cut sequence.
bool isValidUtf8(QByteArrayView bytes);

// Zero-filled record of the given size with PacketType and PacketSize set.
QByteArray newRecord(qint32 type, int size);

// ---- builders: records the client sends ----------------------------------
QByteArray buildGameInfo(qint32 gameType, QByteArrayView mod, QByteArrayView userName,
                         QByteArrayView password, QByteArrayView gameName);
QByteArray buildAckNak(quint8 result, quint16 webPort = 0);
QByteArray buildWaitForGame(qint32 gameId);
QByteArray buildSendText(QByteArrayView userName, QByteArrayView text);
QByteArray buildLeaveGame();
QByteArray buildUserInfo(QByteArrayView userName);
QByteArray buildDemoPacket(quint32 crc, qint32 sequence, QByteArrayView data);
QByteArray buildDemoRestart(qint32 sequence);

// ---- builders: records the server sends ----------------------------------
QByteArray buildGameInfoDetailed(quint32 gameId, QByteArrayView gameName, qint32 gameType,
                                 quint32 users, QByteArrayView mod);
QByteArray buildGameRemoved(quint32 gameId);
QByteArray buildUserEntered(QByteArrayView userName);
QByteArray buildUserLeft(QByteArrayView userName);

// ---- readers: fields read in place at the front of a buffer ---------------
// Each reader expects a view of at least the record's size; the caller checks that.
struct GameInfoReader {
    QByteArrayView r;
    qint32 gameType() const { return readI32(r, rec::giGameType); }
    QByteArray modName() const { return readText(r, rec::giModName, rec::giModNameWidth); }
    QByteArray userName() const { return readText(r, rec::giUserName, rec::giUserNameWidth); }
    QByteArray password() const { return readText(r, rec::giPassword, rec::giPasswordWidth); }
    QByteArray gameName() const { return readText(r, rec::giGameName, rec::giGameNameWidth); }
};

struct GameInfoDetailedReader {
    QByteArrayView r;
    quint32 gameId() const { return readU32(r, rec::gdGameId); }
    QByteArray gameName() const { return readText(r, rec::gdGameName, rec::gdGameNameWidth); }
    qint32 gameType() const { return readI32(r, rec::gdGameType); }
    quint32 users() const { return readU32(r, rec::gdUsers); }
    QByteArray modName() const { return readText(r, rec::gdModName, rec::gdModNameWidth); }
};

// ACKNAK Result codes; a client that knows only 0 and "anything else" sees any refusal.
enum AckResult : quint8 {
    akAccepted = 0,
    akRefused = 1, // the request itself (wrong password, no such game, flood limit, bad block)
    akFull = 2,    // no room: the relay's connection limit, its limit per address, or its games
};

struct AckNakReader {
    QByteArrayView r;
    quint8 result() const { return readU8(r, rec::akResult); }
    quint16 webPort() const { return quint16(readU8(r, rec::akWebPort) | readU8(r, rec::akWebPort + 1) << 8); }
};

struct WaitForGameReader {
    QByteArrayView r;
    qint32 gameId() const { return readI32(r, rec::wgGameId); }
};

struct SendTextReader {
    QByteArrayView r;
    QByteArray userName() const { return readText(r, rec::stUserName, rec::stUserNameWidth); }
    QByteArray text() const { return readText(r, rec::stText, rec::stTextWidth); }
};

struct UserRecordReader { // USERINFO, USERENTERED, USERLEFT
    QByteArrayView r;
    QByteArray userName() const { return readText(r, rec::uiUserName, rec::uiUserNameWidth); }
};

struct DemoPacketReader {
    QByteArrayView r;
    quint32 packetSize() const { return readU32(r, rec::offSize); }
    quint32 packetCrc() const { return readU32(r, rec::offCrc); }
    qint32 sequence() const { return readI32(r, rec::dpSequence); }
    // The compressed payload: PacketSize - 16 bytes after the header.
    QByteArrayView data() const { return r.sliced(rec::dpData, qsizetype(packetSize()) - rec::dpData); }
};

struct GameRemovedReader {
    QByteArrayView r;
    quint32 gameId() const { return readU32(r, rec::grGameId); }
};

struct DemoRestartReader {
    QByteArrayView r;
    qint32 sequence() const { return readI32(r, rec::drSequence); }
};

// Raised for a record that can never be handled (impossible size); ends the session.
class EProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A DEMOPACKET must carry data and stay within the bound; throws EProtocolError otherwise.
void checkDemoPacketSize(quint32 packetSize);

inline qint32 packetType(QByteArrayView r) { return readI32(r, rec::offType); }
inline quint32 packetSize(QByteArrayView r) { return readU32(r, rec::offSize); }

} // namespace arbelon
