#pragma once
// A demo copied from a moment of its own game time on: read from its start as its bytes come,
// it begins at the first snapshot at or after that time with a rebuilt game state and full
// snapshot, then goes on with every later message in the form the copy takes, and ends when
// the demo does. Holds the codec's state and the bytes not yet taken, never the demo.

#include "democodec.h"
#include "framesplitter.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

namespace arbelon::demo {

class MomentCopy {
public:
    static constexpr qsizetype kMaxPendingBytes = FrameSplitter::kMaxPendingBytes;

    enum class State { Seeking, // no snapshot at or after the moment yet
                       Copying,
                       Ended, // the demo's end marker came (the copy may never have begun)
                       Refused };

    MomentCopy(Game game, qint64 fromMs);
    ~MomentCopy();

    // The demo's next bytes, from its first on, in pieces of any size.
    void append(QByteArrayView bytes);

    State state() const { return m_state; }
    bool started() const { return m_startMs.has_value(); }
    // Why the demo could not be read, once refused.
    QString refusal() const { return m_refusal; }
    qint64 fromMs() const { return m_fromMs; }
    // The game time of the copy's first snapshot, once started.
    qint64 startMs() const { return m_startMs.value_or(0); }
    // The newest game time read (0 before any snapshot).
    qint64 newestTimeMs() const { return m_newestMs; }
    // The copy's bytes since the last call: its start, later messages, its end marker.
    QByteArray take();

private:
    void read(const Frame &f);

    std::unique_ptr<DemoCodec> m_codec;
    FrameSplitter m_frames;
    const qint64 m_fromMs;
    std::optional<qint64> m_startMs;
    qint64 m_newestMs = 0;
    State m_state = State::Seeking;
    QString m_refusal;
    QByteArray m_out;
};

} // namespace arbelon::demo
