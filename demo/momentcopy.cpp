#include "momentcopy.h"

namespace arbelon::demo {

MomentCopy::MomentCopy(Game game, qint64 fromMs) : m_codec(makeCodec(game)), m_fromMs(fromMs) {}
MomentCopy::~MomentCopy() = default;

void MomentCopy::append(QByteArrayView bytes)
{
    if (m_state == State::Ended || m_state == State::Refused)
        return;
    try {
        if (m_frames.feed(*m_codec, bytes, [this](const Frame &f) { read(f); })) {
            m_state = State::Ended;
            if (started())
                m_out += m_codec->endMarker();
        }
    } catch (const DemoError &e) {
        m_state = State::Refused;
        m_refusal = QString::fromStdString(e.what());
        m_frames.clear();
    }
}

void MomentCopy::read(const Frame &f)
{
    const MessageInfo info = m_codec->parse(f);
    if (info.snapshot)
        m_newestMs = info.serverTimeMs;
    if (started()) {
        m_out += m_codec->liveForm(f);
    } else if (info.snapshot && info.serverTimeMs >= m_fromMs && m_codec->canRebuild()) {
        m_out = m_codec->rebuild();
        m_startMs = info.serverTimeMs;
        m_state = State::Copying;
    }
}

QByteArray MomentCopy::take()
{
    QByteArray out;
    out.swap(m_out);
    return out;
}

} // namespace arbelon::demo
