#include "q2facts.h"

#include "q2codec.h"

#include <algorithm>
#include <bitset>
#include <string_view>

namespace arbelon::demo {

namespace {

// Configstring places and stats (game/q_shared.h; ctf/g_ctf.h for the team totals).
constexpr int kCsMapModel = 33; // CS_MODELS + 1: "maps/NAME.bsp"
constexpr int kCsPlayerSkins = 1312;
constexpr int kStatFrags = 14;
constexpr int kStatRedCaptures = 18;
constexpr int kStatBlueCaptures = 20;
constexpr int kPrintMedium = 1; // death messages
constexpr int kPrintHigh = 2;

// Deaths by one's own hand or the world: "NAME MESSAGE.\n" (game/p_client.c ClientObituary).
struct Death {
    std::string_view message;
    std::string_view weapon;
    bool ownHand;
};
constexpr std::array<Death, 23> kDeaths = {{
    {"suicides", "suicide", true},
    {"killed himself", "suicide", true},
    {"killed herself", "suicide", true},
    {"killed itself", "suicide", true},
    {"tried to put the pin back in", "held grenade", true},
    {"tripped on his own grenade", "grenade splash", true},
    {"tripped on her own grenade", "grenade splash", true},
    {"tripped on its own grenade", "grenade splash", true},
    {"blew himself up", "rocket splash", true},
    {"blew herself up", "rocket splash", true},
    {"blew itself up", "rocket splash", true},
    {"should have used a smaller gun", "bfg blast", true},
    {"cratered", "falling", false},
    {"was squished", "crush", false},
    {"sank like a rock", "water", false},
    {"melted", "slime", false},
    {"does a back flip into the lava", "lava", false},
    {"blew up", "explosive", false},
    {"found a way out", "exit", false},
    {"saw the light", "target laser", false},
    {"got blasted", "target blaster", false},
    {"was in the wrong place", "trigger hurt", false},
    {"died", "unknown", false},
}};

// Frags: "TARGET MESSAGE ATTACKER" and the suffix, then "\n".
struct Kill {
    std::string_view message;
    std::string_view suffix;
    std::string_view weapon;
};
constexpr std::array<Kill, 18> kKills = {{
    {"was blasted by", "", "blaster"},
    {"was gunned down by", "", "shotgun"},
    {"was blown away by", "'s super shotgun", "super shotgun"},
    {"was machinegunned by", "", "machinegun"},
    {"was cut in half by", "'s chaingun", "chaingun"},
    {"was popped by", "'s grenade", "grenade"},
    {"was shredded by", "'s shrapnel", "grenade splash"},
    {"ate", "'s rocket", "rocket"},
    {"almost dodged", "'s rocket", "rocket splash"},
    {"was melted by", "'s hyperblaster", "hyperblaster"},
    {"was railed by", "", "railgun"},
    {"saw the pretty lights from", "'s BFG", "bfg laser"},
    {"was disintegrated by", "'s BFG blast", "bfg blast"},
    {"couldn't hide from", "'s BFG", "bfg effect"},
    {"caught", "'s handgrenade", "hand grenade"},
    {"didn't see", "'s handgrenade", "hand grenade splash"},
    {"feels", "'s pain", "held grenade"},
    {"tried to invade", "'s personal space", "telefrag"},
}};

QByteArrayView view(std::string_view s)
{
    return QByteArrayView(s.data(), qsizetype(s.size()));
}

qint32 boundedScore(qint64 v)
{
    return qint32(std::clamp<qint64>(v, -GameFacts::kMaxScore, GameFacts::kMaxScore));
}

int toInt(QByteArrayView text)
{
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    return ok ? boundedScore(v) : 0;
}

// The words of a statusbar or layout program as the client reads them (qcommon COM_Parse):
// a quoted text is one word.
std::vector<QByteArrayView> words(QByteArrayView text)
{
    std::vector<QByteArrayView> out;
    qsizetype at = 0;
    while (at < text.size()) {
        if (quint8(text[at]) <= ' ') {
            ++at;
            continue;
        }
        const bool quoted = text[at] == '"';
        const qsizetype from = quoted ? at + 1 : at;
        qsizetype end = from;
        while (end < text.size() && (quoted ? text[end] != '"' : quint8(text[end]) > ' '))
            ++end;
        out.push_back(text.sliced(from, end - from));
        at = end + 1;
    }
    return out;
}

// The stats a statusbar program shows as numbers: "num WIDTH STAT" (client/cl_scrn.c).
std::bitset<q2::kMaxStats> numbersShown(QByteArrayView program)
{
    std::bitset<q2::kMaxStats> shown;
    const std::vector<QByteArrayView> w = words(program);
    for (std::size_t i = 0; i + 2 < w.size(); ++i) {
        if (w[i] != "num")
            continue;
        const int stat = toInt(w[i + 2]);
        if (stat >= 0 && stat < q2::kMaxStats)
            shown.set(std::size_t(stat));
    }
    return shown;
}

QByteArrayView nameIn(QByteArrayView playerString)
{
    const qsizetype end = playerString.indexOf('\\');
    return end < 0 ? playerString : playerString.first(end);
}

} // namespace

void Q2Facts::update(const Q2Codec &codec, const MessageInfo &info, GameFacts &facts)
{
    if (info.gameState)
        newLevel(codec, facts);
    // The server's texts come before the frame in its message: they happened by its time.
    if (info.snapshot) {
        m_serverTime = info.serverTimeMs;
        if (m_firstServerTime < 0)
            m_firstServerTime = m_serverTime;
        facts.lengthMs = m_lengthBefore + std::max<qint64>(0, m_serverTime - m_firstServerTime);
        // The server counts its frames from the level's start, ten a second (server/sv_main.c).
        facts.clockMs = std::max<qint64>(0, m_serverTime);
    }
    for (const Q2Codec::ServerText &t : codec.newTexts()) {
        if (t.command == q2::SvcConfigString)
            readConfigString(codec, t.value, facts);
        else if (t.command == q2::SvcPrint)
            readPrint(t.value, t.text, facts);
        else if (t.command == q2::SvcLayout)
            readLayout(t.text, facts);
    }
    if (info.snapshot) {
        ++m_levelFrames;
        readStats(codec, facts);
    }
    // After the frags: the last one may come with the intermission's frame.
    if (!facts.ended && info.snapshot && info.intermission) {
        facts.ended = true;
        if (m_levelFrames > 1) // a demo that begins in the intermission only says so
            event(FactEvent::of(FactEvent::MatchEnd), facts);
    }
    publishPlayers(facts);
}

void Q2Facts::newLevel(const Q2Codec &codec, GameFacts &facts)
{
    m_players.fill({});
    m_baseScore.fill(0);
    m_counted.fill(0);
    m_namesStale = true;
    m_playerNum = codec.playerNum();
    m_statsOwner = -1;
    m_levelFrames = 0;
    m_lengthBefore = facts.lengthMs;
    m_firstServerTime = -1;
    facts.ended = false;
    facts.scoresFromServer = false;
    facts.clockMs = 0;
    facts.redScore = 0;
    facts.blueScore = 0;
    facts.map.clear();
    readMode(codec, facts);
}

void Q2Facts::readConfigString(const Q2Codec &codec, int index, GameFacts &facts)
{
    if (index >= q2::kCsStatusBar && index < q2::kCsAirAccel) {
        readMode(codec, facts);
    } else if (index == kCsMapModel) {
        QByteArray map = codec.configString(index);
        if (map.startsWith("maps/") && map.endsWith(".bsp"))
            map = map.sliced(5, map.size() - 9);
        facts.map = cleanText(map, GameFacts::kMaxText);
    } else if (index >= kCsPlayerSkins && index < kCsPlayerSkins + kMaxClients) {
        const int client = index - kCsPlayerSkins;
        const QByteArray now = codec.configString(index);
        QByteArray &was = m_players[std::size_t(client)];
        if (now == was)
            return;
        // The configstrings before the level's first frame are the game as the demo found it.
        if (m_levelFrames > 0 && was.isEmpty() != now.isEmpty()) {
            m_baseScore[std::size_t(client)] = 0;
            m_counted[std::size_t(client)] = 0;
            const QByteArray name = cleanText(nameIn(now.isEmpty() ? was : now), GameFacts::kMaxName);
            event(FactEvent::of(now.isEmpty() ? FactEvent::Leave : FactEvent::Join, name), facts);
        }
        was = now;
        m_namesStale = true;
    }
}

void Q2Facts::readMode(const Q2Codec &codec, GameFacts &facts)
{
    // The game sets the statusbar by the game it runs (game/g_spawn.c SP_worldspawn): only a
    // deathmatch one shows the frags, and only the capture-the-flag mod's the two teams'
    // captures. dmflags' teams by skin or model are in no configstring.
    const std::bitset<q2::kMaxStats> shown = numbersShown(codec.configString(q2::kCsStatusBar));
    m_deathmatch = shown.test(kStatFrags);
    m_ctf = m_deathmatch && shown.test(kStatRedCaptures) && shown.test(kStatBlueCaptures);
    facts.mode = m_ctf ? GameMode::CaptureTheFlag : m_deathmatch ? GameMode::FreeForAll
                                                                 : GameMode::Unknown;
    facts.teamScores = m_ctf;
}

void Q2Facts::readPrint(int level, QByteArrayView text, GameFacts &facts)
{
    if (text.endsWith('\n'))
        text.chop(1);
    if (level == kPrintMedium)
        readObituary(text, facts);
    else if (level == kPrintHigh && m_ctf)
        readCapture(text, facts);
}

void Q2Facts::readObituary(QByteArrayView text, GameFacts &facts)
{
    // Names may hold spaces and the messages' words: each known name that the text begins
    // with, the longest first, until the rest is one of the game's messages. At most one name
    // of each length, each looked up once: a long text costs no more than a short one.
    indexNames();
    for (const qsizetype length : m_nameLengths) {
        if (text.size() <= length || text[length] != ' ')
            continue;
        const int target = clientNamed(text.first(length));
        if (target < 0)
            continue;
        const QByteArrayView rest = text.sliced(length + 1);
        for (const Death &d : kDeaths) {
            if (rest.size() == qsizetype(d.message.size()) + 1 && rest.startsWith(view(d.message)) && rest.endsWith('.')) {
                frag(target, d.ownHand ? target : -1, view(d.weapon), facts);
                return;
            }
        }
        for (const Kill &k : kKills) {
            const qsizetype from = qsizetype(k.message.size()) + 1;
            const qsizetype attackerLength = rest.size() - from - qsizetype(k.suffix.size());
            if (attackerLength <= 0 || !rest.startsWith(view(k.message)) || rest[from - 1] != ' '
                || !rest.endsWith(view(k.suffix)))
                continue;
            const int attacker = clientNamed(rest.sliced(from, attackerLength));
            if (attacker >= 0) {
                frag(target, attacker, view(k.weapon), facts);
                return;
            }
        }
    }
}

void Q2Facts::readCapture(QByteArrayView text, GameFacts &facts)
{
    // "NAME captured the RED flag!" (ctf/g_ctf.c CTFPickup_Flag).
    static constexpr QByteArrayView kCaptured = " captured the ";
    if (!text.endsWith(" flag!"))
        return;
    indexNames();
    for (const qsizetype length : m_nameLengths) {
        if (text.size() > length && text.sliced(length).startsWith(kCaptured)) {
            const int client = clientNamed(text.first(length));
            if (client >= 0) {
                event(FactEvent::of(FactEvent::Capture, nameOf(client)), facts);
                return;
            }
        }
    }
}

void Q2Facts::readLayout(QByteArrayView layout, GameFacts &facts)
{
    // The scoreboard: "client X Y CLIENT SCORE PING TIME" a player (game/p_hud.c), "ctf X Y
    // CLIENT SCORE PING" in the capture-the-flag mod. Other layouts (the help computer, the
    // inventory) hold neither.
    const std::vector<QByteArrayView> w = words(layout);
    bool scoreboard = false;
    for (std::size_t i = 0; i < w.size(); ++i) {
        const std::size_t values = w[i] == "client" ? 6 : w[i] == "ctf" ? 5
                                                                        : 0;
        if (values == 0 || i + values >= w.size())
            continue;
        scoreboard = true;
        const int client = toInt(w[i + 3]);
        if (client >= 0 && client < kMaxClients) {
            m_baseScore[std::size_t(client)] = toInt(w[i + 4]);
            m_counted[std::size_t(client)] = 0;
        }
        i += values;
    }
    if (scoreboard)
        facts.scoresFromServer = true;
}

void Q2Facts::readStats(const Q2Codec &codec, GameFacts &facts)
{
    const std::optional<qint32> newest = codec.newestFrame();
    const Q2Codec::FrameState *frame = newest ? codec.heldFrame(*newest) : nullptr;
    if (!frame)
        return;
    const auto &stats = frame->player.stats;
    // A spectator chasing a player sees that player's stats, and whom in STAT_CHASE.
    const int chase = stats[q2::kStatChase];
    m_statsOwner = chase == 0 ? m_playerNum : chase - kCsPlayerSkins;
    if (m_statsOwner >= 0 && m_statsOwner < kMaxClients) {
        m_baseScore[std::size_t(m_statsOwner)] = stats[kStatFrags];
        m_counted[std::size_t(m_statsOwner)] = 0;
    } else {
        m_statsOwner = -1;
    }
    if (m_ctf) {
        facts.redScore = stats[kStatRedCaptures];
        facts.blueScore = stats[kStatBlueCaptures];
    }
}

void Q2Facts::frag(int target, int attacker, QByteArrayView weapon, GameFacts &facts)
{
    const bool byPlayer = attacker >= 0 && attacker != target;
    // The game's own rule (game/p_client.c ClientObituary): a frag scores one, a death by
    // one's own hand or the world costs one; in deathmatch only.
    if (m_deathmatch) {
        const int scorer = byPlayer ? attacker : target;
        qint32 &counted = m_counted[std::size_t(scorer)];
        counted = boundedScore(qint64(counted) + (byPlayer ? 1 : -1));
        // The stats' owner's score comes with the next frame from the server itself.
        if (scorer != m_statsOwner)
            facts.scoresFromServer = false;
    }
    event(FactEvent::of(FactEvent::Frag, attacker >= 0 ? nameOf(attacker) : QByteArray(), nameOf(target),
                        weapon.toByteArray()),
          facts);
}

void Q2Facts::event(FactEvent e, GameFacts &facts) const
{
    e.clockMs = facts.clockMs;
    e.serverTimeMs = m_serverTime;
    facts.addEvent(std::move(e));
}

void Q2Facts::indexNames()
{
    if (!m_namesStale)
        return;
    m_clientOf.clear();
    m_nameLengths.clear();
    for (int c = kMaxClients - 1; c >= 0; --c) {
        const QByteArrayView n = nameIn(m_players[std::size_t(c)]);
        if (n.isEmpty())
            continue;
        m_clientOf.insert(n.toByteArray(), c);
        m_nameLengths.push_back(n.size());
    }
    std::sort(m_nameLengths.begin(), m_nameLengths.end(), std::greater<>());
    m_nameLengths.erase(std::unique(m_nameLengths.begin(), m_nameLengths.end()), m_nameLengths.end());
    m_namesStale = false;
}

int Q2Facts::clientNamed(QByteArrayView name) const
{
    return m_clientOf.value(name.toByteArray(), -1);
}

QByteArray Q2Facts::nameOf(int client) const
{
    return cleanText(nameIn(m_players[std::size_t(client)]), GameFacts::kMaxName);
}

int Q2Facts::teamOf(int client) const
{
    // The capture-the-flag mod gives each team its skin (ctf/g_ctf.c CTFAssignSkin).
    const QByteArrayView player = m_players[std::size_t(client)];
    if (m_ctf && player.endsWith("/ctf_r"))
        return FactPlayer::Red;
    if (m_ctf && player.endsWith("/ctf_b"))
        return FactPlayer::Blue;
    return FactPlayer::Free;
}

void Q2Facts::publishPlayers(GameFacts &facts) const
{
    facts.players.clear();
    for (int c = 0; c < kMaxClients; ++c) {
        if (m_players[std::size_t(c)].isEmpty())
            continue;
        facts.players.append({.client = c,
                              .name = nameOf(c),
                              .team = teamOf(c),
                              .score = boundedScore(qint64(m_baseScore[std::size_t(c)]) + m_counted[std::size_t(c)])});
    }
}

} // namespace arbelon::demo
