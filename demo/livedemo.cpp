#include "livedemo.h"

#include <algorithm>
#include <limits>

namespace arbelon::demo {

LiveDemo::LiveDemo(Game game) : m_head(makeCodec(game)), m_trail(makeCodec(game)) {}
LiveDemo::~LiveDemo() = default;

void LiveDemo::refuse(const DemoError &e)
{
    m_state = State::Refused;
    m_refusal = QString::fromStdString(e.what());
    m_frames.clear();
    m_held.clear();
    m_heldBytes = 0;
    m_copy.reset();
}

void LiveDemo::append(QByteArrayView bytes, qint64 nowMs)
{
    if (m_state != State::Growing || !m_head || !m_trail)
        return;
    if (m_lastArrival >= 0 && m_caughtUp) {
        // The engines write little in intermission: its pauses say nothing of play.
        if (!m_intermission)
            m_gaps.push_back({nowMs, nowMs - m_lastArrival});
        while (!m_gaps.empty() && m_gaps.front().at < nowMs - kGapWindowMs)
            m_gaps.pop_front();
    }
    m_lastArrival = nowMs;
    try {
        if (m_frames.feed(*m_head, bytes, [this](const Frame &f) { read(f); }))
            m_state = State::Ended;
        notePace(nowMs);
        if (m_state == State::Ended && m_copy)
            m_liveOut += m_copy->endMarker();
    } catch (const DemoError &e) {
        refuse(e);
    }
}

void LiveDemo::notePace(qint64 nowMs)
{
    if (m_caughtUp)
        return;
    m_arrivals.push_back({nowMs, m_newestTime});
    while (m_arrivals.size() > 1 && m_arrivals.front().at < nowMs - kGapWindowMs)
        m_arrivals.pop_front();
    for (const Arrival &a : m_arrivals) {
        const qint64 wall = nowMs - a.at;
        if (wall < kPaceWindowMs)
            break;
        if (m_newestTime - a.gameTime <= wall + kPaceSlackMs) {
            m_caughtUp = true;
            m_arrivals.clear();
            return;
        }
    }
}

void LiveDemo::read(const Frame &f)
{
    const MessageInfo info = m_head->parse(f);
    if (info.snapshot) {
        m_newestTime = info.serverTimeMs;
        m_intermission = info.intermission;
    }
    const qsizetype framing = f.size - f.payload.size();
    Held h{QByteArray(f.payload.data() - framing, f.size), info.serverTimeMs, info.snapshot};
    if (info.gameState) {
        // A new level: nothing before it can start a copy of this one; the trailing reader
        // takes what is left of the old one now.
        trailTo(std::numeric_limits<qint64>::max());
    }
    if (m_copy)
        copy(h);
    m_heldBytes += h.frame.size();
    m_held.push_back(std::move(h));
    trailTo(m_newestTime - kMaxMarginMs);
}

void LiveDemo::copy(const Held &h)
{
    const Frame f = m_copy->nextFrame(h.frame);
    m_copy->parse(f);
    m_liveOut += m_copy->liveForm(f);
}

// Lets the trailing reader take the held messages up to a game time (and those beyond the
// memory bound), stopping before the snapshot that would pass it.
void LiveDemo::trailTo(qint64 timeMs)
{
    while (!m_held.empty()) {
        const Held &h = m_held.front();
        if (h.snapshot && h.timeMs > timeMs && m_heldBytes <= kMaxHeldBytes)
            break;
        takeHeld();
    }
}

// The trailing reader takes the oldest message held.
void LiveDemo::takeHeld()
{
    const Held &h = m_held.front();
    m_trail->parse(m_trail->nextFrame(h.frame));
    if (h.snapshot)
        m_trailTime = h.timeMs;
    m_heldBytes -= h.frame.size();
    m_held.pop_front();
}

qint64 LiveDemo::marginMs() const
{
    qint64 longest = 0;
    for (const Gap &g : m_gaps)
        longest = std::max(longest, g.length);
    return std::clamp(longest, kMinMarginMs, kMaxMarginMs);
}

bool LiveDemo::liveReady() const
{
    if (m_state == State::Refused)
        return false;
    if (m_trail->canRebuild())
        return true;
    // Not yet a margin of data: the first snapshot held will do as the start.
    return std::any_of(m_held.begin(), m_held.end(), [](const Held &h) { return h.snapshot; });
}

QByteArray LiveDemo::startLive(qint64 startupMs)
{
    if (!liveReady())
        return {};
    try {
        trailTo(m_newestTime - std::max<qint64>(0, marginMs() - std::max<qint64>(0, startupMs)));
        // Less than a margin of data so far: the oldest snapshot held is the start.
        while (!m_trail->canRebuild() && !m_held.empty())
            takeHeld();
        m_copy = m_trail->clone();
        m_liveOut = m_copy->rebuild();
        m_startBehind = m_newestTime - m_trailTime;
        for (const Held &h : m_held)
            copy(h);
        if (m_state == State::Ended)
            m_liveOut += m_copy->endMarker();
        return takeLive();
    } catch (const DemoError &e) {
        refuse(e);
        return {};
    }
}

void LiveDemo::stopLive()
{
    m_copy.reset();
    m_liveOut.clear();
}

QByteArray LiveDemo::takeLive()
{
    QByteArray out;
    out.swap(m_liveOut);
    return out;
}

} // namespace arbelon::demo
