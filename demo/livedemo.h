#pragma once
// One demo as it arrives, read as it grows, and the live copy made from it on request: a demo
// that starts a margin behind the newest data with a rebuilt game state and full snapshot,
// then goes on with every message that arrives. The exact bytes are the caller's to keep; this
// holds only the last seconds of messages and the state at their start.

#include "democodec.h"
#include "framesplitter.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <memory>

namespace arbelon::demo {

class LiveDemo {
public:
    static constexpr qint64 kMinMarginMs = 5000;
    static constexpr qint64 kMaxMarginMs = 10000;
    // Messages held for a rebuilt start beyond this many bytes go: a stream whose game clock
    // does not advance must not fill memory.
    static constexpr qsizetype kMaxHeldBytes = 8 * 1024 * 1024;
    // Bytes waiting for their message's end beyond this are no valid demo.
    static constexpr qsizetype kMaxPendingBytes = FrameSplitter::kMaxPendingBytes;

    enum class State { Growing,
                       Ended,
                       Refused };

    explicit LiveDemo(Game game);
    ~LiveDemo();

    // The exact copy's next bytes, at nowMs on a steady clock.
    void append(QByteArrayView bytes, qint64 nowMs);

    State state() const { return m_state; }
    // Why live play is not offered, once refused.
    QString refusal() const { return m_refusal; }
    int protocol() const { return m_head ? m_head->protocol() : 0; }
    // The newest game time read, and whether the game shows its intermission there.
    qint64 newestTimeMs() const { return m_newestTime; }
    bool intermission() const { return m_intermission; }

    // How far behind the newest data a live copy starts: the longest gap between arrivals in
    // the last minute since the demo caught up, outside intermission, within 5 and 10 s.
    qint64 marginMs() const;
    // The demo has caught up with the game once its game time advances no faster than the
    // clock: over the last kPaceWindowMs at least, by no more than that plus kPaceSlackMs (the
    // engines write in 4 kB steps, seconds of play each). A backlog comes many times faster.
    static constexpr qint64 kPaceWindowMs = 8000;
    static constexpr qint64 kPaceSlackMs = 5000;
    static constexpr qint64 kGapWindowMs = 60000;
    bool caughtUp() const { return m_caughtUp; }
    // A live copy can be started (a game state and a snapshot have been read, nothing refused).
    bool liveReady() const;
    // Starts a live copy and returns its first bytes; later ones come from takeLive(). Starting
    // again begins a new copy, again a margin behind the newest data. The game takes a while to
    // start before it plays, and data arrive meanwhile: that time (startupMs) counts towards the
    // margin, so the copy starts that much nearer the newest data.
    QByteArray startLive(qint64 startupMs = 0);
    // How far behind the newest data the last copy started, in game time.
    qint64 startBehindMs() const { return m_startBehind; }
    bool liveStarted() const { return m_copy != nullptr; }
    // The live copy's bytes since the last call; its end marker once the demo ended.
    QByteArray takeLive();
    // No live copy is kept any more (another copy took its place); the demo is still read.
    void stopLive();

private:
    struct Held {
        QByteArray frame;
        qint64 timeMs;
        bool snapshot;
    };
    void refuse(const DemoError &e);
    void read(const Frame &f);
    void trailTo(qint64 timeMs);
    void copy(const Held &h);
    void takeHeld();

    std::unique_ptr<DemoCodec> m_head;  // reads every message as it arrives
    std::unique_ptr<DemoCodec> m_trail; // reads them a margin later: a live copy's start
    std::unique_ptr<DemoCodec> m_copy;  // the live copy's reader, from its start on
    FrameSplitter m_frames;
    std::deque<Held> m_held;
    qsizetype m_heldBytes = 0;
    State m_state = State::Growing;
    QString m_refusal;
    qint64 m_newestTime = 0;
    bool m_intermission = false;
    qint64 m_lastArrival = -1;
    bool m_caughtUp = false;
    struct Gap {
        qint64 at;
        qint64 length;
    };
    std::deque<Gap> m_gaps; // the last minute's, since the demo caught up
    struct Arrival {
        qint64 at;
        qint64 gameTime;
    };
    std::deque<Arrival> m_arrivals; // the last kGapWindowMs, until caught up
    void notePace(qint64 nowMs);
    QByteArray m_liveOut;
    qint64 m_startBehind = 0;
    qint64 m_trailTime = 0; // game time of the trailing reader's newest snapshot
};

} // namespace arbelon::demo
