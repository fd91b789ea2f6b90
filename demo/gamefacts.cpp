#include "gamefacts.h"

#include <algorithm>
#include <cctype>

namespace arbelon::demo {

QByteArray gameModeName(GameMode mode)
{
    switch (mode) {
    case GameMode::FreeForAll:
        return "free for all";
    case GameMode::Tournament:
        return "tournament";
    case GameMode::Team:
        return "team";
    case GameMode::CaptureTheFlag:
        return "capture the flag";
    case GameMode::Other:
        return "other";
    case GameMode::Unknown:
        break;
    }
    return {};
}

QByteArray factEventKindName(FactEvent::Kind kind)
{
    switch (kind) {
    case FactEvent::Frag:
        return "frag";
    case FactEvent::Capture:
        return "capture";
    case FactEvent::Join:
        return "join";
    case FactEvent::Leave:
        return "leave";
    case FactEvent::MatchEnd:
        return "end";
    }
    return {};
}

FactEvent FactEvent::of(Kind kind, QByteArray actor, QByteArray target, QByteArray weapon)
{
    FactEvent e;
    e.kind = kind;
    e.actor = std::move(actor);
    e.target = std::move(target);
    e.weapon = std::move(weapon);
    return e;
}

void GameFacts::addEvent(FactEvent e)
{
    e.number = ++eventCount;
    events.push_back(std::move(e));
    while (events.size() > std::size_t(kMaxEvents))
        events.pop_front();
}

const FactPlayer *GameFacts::player(int client) const
{
    for (const FactPlayer &p : players) {
        if (p.client == client)
            return &p;
    }
    return nullptr;
}

QByteArray cleanText(QByteArrayView text, int maxBytes)
{
    QByteArray out;
    out.reserve(std::min<qsizetype>(text.size(), maxBytes));
    for (const char c : text) {
        if (out.size() >= maxBytes)
            break;
        if (quint8(c) < 0x20 || c == 0x7f)
            continue;
        out.append(c);
    }
    // A cut must not leave half a UTF-8 sequence.
    if (out.size() >= maxBytes) {
        qsizetype lead = out.size() - 1;
        while (lead > 0 && (quint8(out[lead]) & 0xc0) == 0x80)
            --lead;
        const quint8 b = quint8(out[lead]);
        const int length = b >= 0xf0 ? 4 : b >= 0xe0 ? 3 : b >= 0xc0 ? 2 : 1;
        if (out.size() - lead < length)
            out.truncate(lead);
    }
    if (out.endsWith('^'))
        out.chop(1);
    return out;
}

QByteArray infoValue(QByteArrayView info, QByteArrayView key)
{
    qsizetype at = info.startsWith('\\') ? 1 : 0;
    while (at < info.size()) {
        const qsizetype keyEnd = info.indexOf('\\', at);
        if (keyEnd < 0)
            return {};
        qsizetype valueEnd = info.indexOf('\\', keyEnd + 1);
        if (valueEnd < 0)
            valueEnd = info.size();
        if (info.sliced(at, keyEnd - at) == key)
            return info.sliced(keyEnd + 1, valueEnd - keyEnd - 1).toByteArray();
        at = valueEnd + 1;
    }
    return {};
}

bool colourCode(QByteArrayView s, qsizetype i)
{
    return s[i] == '^' && i + 1 < s.size() && std::isalnum(quint8(s[i + 1]));
}

QByteArray withoutColours(QByteArrayView name)
{
    QByteArray out;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (colourCode(name, i))
            ++i;
        else
            out.append(name[i]);
    }
    return out;
}

QList<FactPlayer> rankedPlayers(const GameFacts &facts)
{
    QList<FactPlayer> players = facts.players;
    std::stable_sort(players.begin(), players.end(), [](const FactPlayer &a, const FactPlayer &b) {
        const bool as = a.team == FactPlayer::Spectator, bs = b.team == FactPlayer::Spectator;
        return as != bs ? bs : a.score > b.score;
    });
    return players;
}

QByteArray scoreLine(const GameFacts &facts)
{
    if (facts.teamScores)
        return QByteArray::number(facts.redScore) + " : " + QByteArray::number(facts.blueScore);
    const QList<FactPlayer> players = rankedPlayers(facts);
    if (players.isEmpty() || players.first().team == FactPlayer::Spectator)
        return {};
    return withoutColours(players.first().name) + ' ' + QByteArray::number(players.first().score);
}

} // namespace arbelon::demo
