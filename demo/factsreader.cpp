#include "factsreader.h"

#include "q2codec.h"
#include "q2facts.h"
#include "q3codec.h"
#include "q3facts.h"

#include <tuple>

namespace arbelon::demo {

FactsReader::FactsReader(Game game) : m_game(game)
{
    newDemo();
}

FactsReader::~FactsReader() = default;

void FactsReader::newDemo()
{
    m_codec = makeCodec(m_game);
    m_q2 = m_game == Game::Quake2 ? std::make_unique<Q2Facts>() : nullptr;
    m_q3 = m_game == Game::Quake3 ? std::make_unique<Q3Facts>() : nullptr;
    m_pending.clear();
    m_facts = GameFacts();
    m_failure.clear();
    m_ended = false;
}

bool FactsReader::append(QByteArrayView bytes)
{
    if (m_ended || !m_failure.isEmpty())
        return false;
    m_pending += bytes;
    bool changed = false;
    qsizetype at = 0;
    try {
        while (!m_ended) {
            const Frame f = m_codec->nextFrame(QByteArrayView(m_pending).sliced(at));
            if (f.kind == Frame::Incomplete)
                break;
            at += f.size;
            if (f.kind == Frame::End)
                m_ended = true;
            else if (read(f))
                changed = true;
        }
    } catch (const DemoError &e) {
        m_failure = QString::fromUtf8(e.what());
        m_pending.clear();
        return changed;
    }
    m_pending.remove(0, at);
    if (m_pending.size() > kMaxPendingBytes) {
        m_failure = QStringLiteral("a message is longer than any demo holds");
        m_pending.clear();
    }
    return changed;
}

bool FactsReader::read(const Frame &frame)
{
    const MessageInfo info = m_codec->parse(frame);
    if (info.snapshot)
        m_facts.serverTimeMs = info.serverTimeMs;
    // The clock moves with every snapshot; a change is anything else.
    const auto key = [](const GameFacts &f) {
        return std::tuple(f.eventCount, f.players, f.map, f.mode, f.redScore, f.blueScore, f.scoresFromServer,
                          f.ended, f.timeLimitMinutes, f.fragLimit, f.captureLimit);
    };
    const auto before = key(m_facts);
    if (m_q2)
        m_q2->update(static_cast<const Q2Codec &>(*m_codec), info, m_facts);
    else
        m_q3->update(static_cast<const Q3Codec &>(*m_codec), info, m_facts);
    return before != key(m_facts);
}

} // namespace arbelon::demo
