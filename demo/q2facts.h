#pragma once
// What is on in a Quake 2 game, read from its demo message by message: the map and player
// configstrings, the statusbar program (the stats the HUD shows tell the mode), the obituaries
// the game prints, the scoreboard layout and the recorded player's own stats. Facts of the
// format, from id-Software/Quake-2: game/q_shared.h (configstring places, stats),
// game/p_client.c ClientObituary, game/p_hud.c DeathmatchScoreboardMessage and
// G_SetSpectatorStats, ctf/g_ctf.c (its statusbar, scoreboard, team skins and captures).

#include "democodec.h"
#include "gamefacts.h"

#include <QHash>

#include <array>
#include <vector>

namespace arbelon::demo {

class Q2Codec;

class Q2Facts {
public:
    static constexpr int kMaxClients = 256; // MAX_CLIENTS

    // Takes in what the message the codec just parsed told.
    void update(const Q2Codec &codec, const MessageInfo &info, GameFacts &facts);

private:
    void newLevel(const Q2Codec &codec, GameFacts &facts);
    void readConfigString(const Q2Codec &codec, int index, GameFacts &facts);
    void readMode(const Q2Codec &codec, GameFacts &facts);
    void readPrint(int level, QByteArrayView text, GameFacts &facts);
    void readObituary(QByteArrayView text, GameFacts &facts);
    void readCapture(QByteArrayView text, GameFacts &facts);
    void readLayout(QByteArrayView layout, GameFacts &facts);
    void readStats(const Q2Codec &codec, GameFacts &facts);
    void frag(int target, int attacker, QByteArrayView weapon, GameFacts &facts);
    void event(FactEvent e, GameFacts &facts) const;
    void indexNames();
    int clientNamed(QByteArrayView name) const;
    QByteArray nameOf(int client) const;
    int teamOf(int client) const;
    void publishPlayers(GameFacts &facts) const;

    std::array<QByteArray, kMaxClients> m_players; // each client's "name\model/skin"
    std::array<qint32, kMaxClients> m_baseScore{}; // as the server last sent it
    std::array<qint32, kMaxClients> m_counted{};   // frags since
    // The players' names as the game prints them: the lowest client of each, and their
    // lengths, longest first. Made again when a player changes.
    QHash<QByteArray, int> m_clientOf;
    std::vector<qsizetype> m_nameLengths;
    bool m_namesStale = true;
    int m_playerNum = -1;  // the recording player's client
    int m_statsOwner = -1; // whose stats the newest frame shows (a spectator sees another's)
    bool m_deathmatch = false;
    bool m_ctf = false;
    int m_levelFrames = 0;
    qint64 m_serverTime = 0;
    qint64 m_firstServerTime = -1; // of this level
    qint64 m_lengthBefore = 0;     // of the demo's earlier levels
};

} // namespace arbelon::demo
