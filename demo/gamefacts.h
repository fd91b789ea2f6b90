#pragma once
// What is on in a game, as its demo tells it: the level, the mode, the players and their
// scores, the clock and limits, and the last events (frags, captures, joins and leaves, the
// match's end). Every text in it comes from the demo and is bounded and free of control bytes,
// but keeps the games' colour codes ("^1"): whoever shows it must escape it.

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <deque>

namespace arbelon::demo {

enum class GameMode { Unknown,
                      FreeForAll,
                      Tournament,
                      Team,
                      CaptureTheFlag,
                      Other };

// The mode's words as the page, the API and the command line show them.
QByteArray gameModeName(GameMode mode);

struct FactPlayer {
    enum Team { Free = 0,
                Red = 1,
                Blue = 2,
                Spectator = 3 };
    int client = -1;
    QByteArray name;
    int team = Free;
    qint32 score = 0;
    bool operator==(const FactPlayer &) const = default;
};

struct FactEvent {
    enum Kind { Frag,
                Capture,
                Join,
                Leave,
                MatchEnd };
    quint32 number = 0;       // 1 for a demo's first event, and on
    qint64 clockMs = 0;       // the game clock: since the level (or the match after warm-up) began
    qint64 serverTimeMs = 0;  // the demo's own time, where a rebuilt start can be found
    Kind kind = Frag;
    QByteArray actor;         // who fragged, captured, joined or left; empty: the world
    QByteArray target;        // who was fragged
    QByteArray weapon;        // how: "rocket splash", "falling"
    bool operator==(const FactEvent &) const = default;

    static FactEvent of(Kind kind, QByteArray actor = {}, QByteArray target = {}, QByteArray weapon = {});
};

QByteArray factEventKindName(FactEvent::Kind kind);

struct GameFacts {
    static constexpr int kMaxEvents = 200;
    static constexpr int kMaxName = 64;   // bytes of a name shown; the engines allow 36
    static constexpr int kMaxText = 128;  // bytes of a map or weapon name
    static constexpr int kMaxScore = 999999;

    QByteArray map;
    GameMode mode = GameMode::Unknown;
    QList<FactPlayer> players; // by client number
    // Scores as the server last sent them, or counted from the frags seen since (false).
    bool scoresFromServer = false;
    bool teamScores = false; // the red and blue totals mean something in this mode
    qint32 redScore = 0;
    qint32 blueScore = 0;
    qint64 clockMs = 0;
    qint64 serverTimeMs = 0; // the demo's own time of its newest snapshot: clock to demo time
    qint64 lengthMs = 0; // game time from the demo's first snapshot to its newest
    int timeLimitMinutes = 0; // 0: none
    int fragLimit = 0;
    int captureLimit = 0;
    bool ended = false; // the match's end (intermission) has been reached
    std::deque<FactEvent> events; // the last kMaxEvents
    quint32 eventCount = 0;       // events since the demo began; numbers the next

    void addEvent(FactEvent e);
    const FactPlayer *player(int client) const;
    bool operator==(const GameFacts &) const = default;
};

// A name or word from a demo made safe to keep: control bytes dropped, at most maxBytes,
// never ending inside a colour code or a UTF-8 sequence.
QByteArray cleanText(QByteArrayView text, int maxBytes);
// The engines' colour escape at s[i]: '^' and a letter or digit (the colour: its low three bits).
bool colourCode(QByteArrayView s, qsizetype i);
// A name from a demo without its colour codes.
QByteArray withoutColours(QByteArrayView name);
// Players by score, best first; spectators last.
QList<FactPlayer> rankedPlayers(const GameFacts &facts);
// The score in a line: "3 : 1" for teams, else the leader (colours dropped) and the score.
QByteArray scoreLine(const GameFacts &facts);

// A value of an info string ("\key\value\key\value", the leading '\' optional).
QByteArray infoValue(QByteArrayView info, QByteArrayView key);

} // namespace arbelon::demo
