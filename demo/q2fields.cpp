#include "q2fields.h"

#include <string>
#include <type_traits>

namespace arbelon::demo::q2 {

namespace {

[[noreturn]] void fail(const std::string &what)
{
    throw DemoError("Quake 2 demo: " + what);
}

// A field the wire carries as a byte, a signed short or a long, chosen by two bits
// (CL_ParseDelta: skin, effects, renderfx).
qint32 readSized(Reader &in, quint32 bits, quint32 small, quint32 large, qint32 old)
{
    if ((bits & small) && (bits & large))
        return in.longValue();
    if (bits & small)
        return in.byte();
    if (bits & large)
        return in.shortValue();
    return old;
}

// The bits that carry v so that readSized gives it back.
quint32 sizedBits(qint32 v, quint32 small, quint32 large)
{
    if (v >= 0 && v <= 0xff)
        return small;
    if (v >= -0x8000 && v <= 0x7fff)
        return large;
    return small | large;
}

void writeSized(Writer &out, quint32 bits, quint32 small, quint32 large, qint32 v)
{
    if ((bits & small) && (bits & large))
        out.longValue(v);
    else if (bits & small)
        out.byte(quint8(v));
    else if (bits & large)
        out.shortValue(qint16(v));
}

template <typename T, std::size_t N>
void readArray(Reader &in, std::array<T, N> &a)
{
    for (T &v : a) {
        if constexpr (sizeof(T) == 2)
            v = in.shortValue();
        else if constexpr (std::is_signed_v<T>)
            v = in.signedByte();
        else
            v = in.byte();
    }
}

template <typename T, std::size_t N>
void writeArray(Writer &out, const std::array<T, N> &a)
{
    for (const T v : a) {
        if constexpr (sizeof(T) == 2)
            out.shortValue(v);
        else
            out.byte(quint8(v));
    }
}

// sound flags, qcommon/qcommon.h (SND_*).
constexpr quint8 kSndVolume = 1 << 0, kSndAttenuation = 1 << 1, kSndPos = 1 << 2, kSndEnt = 1 << 3,
                 kSndOffset = 1 << 4;

// What follows each temp_event_t (game/q_shared.h), as client/cl_tent.c CL_ParseTEnt reads it
// (with CL_ParseBeam, CL_ParseBeam2, CL_ParseLaser, CL_ParseLightning, CL_ParsePlayerBeam,
// CL_ParseWidow, CL_ParseNuke): p a position (three shorts), d a direction (a byte), b a byte,
// s a short. Null: a type the client refuses. TE_STEAM (40) depends on its id, see below.
constexpr int kTeSteam = 40;
constexpr std::array<const char *, 56> kTempEntityFields = {
    "pd", "pd", "pd", "pp", "pd", "p", "p", "p", "p", "pd",               // 0-9
    "bpdb", "pp", "pd", "pd", "pd", "bpdb", "spp", "p", "p", "spp",       // 10-19
    "p", "p", "p", "pp", "sppp", "bpdb", "pd", "pp", "p", "bpdb",         // 20-29
    "pd", nullptr, nullptr, "sspp", "pp", "p", "ps", "ppb", "spp", "spp", // 30-39
    nullptr, "pp", "pd", "pd", "pd", "p", "pd", "p", "p", "p",            // 40-49
    "sp", "p", "p", "p", "p", "pd",                                       // 50-55
};

void skipFields(Reader &in, const char *fields)
{
    for (const char *f = fields; *f; ++f) {
        switch (*f) {
        case 'p':
            in.take(6);
            break;
        case 'd':
            if (in.byte() >= kNumVertexNormals)
                fail("a direction is out of range");
            break;
        case 'b':
            in.byte();
            break;
        case 's':
            in.shortValue();
            break;
        case 'l':
            in.longValue();
            break;
        }
    }
}

} // namespace

int readEntityBits(Reader &in, quint32 &bits)
{
    bits = in.byte();
    if (bits & u::MoreBits1)
        bits |= quint32(in.byte()) << 8;
    if (bits & u::MoreBits2)
        bits |= quint32(in.byte()) << 16;
    if (bits & u::MoreBits3)
        bits |= quint32(in.byte()) << 24;
    const int number = (bits & u::Number16) ? in.shortValue() : in.byte();
    if (number < 0 || number >= kMaxEdicts)
        fail("entity number " + std::to_string(number) + " is out of range");
    return number;
}

EntityState readEntityDelta(Reader &in, const EntityState &from, int number, quint32 bits)
{
    EntityState to = from;
    to.oldOrigin = from.origin;
    to.number = number;
    const quint32 modelBits[4] = {u::Model, u::Model2, u::Model3, u::Model4};
    for (int i = 0; i < 4; ++i) {
        if (bits & modelBits[i])
            to.models[i] = in.byte();
    }
    if (bits & u::Frame8)
        to.frame = in.byte();
    if (bits & u::Frame16)
        to.frame = in.shortValue();
    to.skin = readSized(in, bits, u::Skin8, u::Skin16, to.skin);
    to.effects = readSized(in, bits, u::Effects8, u::Effects16, to.effects);
    to.renderFx = readSized(in, bits, u::RenderFx8, u::RenderFx16, to.renderFx);
    const quint32 originBits[3] = {u::Origin1, u::Origin2, u::Origin3};
    for (int i = 0; i < 3; ++i) {
        if (bits & originBits[i])
            to.origin[i] = in.shortValue();
    }
    const quint32 angleBits[3] = {u::Angle1, u::Angle2, u::Angle3};
    for (int i = 0; i < 3; ++i) {
        if (bits & angleBits[i])
            to.angles[i] = in.byte();
    }
    if (bits & u::OldOrigin)
        readArray(in, to.oldOrigin);
    if (bits & u::Sound)
        to.sound = in.byte();
    // The event is not delta-coded: it lasts one frame.
    to.event = (bits & u::Event) ? in.byte() : 0;
    if (bits & u::Solid)
        to.solid = in.shortValue();
    return to;
}

void writeEntityDelta(Writer &out, const EntityState &from, const EntityState &to, bool force)
{
    quint32 bits = 0;
    const quint32 originBits[3] = {u::Origin1, u::Origin2, u::Origin3};
    const quint32 angleBits[3] = {u::Angle1, u::Angle2, u::Angle3};
    const quint32 modelBits[4] = {u::Model, u::Model2, u::Model3, u::Model4};
    for (int i = 0; i < 3; ++i) {
        if (to.origin[i] != from.origin[i])
            bits |= originBits[i];
        if (to.angles[i] != from.angles[i])
            bits |= angleBits[i];
    }
    for (int i = 0; i < 4; ++i) {
        if (to.models[i] != from.models[i])
            bits |= modelBits[i];
    }
    if (to.frame != from.frame)
        bits |= (to.frame >= 0 && to.frame <= 0xff) ? u::Frame8 : u::Frame16;
    if (to.skin != from.skin)
        bits |= sizedBits(to.skin, u::Skin8, u::Skin16);
    if (to.effects != from.effects)
        bits |= sizedBits(to.effects, u::Effects8, u::Effects16);
    if (to.renderFx != from.renderFx)
        bits |= sizedBits(to.renderFx, u::RenderFx8, u::RenderFx16);
    if (to.solid != from.solid)
        bits |= u::Solid;
    if (to.event)
        bits |= u::Event;
    if (to.sound != from.sound)
        bits |= u::Sound;
    // The reader takes the old origin from the state it starts from unless told otherwise.
    if (to.oldOrigin != from.origin)
        bits |= u::OldOrigin;
    if (!bits && !force)
        return;
    if (to.number >= 256)
        bits |= u::Number16;

    if (bits & 0xff000000u)
        bits |= u::MoreBits3 | u::MoreBits2 | u::MoreBits1;
    else if (bits & 0x00ff0000u)
        bits |= u::MoreBits2 | u::MoreBits1;
    else if (bits & 0x0000ff00u)
        bits |= u::MoreBits1;
    out.byte(quint8(bits));
    if (bits & u::MoreBits1)
        out.byte(quint8(bits >> 8));
    if (bits & u::MoreBits2)
        out.byte(quint8(bits >> 16));
    if (bits & u::MoreBits3)
        out.byte(quint8(bits >> 24));
    if (bits & u::Number16)
        out.shortValue(qint16(to.number));
    else
        out.byte(quint8(to.number));

    for (int i = 0; i < 4; ++i) {
        if (bits & modelBits[i])
            out.byte(to.models[i]);
    }
    if (bits & u::Frame8)
        out.byte(quint8(to.frame));
    if (bits & u::Frame16)
        out.shortValue(qint16(to.frame));
    writeSized(out, bits, u::Skin8, u::Skin16, to.skin);
    writeSized(out, bits, u::Effects8, u::Effects16, to.effects);
    writeSized(out, bits, u::RenderFx8, u::RenderFx16, to.renderFx);
    for (int i = 0; i < 3; ++i) {
        if (bits & originBits[i])
            out.shortValue(to.origin[i]);
    }
    for (int i = 0; i < 3; ++i) {
        if (bits & angleBits[i])
            out.byte(to.angles[i]);
    }
    if (bits & u::OldOrigin)
        writeArray(out, to.oldOrigin);
    if (bits & u::Sound)
        out.byte(to.sound);
    if (bits & u::Event)
        out.byte(to.event);
    if (bits & u::Solid)
        out.shortValue(qint16(to.solid));
}

PlayerState readPlayerState(Reader &in, const PlayerState &from)
{
    PlayerState to = from;
    const quint16 flags = quint16(in.shortValue());
    if (flags & ps::MType)
        to.pmType = in.byte();
    if (flags & ps::MOrigin)
        readArray(in, to.origin);
    if (flags & ps::MVelocity)
        readArray(in, to.velocity);
    if (flags & ps::MTime)
        to.pmTime = in.byte();
    if (flags & ps::MFlags)
        to.pmFlags = in.byte();
    if (flags & ps::MGravity)
        to.gravity = in.shortValue();
    if (flags & ps::MDeltaAngles)
        readArray(in, to.deltaAngles);
    if (flags & ps::ViewOffset)
        readArray(in, to.viewOffset);
    if (flags & ps::ViewAngles)
        readArray(in, to.viewAngles);
    if (flags & ps::KickAngles)
        readArray(in, to.kickAngles);
    if (flags & ps::WeaponIndex)
        to.gunIndex = in.byte();
    if (flags & ps::WeaponFrame) {
        to.gunFrame = in.byte();
        readArray(in, to.gunOffset);
        readArray(in, to.gunAngles);
    }
    if (flags & ps::Blend)
        readArray(in, to.blend);
    if (flags & ps::Fov)
        to.fov = in.byte();
    if (flags & ps::RdFlags)
        to.rdFlags = in.byte();
    const quint32 statBits = quint32(in.longValue());
    for (int i = 0; i < kMaxStats; ++i) {
        if (statBits & (1u << i))
            to.stats[i] = in.shortValue();
    }
    return to;
}

void writePlayerState(Writer &out, const PlayerState &from, const PlayerState &to)
{
    quint16 flags = 0;
    auto flag = [&flags](bool differs, quint16 bit) {
        if (differs)
            flags |= bit;
    };
    flag(to.pmType != from.pmType, ps::MType);
    flag(to.origin != from.origin, ps::MOrigin);
    flag(to.velocity != from.velocity, ps::MVelocity);
    flag(to.pmTime != from.pmTime, ps::MTime);
    flag(to.pmFlags != from.pmFlags, ps::MFlags);
    flag(to.gravity != from.gravity, ps::MGravity);
    flag(to.deltaAngles != from.deltaAngles, ps::MDeltaAngles);
    flag(to.viewOffset != from.viewOffset, ps::ViewOffset);
    flag(to.viewAngles != from.viewAngles, ps::ViewAngles);
    flag(to.kickAngles != from.kickAngles, ps::KickAngles);
    flag(to.gunIndex != from.gunIndex, ps::WeaponIndex);
    // The gun's frame, offset and angles travel together.
    flag(to.gunFrame != from.gunFrame || to.gunOffset != from.gunOffset || to.gunAngles != from.gunAngles,
         ps::WeaponFrame);
    flag(to.blend != from.blend, ps::Blend);
    flag(to.fov != from.fov, ps::Fov);
    flag(to.rdFlags != from.rdFlags, ps::RdFlags);

    out.byte(SvcPlayerInfo);
    out.shortValue(qint16(flags));
    if (flags & ps::MType)
        out.byte(to.pmType);
    if (flags & ps::MOrigin)
        writeArray(out, to.origin);
    if (flags & ps::MVelocity)
        writeArray(out, to.velocity);
    if (flags & ps::MTime)
        out.byte(to.pmTime);
    if (flags & ps::MFlags)
        out.byte(to.pmFlags);
    if (flags & ps::MGravity)
        out.shortValue(to.gravity);
    if (flags & ps::MDeltaAngles)
        writeArray(out, to.deltaAngles);
    if (flags & ps::ViewOffset)
        writeArray(out, to.viewOffset);
    if (flags & ps::ViewAngles)
        writeArray(out, to.viewAngles);
    if (flags & ps::KickAngles)
        writeArray(out, to.kickAngles);
    if (flags & ps::WeaponIndex)
        out.byte(to.gunIndex);
    if (flags & ps::WeaponFrame) {
        out.byte(to.gunFrame);
        writeArray(out, to.gunOffset);
        writeArray(out, to.gunAngles);
    }
    if (flags & ps::Blend)
        writeArray(out, to.blend);
    if (flags & ps::Fov)
        out.byte(to.fov);
    if (flags & ps::RdFlags)
        out.byte(to.rdFlags);
    quint32 statBits = 0;
    for (int i = 0; i < kMaxStats; ++i) {
        if (to.stats[i] != from.stats[i])
            statBits |= 1u << i;
    }
    out.longValue(qint32(statBits));
    for (int i = 0; i < kMaxStats; ++i) {
        if (statBits & (1u << i))
            out.shortValue(to.stats[i]);
    }
}

EntityList readPacketEntities(Reader &in, const EntityList &from, const std::array<EntityState, kMaxEdicts> &baselines)
{
    // The walk of CL_ParsePacketEntities: entities of the old frame below the next number
    // stay as they were, a removal drops the old entity at the walk's place.
    EntityList to;
    std::size_t old = 0;
    int last = 0;
    auto keepOld = [&]() {
        EntityState kept = from[old++];
        kept.oldOrigin = kept.origin;
        kept.event = 0;
        to.push_back(kept);
    };
    for (;;) {
        quint32 bits = 0;
        const int number = readEntityBits(in, bits);
        if (number == 0)
            break;
        // A server sends them in ascending order; any other order leaves the walk undefined.
        if (number <= last)
            fail("entity " + std::to_string(number) + " comes after entity " + std::to_string(last));
        last = number;
        while (old < from.size() && from[old].number < number)
            keepOld();
        if (bits & u::Remove) {
            if (old < from.size())
                ++old;
            continue;
        }
        if (old < from.size() && from[old].number == number)
            to.push_back(readEntityDelta(in, from[old++], number, bits));
        else
            to.push_back(readEntityDelta(in, baselines[std::size_t(number)], number, bits));
    }
    while (old < from.size())
        keepOld();
    return to;
}

void writePacketEntities(Writer &out, const EntityList &from, const EntityList &to,
                         const std::array<EntityState, kMaxEdicts> &baselines)
{
    out.byte(SvcPacketEntities);
    std::size_t oi = 0, ni = 0;
    while (oi < from.size() || ni < to.size()) {
        const int oldNumber = oi < from.size() ? from[oi].number : kMaxEdicts;
        const int newNumber = ni < to.size() ? to[ni].number : kMaxEdicts;
        if (newNumber == oldNumber) {
            writeEntityDelta(out, from[oi++], to[ni++], false);
        } else if (newNumber < oldNumber) {
            writeEntityDelta(out, baselines[std::size_t(newNumber)], to[ni++], true);
        } else {
            // U_REMOVE carries no fields, only the number.
            if (oldNumber >= 256) {
                out.byte(quint8(u::Remove | u::MoreBits1));
                out.byte(quint8(u::Number16 >> 8));
                out.shortValue(qint16(oldNumber));
            } else {
                out.byte(quint8(u::Remove));
                out.byte(quint8(oldNumber));
            }
            ++oi;
        }
    }
    out.shortValue(0);
}

void skipTempEntity(Reader &in)
{
    const quint8 type = in.byte();
    if (type == kTeSteam) {
        // client/cl_tent.c CL_ParseSteam: an id of -1 is an instant effect without a duration.
        const qint16 id = in.shortValue();
        skipFields(in, id == -1 ? "bpdbs" : "bpdbsl");
        return;
    }
    if (type >= kTempEntityFields.size() || !kTempEntityFields[type])
        fail("temp entity type " + std::to_string(type) + " is unknown");
    skipFields(in, kTempEntityFields[type]);
}

void skipSound(Reader &in)
{
    // client/cl_parse.c CL_ParseStartSoundPacket.
    const quint8 flags = in.byte();
    in.byte(); // the sound's index
    if (flags & kSndVolume)
        in.byte();
    if (flags & kSndAttenuation)
        in.byte();
    if (flags & kSndOffset)
        in.byte();
    if (flags & kSndEnt) {
        const int entity = in.shortValue() >> 3;
        if (entity > kMaxEdicts)
            fail("a sound's entity " + std::to_string(entity) + " is out of range");
    }
    if (flags & kSndPos)
        in.take(6);
}

} // namespace arbelon::demo::q2
