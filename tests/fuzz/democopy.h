#pragma once
// Shared by the demo fuzz targets: the copy a rebuild starts, read as a Viewer reads it (the
// codec wrote it, so a refusal there is a fault of the writer, not of the input), and the
// relay's reading of what is on, which must stay within its bounds whatever the input.

#include "common/demoreading.h"
#include "factsreader.h"
#include "fuzzsupport.h"

#include <algorithm>
#include <cstdlib>

namespace arbelon::fuzz {

// Reads what the codec wrote; nothing of it may be refused.
template <class Codec>
class CopyReader {
public:
    // checkFrame sees each frame before it is read, as readMessages gives it.
    template <typename Check = test::AnyFrame>
    void feed(const QByteArray &bytes, Check &&checkFrame = {})
    {
        try {
            const auto read = m_stream.feed(
                bytes, [](const test::DemoMessage &) {}, std::forward<Check>(checkFrame));
            if (read == demo::Frame::End)
                fail(QStringLiteral("an end marker inside a rebuilt demo"));
        } catch (const demo::DemoError &e) {
            fail(QStringLiteral("a rebuilt demo is refused: ") + QString::fromUtf8(e.what()));
        }
    }
    const Codec &codec() const { return m_codec; }

private:
    Codec m_codec;
    test::DemoStream m_stream{m_codec};
};

// The relay's reading, in pieces as blocks bring them.
inline void readFactsWithinBounds(demo::Game game, QByteArrayView demo, qsizetype piece, qsizetype maxPlayers)
{
    demo::FactsReader reader(game);
    for (qsizetype at = 0; at < demo.size(); at += piece)
        reader.append(demo.sliced(at, std::min(piece, demo.size() - at)));
    const demo::GameFacts &facts = reader.facts();
    if (facts.events.size() > std::size_t(demo::GameFacts::kMaxEvents) || facts.players.size() > maxPlayers)
        fail(QStringLiteral("the facts outgrow their bounds"));
    const auto shown = [](const QByteArray &text, int bound) {
        return text.size() <= bound && std::none_of(text.begin(), text.end(), [](char c) { return quint8(c) < 0x20; });
    };
    if (!shown(facts.map, demo::GameFacts::kMaxText))
        fail(QStringLiteral("the map's name is out of bounds"));
    for (const demo::FactPlayer &p : facts.players) {
        if (!shown(p.name, demo::GameFacts::kMaxName) || std::abs(p.score) > demo::GameFacts::kMaxScore)
            fail(QStringLiteral("a player's name or score is out of bounds"));
    }
    for (const demo::FactEvent &e : facts.events) {
        if (!shown(e.actor, demo::GameFacts::kMaxName) || !shown(e.target, demo::GameFacts::kMaxName))
            fail(QStringLiteral("an event's name is out of bounds"));
    }
}

} // namespace arbelon::fuzz
