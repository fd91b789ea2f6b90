#pragma once
// One game's demos read for what is on, as their bytes pass: each demo from its start (a new
// demo begins anew), message by message. A demo that cannot be read loses its facts from
// there, with the reason; nothing here ever throws or holds more than a message's bytes.

#include "democodec.h"
#include "gamefacts.h"

#include <QString>

#include <memory>

namespace arbelon::demo {

class Q2Facts;
class Q3Facts;

class FactsReader {
public:
    // Bytes waiting for their message's end beyond this are no valid demo.
    static constexpr qsizetype kMaxPendingBytes = 64 * 1024;

    explicit FactsReader(Game game);
    ~FactsReader();

    // The next demo begins: its facts start afresh, event numbers too.
    void newDemo();
    // The demo's next bytes. True when the facts changed beyond the clock.
    bool append(QByteArrayView bytes);

    const GameFacts &facts() const { return m_facts; }
    // Why this demo's facts stopped, once they did.
    QString failure() const { return m_failure; }
    Game game() const { return m_game; }

private:
    bool read(const Frame &frame);

    const Game m_game;
    std::unique_ptr<DemoCodec> m_codec;
    std::unique_ptr<Q2Facts> m_q2;
    std::unique_ptr<Q3Facts> m_q3;
    QByteArray m_pending;
    GameFacts m_facts;
    QString m_failure;
    bool m_ended = false;
};

} // namespace arbelon::demo
