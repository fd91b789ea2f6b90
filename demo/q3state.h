#pragma once
// Quake 3's entity and player states as its messages delta-code them: each state is a fixed
// list of 32-bit fields (integers, or floats kept by their bits) in the order the format sends
// them, and a delta names the fields that changed.

#include <QtGlobal>

#include <array>

namespace arbelon::demo {

class Q3MessageReader;
class Q3MessageWriter;

namespace q3 {

constexpr int kEntityNumberBits = 10;
constexpr int kMaxEntities = 1 << kEntityNumberBits;
constexpr int kNoEntity = kMaxEntities - 1; // ends an entity list; a removed entity's number
constexpr int kEntityFieldCount = 51;
constexpr int kPlayerFieldCount = 48;
constexpr int kArraySize = 16; // stats, persistant, ammo and powerups each hold 16

// Field places the client looks at (in the send order of the tables in q3state.cpp).
constexpr int kPlayerCommandTime = 0;
constexpr int kPlayerPmType = 34;
constexpr int kPlayerClientNum = 40;
constexpr int kPmIntermission = 5; // pm_type values of bg_public.h
constexpr int kPmSpIntermission = 6;

struct Entity {
    int number = 0;
    std::array<qint32, kEntityFieldCount> fields{};
    bool operator==(const Entity &) const = default;
};

struct Player {
    std::array<qint32, kPlayerFieldCount> fields{};
    std::array<qint32, kArraySize> stats{};
    std::array<qint32, kArraySize> persistant{};
    std::array<qint32, kArraySize> ammo{};
    std::array<qint32, kArraySize> powerups{};
    bool operator==(const Player &) const = default;
};

// Reads the delta of entity number from 'from'. A removal gives number kNoEntity.
Entity readEntity(Q3MessageReader &in, const Entity &from, int number);
// Writes 'to' as a delta from 'from' (to == nullptr: the removal of 'from'). Without force an
// unchanged entity writes nothing.
void writeEntity(Q3MessageWriter &out, const Entity *from, const Entity *to, bool force);

Player readPlayer(Q3MessageReader &in, const Player &from);
void writePlayer(Q3MessageWriter &out, const Player &from, const Player &to);

} // namespace q3
} // namespace arbelon::demo
