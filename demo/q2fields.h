#pragma once
// The facts of Quake 2's protocol 34 that a demo reader needs: command codes, the bits that say
// which fields of an entity or a player state follow, limits, and the delta coding of those
// states. The values come from id-Software/Quake-2 (the 3.21 source release, also kept in
// yquake2/yquake2); each table names the file and function it was taken from.

#include "q2message.h"

#include <array>
#include <cstdint>
#include <vector>

namespace arbelon::demo::q2 {

// qcommon/qcommon.h: PROTOCOL_VERSION, UPDATE_BACKUP, MAX_MSGLEN;
// game/q_shared.h: MAX_EDICTS, MAX_QPATH, MAX_CONFIGSTRINGS, MAX_STATS, MAX_ITEMS;
// qcommon/qfiles.h: MAX_MAP_AREAS (256, so 32 bytes of area bits).
constexpr int kProtocol = 34;
constexpr int kUpdateBackup = 16;
constexpr qsizetype kMaxMsgLen = 1400;
constexpr int kMaxEdicts = 1024;
constexpr int kMaxQPath = 64;
constexpr int kMaxConfigStrings = 32 + 256 + 256 + 256 + 256 + 256 + 256 + 2 * 256;
constexpr int kMaxStats = 32;
constexpr int kMaxItems = 256;
constexpr int kMaxAreaBytes = 32;
// qcommon/common.c, MSG_ReadDir: a direction is an index into NUMVERTEXNORMALS normals.
constexpr int kNumVertexNormals = 162;

// game/q_shared.h: CS_STATUSBAR spans the slots up to CS_AIRACCEL.
constexpr int kCsStatusBar = 5;
constexpr int kCsAirAccel = 29;
// game/q_shared.h: pmtype_t (PM_NORMAL, PM_SPECTATOR, PM_DEAD, PM_GIB, PM_FREEZE); STAT_CHASE.
constexpr quint8 kPmFreeze = 4;
constexpr int kStatChase = 16;

// qcommon/qcommon.h, enum svc_ops_e.
enum Svc : quint8 {
    SvcBad,
    SvcMuzzleFlash,
    SvcMuzzleFlash2,
    SvcTempEntity,
    SvcLayout,
    SvcInventory,
    SvcNop,
    SvcDisconnect,
    SvcReconnect,
    SvcSound,
    SvcPrint,
    SvcStuffText,
    SvcServerData,
    SvcConfigString,
    SvcSpawnBaseline,
    SvcCenterPrint,
    SvcDownload,
    SvcPlayerInfo,
    SvcPacketEntities,
    SvcDeltaPacketEntities,
    SvcFrame,
};

// qcommon/qcommon.h, entity_state_t communication (U_*).
namespace u {
constexpr quint32 Origin1 = 1u << 0, Origin2 = 1u << 1, Angle2 = 1u << 2, Angle3 = 1u << 3;
constexpr quint32 Frame8 = 1u << 4, Event = 1u << 5, Remove = 1u << 6, MoreBits1 = 1u << 7;
constexpr quint32 Number16 = 1u << 8, Origin3 = 1u << 9, Angle1 = 1u << 10, Model = 1u << 11;
constexpr quint32 RenderFx8 = 1u << 12, Effects8 = 1u << 14, MoreBits2 = 1u << 15;
constexpr quint32 Skin8 = 1u << 16, Frame16 = 1u << 17, RenderFx16 = 1u << 18, Effects16 = 1u << 19;
constexpr quint32 Model2 = 1u << 20, Model3 = 1u << 21, Model4 = 1u << 22, MoreBits3 = 1u << 23;
constexpr quint32 OldOrigin = 1u << 24, Skin16 = 1u << 25, Sound = 1u << 26, Solid = 1u << 27;
} // namespace u

// qcommon/qcommon.h, player_state_t communication (PS_*).
namespace ps {
constexpr quint16 MType = 1 << 0, MOrigin = 1 << 1, MVelocity = 1 << 2, MTime = 1 << 3;
constexpr quint16 MFlags = 1 << 4, MGravity = 1 << 5, MDeltaAngles = 1 << 6, ViewOffset = 1 << 7;
constexpr quint16 ViewAngles = 1 << 8, KickAngles = 1 << 9, Blend = 1 << 10, Fov = 1 << 11;
constexpr quint16 WeaponIndex = 1 << 12, WeaponFrame = 1 << 13, RdFlags = 1 << 14;
} // namespace ps

// An entity as the client holds it after parsing, in the units the wire carries (coordinates
// as 1/8 units, angles as 1/256 turns), so that writing it again is exact.
struct EntityState {
    int number = 0;
    std::array<qint16, 3> origin{};
    std::array<quint8, 3> angles{};
    std::array<qint16, 3> oldOrigin{};
    std::array<quint8, 4> models{};
    qint32 frame = 0;
    qint32 skin = 0;
    qint32 effects = 0;
    qint32 renderFx = 0;
    qint32 solid = 0;
    quint8 sound = 0;
    quint8 event = 0;
    bool operator==(const EntityState &) const = default;
};

// player_state_t in wire units (game/q_shared.h; read in client/cl_ents.c, CL_ParsePlayerstate).
struct PlayerState {
    quint8 pmType = 0;
    std::array<qint16, 3> origin{};
    std::array<qint16, 3> velocity{};
    quint8 pmTime = 0;
    quint8 pmFlags = 0;
    qint16 gravity = 0;
    std::array<qint16, 3> deltaAngles{};
    std::array<qint8, 3> viewOffset{};
    std::array<qint16, 3> viewAngles{};
    std::array<qint8, 3> kickAngles{};
    quint8 gunIndex = 0;
    quint8 gunFrame = 0;
    std::array<qint8, 3> gunOffset{};
    std::array<qint8, 3> gunAngles{};
    std::array<quint8, 4> blend{};
    quint8 fov = 0;
    quint8 rdFlags = 0;
    std::array<qint16, kMaxStats> stats{};
    bool operator==(const PlayerState &) const = default;
};

// client/cl_ents.c, CL_ParseEntityBits: the bits, then the entity number.
int readEntityBits(Reader &in, quint32 &bits);
// client/cl_ents.c, CL_ParseDelta: the fields the bits name, over a copy of from.
EntityState readEntityDelta(Reader &in, const EntityState &from, int number, quint32 bits);
// The bytes that make CL_ParseDelta turn from into to (bits, number and fields), as
// qcommon/common.c MSG_WriteDeltaEntity lays them out. Nothing when they are equal and force
// is false.
void writeEntityDelta(Writer &out, const EntityState &from, const EntityState &to, bool force);

PlayerState readPlayerState(Reader &in, const PlayerState &from);
// As server/sv_ents.c SV_WritePlayerstateToClient, the svc_playerinfo byte included.
void writePlayerState(Writer &out, const PlayerState &from, const PlayerState &to);

// The entities of a frame, sorted by number (client/cl_ents.c, CL_ParsePacketEntities).
using EntityList = std::vector<EntityState>;
EntityList readPacketEntities(Reader &in, const EntityList &from, const std::array<EntityState, kMaxEdicts> &baselines);
// As server/sv_ents.c SV_EmitPacketEntities, the svc_packetentities byte included.
void writePacketEntities(Writer &out, const EntityList &from, const EntityList &to,
                         const std::array<EntityState, kMaxEdicts> &baselines);

// Steps over the payloads whose length depends on their content, as the client reads them.
void skipTempEntity(Reader &in);
void skipSound(Reader &in);

} // namespace arbelon::demo::q2
