#include "q3facts.h"

#include "q3codec.h"

#include <algorithm>

namespace arbelon::demo {

namespace {

// Configstring places (bg_public.h).
constexpr int kServerInfo = 0;
constexpr int kScores1 = 6;
constexpr int kScores2 = 7;
constexpr int kLevelStartTime = 21;
constexpr int kIntermission = 22;
constexpr int kPlayers = 544;

// Entity fields, in the send order of q3state.cpp's table.
constexpr int kEntityType = 11;
constexpr int kEventParm = 13;
constexpr int kOtherEntity = 18;
constexpr int kOtherEntity2 = 30;
constexpr int kEntityEvents = 13; // ET_EVENTS: an event entity's type is this plus the event
constexpr int kEventObituary = 60;

// Means of death, as the game log's "Kill:" lines name them without "MOD_".
constexpr std::array<const char *, 29> kMeans = {
    "unknown", "shotgun", "gauntlet", "machinegun", "grenade", "grenade splash", "rocket",
    "rocket splash", "plasma", "plasma splash", "railgun", "lightning", "bfg", "bfg splash",
    "water", "slime", "lava", "crush", "telefrag", "falling", "suicide", "target laser",
    "trigger hurt", "nail", "chaingun", "proximity mine", "kamikaze", "juiced", "grapple"};

GameMode modeOf(int gameType)
{
    switch (gameType) {
    case 0: // free for all
    case 2: // single player
        return GameMode::FreeForAll;
    case 1:
        return GameMode::Tournament;
    case 3:
        return GameMode::Team;
    case 4: // capture the flag
    case 5: // one flag
        return GameMode::CaptureTheFlag;
    default:
        return GameMode::Other;
    }
}

qint32 boundedScore(qint64 v)
{
    return qint32(std::clamp<qint64>(v, -GameFacts::kMaxScore, GameFacts::kMaxScore));
}

int toInt(const QByteArray &text)
{
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    return ok ? boundedScore(v) : 0;
}

} // namespace

void Q3Facts::update(const Q3Codec &codec, const MessageInfo &info, GameFacts &facts)
{
    if (info.gameState)
        newLevel(codec, facts);
    else if (!codec.newCommands().isEmpty())
        readConfigStrings(codec, facts, true);
    if (info.snapshot) {
        m_serverTime = info.serverTimeMs;
        if (m_firstServerTime < 0)
            m_firstServerTime = m_serverTime;
        facts.lengthMs = std::max<qint64>(0, m_serverTime - m_firstServerTime);
        facts.clockMs = std::max<qint64>(0, m_serverTime - m_levelStart);
        readEvents(codec, facts);
    }
    // After the frags: the last one comes in the message that begins the intermission.
    const QByteArray intermission = codec.gameState().configString(kIntermission);
    if (!facts.ended && ((info.snapshot && info.intermission) || (!intermission.isEmpty() && intermission != "0"))) {
        facts.ended = true;
        if (!info.gameState) // a demo that begins in the intermission only says so
            event(FactEvent::of(FactEvent::MatchEnd), facts);
    }
    // A message's commands tell the state its snapshot shows: scores sent with a frag count it.
    for (const QByteArray &command : codec.newCommands())
        readCommand(command, facts);
}

void Q3Facts::newLevel(const Q3Codec &codec, GameFacts &facts)
{
    m_players.fill({});
    m_baseScore.fill(0);
    m_counted.fill(0);
    m_lastEvents.clear();
    facts.ended = false;
    facts.scoresFromServer = false;
    facts.clockMs = 0;
    readConfigStrings(codec, facts, false);
}

void Q3Facts::readConfigStrings(const Q3Codec &codec, GameFacts &facts, bool announce)
{
    const Q3GameState &state = codec.gameState();
    const QByteArray info = state.configString(kServerInfo);
    facts.map = cleanText(infoValue(info, "mapname"), GameFacts::kMaxText);
    m_gameType = toInt(infoValue(info, "g_gametype"));
    facts.mode = modeOf(m_gameType);
    facts.teamScores = m_gameType >= 3;
    facts.timeLimitMinutes = std::max(0, toInt(infoValue(info, "timelimit")));
    facts.fragLimit = std::max(0, toInt(infoValue(info, "fraglimit")));
    facts.captureLimit = std::max(0, toInt(infoValue(info, "capturelimit")));
    m_levelStart = toInt(state.configString(kLevelStartTime));
    if (facts.teamScores) {
        facts.redScore = toInt(state.configString(kScores1));
        facts.blueScore = toInt(state.configString(kScores2));
    }
    for (int c = 0; c < kMaxClients; ++c) {
        const QByteArray now = state.configString(kPlayers + c);
        QByteArray &was = m_players[std::size_t(c)];
        if (now == was)
            continue;
        if (announce && was.isEmpty() != now.isEmpty()) {
            m_baseScore[std::size_t(c)] = 0;
            m_counted[std::size_t(c)] = 0;
            const QByteArray name = cleanText(infoValue(now.isEmpty() ? was : now, "n"), GameFacts::kMaxName);
            event(FactEvent::of(now.isEmpty() ? FactEvent::Leave : FactEvent::Join, name), facts);
        }
        was = now;
    }
    publishPlayers(facts);
}

void Q3Facts::readCommand(const QByteArray &text, GameFacts &facts)
{
    const QList<QByteArray> words = Q3GameState::words(text);
    if (words.isEmpty())
        return;
    if (words.first() == "scores") {
        readScores(words, facts);
    } else if (words.first() == "print" && words.size() >= 2) {
        // "NAME^7 captured the BLUE flag!" (g_team.c)
        const QByteArray &line = words[1];
        const qsizetype at = line.indexOf(" captured the ");
        if (at > 0) {
            QByteArray who = line.left(at);
            if (who.endsWith("^7"))
                who.chop(2);
            event(FactEvent::of(FactEvent::Capture, cleanText(who, GameFacts::kMaxName)), facts);
        }
    }
}

void Q3Facts::readScores(const QList<QByteArray> &words, GameFacts &facts)
{
    // "scores COUNT RED BLUE" and 14 values per client (CLIENT SCORE first) in Quake 3;
    // OpenArena puts the round's start after BLUE and sends 15 per client. Another mod: the
    // width that the words give each client.
    if (words.size() < 4)
        return;
    const int count = toInt(words[1]);
    if (count <= 0 || count > kMaxClients)
        return;
    const qsizetype values = words.size() - 4;
    qsizetype first = 4;
    qsizetype width = values / count;
    if (values == 14 * count) {
        width = 14;
    } else if (values == 1 + 15 * count) {
        first = 5;
        width = 15;
    } else if (values % count != 0) {
        first = 4 + values % count;
        width = values / count;
    }
    if (width < 2)
        return;
    if (facts.teamScores) {
        facts.redScore = toInt(words[2]);
        facts.blueScore = toInt(words[3]);
    }
    for (int i = 0; i < count; ++i) {
        const qsizetype at = first + i * width;
        const int client = toInt(words[at]);
        if (client < 0 || client >= kMaxClients)
            continue;
        m_baseScore[std::size_t(client)] = toInt(words[at + 1]);
        m_counted[std::size_t(client)] = 0;
    }
    facts.scoresFromServer = true;
    publishPlayers(facts);
}

void Q3Facts::readEvents(const Q3Codec &codec, GameFacts &facts)
{
    // An event entity lives for a few snapshots: it counts once, where it first appears.
    std::vector<EventEntity> now;
    for (const q3::Entity &e : codec.newestSnapshot().entities) {
        const qint32 type = e.fields[kEntityType];
        if (type <= kEntityEvents)
            continue;
        now.push_back({e.number, type, e.fields[kEventParm], e.fields[kOtherEntity], e.fields[kOtherEntity2]});
    }
    for (const EventEntity &e : now) {
        if (std::find(m_lastEvents.begin(), m_lastEvents.end(), e) != m_lastEvents.end())
            continue;
        if (e.type - kEntityEvents == kEventObituary)
            frag(e.other, e.other2, e.parm, facts);
    }
    m_lastEvents = std::move(now);
}

void Q3Facts::frag(int target, int attacker, int means, GameFacts &facts)
{
    if (target < 0 || target >= kMaxClients)
        return; // no player: a demo that lies about its numbers loses only this
    const bool byPlayer = attacker >= 0 && attacker < kMaxClients && attacker != target;
    // The game's own rule (g_combat.c): a frag scores one, a team kill and a death by one's
    // own hand or the world's cost one.
    if (!byPlayer)
        m_counted[std::size_t(target)] -= 1;
    else if (facts.teamScores && teamOf(attacker) == teamOf(target))
        m_counted[std::size_t(attacker)] -= 1;
    else
        m_counted[std::size_t(attacker)] += 1;
    facts.scoresFromServer = false;
    const QByteArray actor = byPlayer ? nameOf(attacker) : attacker == target ? nameOf(target) : QByteArray();
    const QByteArray weapon = means >= 0 && means < int(kMeans.size())
                                  ? QByteArray(kMeans[std::size_t(means)])
                                  : "means " + QByteArray::number(means);
    event(FactEvent::of(FactEvent::Frag, actor, nameOf(target), weapon), facts);
    publishPlayers(facts);
}

void Q3Facts::event(FactEvent e, GameFacts &facts) const
{
    e.clockMs = facts.clockMs;
    e.serverTimeMs = m_serverTime;
    facts.addEvent(std::move(e));
}

QByteArray Q3Facts::nameOf(int client) const
{
    return cleanText(infoValue(m_players[std::size_t(client)], "n"), GameFacts::kMaxName);
}

int Q3Facts::teamOf(int client) const
{
    return toInt(infoValue(m_players[std::size_t(client)], "t"));
}

void Q3Facts::publishPlayers(GameFacts &facts) const
{
    facts.players.clear();
    for (int c = 0; c < kMaxClients; ++c) {
        if (m_players[std::size_t(c)].isEmpty())
            continue;
        facts.players.append({.client = c,
                              .name = nameOf(c),
                              .team = std::clamp(teamOf(c), 0, 3),
                              .score = boundedScore(qint64(m_baseScore[std::size_t(c)]) + m_counted[std::size_t(c)])});
    }
}

} // namespace arbelon::demo
