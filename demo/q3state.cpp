#include "q3state.h"

#include "democodec.h"
#include "q3message.h"

#include <cstring>

namespace arbelon::demo::q3 {

namespace {

// The fields in the order the format sends them, with their widths: 0 is a float, a negative
// width a signed integer. Facts of the format: ioquake3 code/qcommon/msg.c,
// entityStateFields and playerStateFields (the same in Quake 3 1.30 to 1.32 and ioquake3).
struct Field {
    const char *name;
    int bits;
};

// clang-format off
constexpr std::array<Field, kEntityFieldCount> kEntityFields = {{
    {"pos.trTime", 32},      {"pos.trBase[0]", 0},    {"pos.trBase[1]", 0},     {"pos.trDelta[0]", 0},
    {"pos.trDelta[1]", 0},   {"pos.trBase[2]", 0},    {"apos.trBase[1]", 0},    {"pos.trDelta[2]", 0},
    {"apos.trBase[0]", 0},   {"event", 10},           {"angles2[1]", 0},        {"eType", 8},
    {"torsoAnim", 8},        {"eventParm", 8},        {"legsAnim", 8},          {"groundEntityNum", kEntityNumberBits},
    {"pos.trType", 8},       {"eFlags", 19},          {"otherEntityNum", kEntityNumberBits}, {"weapon", 8},
    {"clientNum", 8},        {"angles[1]", 0},        {"pos.trDuration", 32},   {"apos.trType", 8},
    {"origin[0]", 0},        {"origin[1]", 0},        {"origin[2]", 0},         {"solid", 24},
    {"powerups", 16},        {"modelindex", 8},       {"otherEntityNum2", kEntityNumberBits}, {"loopSound", 8},
    {"generic1", 8},         {"origin2[2]", 0},       {"origin2[0]", 0},        {"origin2[1]", 0},
    {"modelindex2", 8},      {"angles[0]", 0},        {"time", 32},             {"apos.trTime", 32},
    {"apos.trDuration", 32}, {"apos.trBase[2]", 0},   {"apos.trDelta[0]", 0},   {"apos.trDelta[1]", 0},
    {"apos.trDelta[2]", 0},  {"time2", 32},           {"angles[2]", 0},         {"angles2[0]", 0},
    {"angles2[2]", 0},       {"constantLight", 32},   {"frame", 16},
}};
// clang-format on

// clang-format off
constexpr std::array<Field, kPlayerFieldCount> kPlayerFields = {{
    {"commandTime", 32},     {"origin[0]", 0},        {"origin[1]", 0},         {"bobCycle", 8},
    {"velocity[0]", 0},      {"velocity[1]", 0},      {"viewangles[1]", 0},     {"viewangles[0]", 0},
    {"weaponTime", -16},     {"origin[2]", 0},        {"velocity[2]", 0},       {"legsTimer", 8},
    {"pm_time", -16},        {"eventSequence", 16},   {"torsoAnim", 8},         {"movementDir", 4},
    {"events[0]", 8},        {"legsAnim", 8},         {"events[1]", 8},         {"pm_flags", 16},
    {"groundEntityNum", kEntityNumberBits}, {"weaponstate", 4}, {"eFlags", 16}, {"externalEvent", 10},
    {"gravity", 16},         {"speed", 16},           {"delta_angles[1]", 16},  {"externalEventParm", 8},
    {"viewheight", -8},      {"damageEvent", 8},      {"damageYaw", 8},         {"damagePitch", 8},
    {"damageCount", 8},      {"generic1", 8},         {"pm_type", 8},           {"delta_angles[0]", 16},
    {"delta_angles[2]", 16}, {"torsoTimer", 12},      {"eventParms[0]", 8},     {"eventParms[1]", 8},
    {"clientNum", 8},        {"weapon", 5},           {"viewangles[2]", 0},     {"grapplePoint[0]", 0},
    {"grapplePoint[1]", 0},  {"grapplePoint[2]", 0},  {"jumppad_ent", kEntityNumberBits}, {"loopSound", 16},
}};
// clang-format on

// Integral floats in this range travel in 13 bits, biased to be positive.
constexpr int kFloatIntBits = 13;
constexpr int kFloatIntBias = 1 << (kFloatIntBits - 1);

float asFloat(qint32 bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

qint32 floatBits(float f)
{
    qint32 bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

// The small-integer form, when the float has one.
bool smallInteger(qint32 bits, int &biased)
{
    const float f = asFloat(bits);
    if (!(f >= -float(kFloatIntBias) && f < float(kFloatIntBias)))
        return false;
    const int t = int(f);
    if (float(t) != f)
        return false;
    biased = t + kFloatIntBias;
    return true;
}

qint32 readFloat(Q3MessageReader &in)
{
    if (in.readBits(1) == 0)
        return floatBits(float(in.readBits(kFloatIntBits) - kFloatIntBias));
    return in.readBits(32);
}

void writeFloat(Q3MessageWriter &out, qint32 bits)
{
    int biased = 0;
    if (smallInteger(bits, biased)) {
        out.writeBits(0, 1);
        out.writeBits(biased, kFloatIntBits);
    } else {
        out.writeBits(1, 1);
        out.writeBits(bits, 32);
    }
}

template <std::size_t N>
int lastChanged(const std::array<qint32, N> &a, const std::array<qint32, N> &b)
{
    int last = 0;
    for (std::size_t i = 0; i < N; ++i) {
        if (a[i] != b[i])
            last = int(i) + 1;
    }
    return last;
}

int changedMask(const std::array<qint32, kArraySize> &a, const std::array<qint32, kArraySize> &b)
{
    int mask = 0;
    for (int i = 0; i < kArraySize; ++i) {
        if (a[std::size_t(i)] != b[std::size_t(i)])
            mask |= 1 << i;
    }
    return mask;
}

void readArray(Q3MessageReader &in, std::array<qint32, kArraySize> &a, bool wide)
{
    if (!in.readBits(1))
        return;
    const int mask = in.readBits(kArraySize);
    for (int i = 0; i < kArraySize; ++i) {
        if (mask & (1 << i))
            a[std::size_t(i)] = wide ? in.readLong() : in.readShort();
    }
}

void writeArray(Q3MessageWriter &out, const std::array<qint32, kArraySize> &from, const std::array<qint32, kArraySize> &to,
                bool wide)
{
    const int mask = changedMask(from, to);
    if (!mask) {
        out.writeBits(0, 1);
        return;
    }
    out.writeBits(1, 1);
    out.writeBits(mask, kArraySize);
    for (int i = 0; i < kArraySize; ++i) {
        if (mask & (1 << i)) {
            if (wide)
                out.writeLong(to[std::size_t(i)]);
            else
                out.writeShort(to[std::size_t(i)]);
        }
    }
}

} // namespace

Entity readEntity(Q3MessageReader &in, const Entity &from, int number)
{
    if (number < 0 || number >= kMaxEntities)
        throw DemoError("an entity number is out of range");
    Entity to;
    if (in.readBits(1) == 1) {
        to.number = kNoEntity;
        return to;
    }
    to = from;
    to.number = number;
    if (in.readBits(1) == 0)
        return to;
    const int count = in.readByte();
    if (count > kEntityFieldCount)
        throw DemoError("an entity names more fields than it has");
    for (int i = 0; i < count; ++i) {
        if (!in.readBits(1))
            continue;
        const int bits = kEntityFields[std::size_t(i)].bits;
        qint32 &field = to.fields[std::size_t(i)];
        // A changed field may still be zero: that has a bit of its own.
        if (bits == 0)
            field = in.readBits(1) == 0 ? 0 : readFloat(in);
        else
            field = in.readBits(1) == 0 ? 0 : in.readBits(bits);
    }
    return to;
}

void writeEntity(Q3MessageWriter &out, const Entity *from, const Entity *to, bool force)
{
    if (!to) {
        if (from) {
            out.writeBits(from->number, kEntityNumberBits);
            out.writeBits(1, 1);
        }
        return;
    }
    static const Entity none;
    const Entity &base = from ? *from : none;
    const int count = lastChanged(base.fields, to->fields);
    if (count == 0 && !force)
        return;
    out.writeBits(to->number, kEntityNumberBits);
    out.writeBits(0, 1);
    if (count == 0) {
        out.writeBits(0, 1);
        return;
    }
    out.writeBits(1, 1);
    out.writeByte(count);
    for (int i = 0; i < count; ++i) {
        const qint32 value = to->fields[std::size_t(i)];
        if (value == base.fields[std::size_t(i)]) {
            out.writeBits(0, 1);
            continue;
        }
        out.writeBits(1, 1);
        const int bits = kEntityFields[std::size_t(i)].bits;
        // Zero, and for floats also minus zero, goes as the zero bit alone.
        const bool zero = bits == 0 ? asFloat(value) == 0.0f : value == 0;
        if (zero) {
            out.writeBits(0, 1);
            continue;
        }
        out.writeBits(1, 1);
        if (bits == 0)
            writeFloat(out, value);
        else
            out.writeBits(value, bits);
    }
}

Player readPlayer(Q3MessageReader &in, const Player &from)
{
    Player to = from;
    const int count = in.readByte();
    if (count > kPlayerFieldCount)
        throw DemoError("a player state names more fields than it has");
    for (int i = 0; i < count; ++i) {
        if (!in.readBits(1))
            continue;
        const int bits = kPlayerFields[std::size_t(i)].bits;
        to.fields[std::size_t(i)] = bits == 0 ? readFloat(in) : in.readBits(bits);
    }
    if (in.readBits(1)) {
        readArray(in, to.stats, false);
        readArray(in, to.persistant, false);
        readArray(in, to.ammo, false);
        readArray(in, to.powerups, true);
    }
    return to;
}

void writePlayer(Q3MessageWriter &out, const Player &from, const Player &to)
{
    const int count = lastChanged(from.fields, to.fields);
    out.writeByte(count);
    for (int i = 0; i < count; ++i) {
        const qint32 value = to.fields[std::size_t(i)];
        if (value == from.fields[std::size_t(i)]) {
            out.writeBits(0, 1);
            continue;
        }
        out.writeBits(1, 1);
        const int bits = kPlayerFields[std::size_t(i)].bits;
        if (bits == 0)
            writeFloat(out, value);
        else
            out.writeBits(value, bits);
    }
    const bool arrays = changedMask(from.stats, to.stats) || changedMask(from.persistant, to.persistant)
                        || changedMask(from.ammo, to.ammo) || changedMask(from.powerups, to.powerups);
    out.writeBits(arrays ? 1 : 0, 1);
    if (!arrays)
        return;
    writeArray(out, from.stats, to.stats, false);
    writeArray(out, from.persistant, to.persistant, false);
    writeArray(out, from.ammo, to.ammo, false);
    writeArray(out, from.powerups, to.powerups, true);
}

} // namespace arbelon::demo::q3
