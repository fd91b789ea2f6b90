#pragma once
// A demo's bytes as they arrive, in pieces that end anywhere, cut into its frames: what ends
// inside a frame waits for the next piece.

#include "democodec.h"

#include <QByteArray>
#include <QByteArrayView>

namespace arbelon::demo {

class FrameSplitter {
public:
    // Bytes waiting for their message's end beyond this are no valid demo.
    static constexpr qsizetype kMaxPendingBytes = 64 * 1024;

    // Adds bytes and hands each whole message they complete to read, in order; its payload
    // lives until read returns. True once the end marker came (what follows it is dropped).
    // Throws DemoError for a frame no demo holds, or for more than kMaxPendingBytes waiting.
    template <typename Read>
    bool feed(const DemoCodec &codec, QByteArrayView bytes, Read &&read)
    {
        m_pending.append(bytes.data(), bytes.size());
        qsizetype at = 0;
        for (;;) {
            const Frame f = codec.nextFrame(QByteArrayView(m_pending).sliced(at));
            if (f.kind == Frame::Incomplete)
                break;
            if (f.kind == Frame::End) {
                m_pending.clear();
                return true;
            }
            at += f.size;
            read(f);
        }
        m_pending.remove(0, at);
        if (m_pending.size() > kMaxPendingBytes)
            throw DemoError("a message is larger than any game writes");
        return false;
    }
    void clear() { m_pending.clear(); }

private:
    QByteArray m_pending;
};

} // namespace arbelon::demo
