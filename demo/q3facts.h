#pragma once
// What is on in a Quake 3 game, read from its demo message by message: the server info and
// player configstrings, the "scores" and "print" commands, and the obituaries among the
// snapshots' event entities. Facts of the format: ioquake3 code/game/bg_public.h (configstring
// places, entity types, events, means of death) and code/cgame/cg_servercmds.c ("scores").

#include "democodec.h"
#include "gamefacts.h"

#include <array>
#include <vector>

namespace arbelon::demo {

class Q3Codec;

class Q3Facts {
public:
    static constexpr int kMaxClients = 64;

    // Takes in what the message the codec just parsed told.
    void update(const Q3Codec &codec, const MessageInfo &info, GameFacts &facts);

private:
    struct EventEntity {
        int number;
        qint32 type, parm, other, other2;
        bool operator==(const EventEntity &) const = default;
    };

    void newLevel(const Q3Codec &codec, GameFacts &facts);
    void readConfigStrings(const Q3Codec &codec, GameFacts &facts, bool announce);
    void readCommand(const QByteArray &text, GameFacts &facts);
    void readScores(const QList<QByteArray> &words, GameFacts &facts);
    void readEvents(const Q3Codec &codec, GameFacts &facts);
    void frag(int target, int attacker, int means, GameFacts &facts);
    void event(FactEvent e, GameFacts &facts) const;
    QByteArray nameOf(int client) const;
    int teamOf(int client) const;
    void publishPlayers(GameFacts &facts) const;

    std::array<QByteArray, kMaxClients> m_players; // each client's configstring
    std::array<qint32, kMaxClients> m_baseScore{};   // as the server last sent it
    std::array<qint32, kMaxClients> m_counted{};     // frags since
    std::vector<EventEntity> m_lastEvents;           // in the previous snapshot
    qint64 m_levelStart = 0;
    qint64 m_serverTime = 0;
    qint64 m_firstServerTime = -1;
    int m_gameType = 0;
};

} // namespace arbelon::demo
