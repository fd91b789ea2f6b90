#pragma once
// A demo read message by message through its codec, as the suites and fuzz targets read the
// demos they make, rebuild and check: from the start to the first frame that is no whole
// message, or as its bytes arrive.

#include "democodec.h"

#include <QByteArray>
#include <QByteArrayView>

#include <type_traits>
#include <utility>

namespace arbelon::test {

// One message read.
struct DemoMessage {
    demo::Frame frame;      // as framed
    demo::MessageInfo info; // what parse() told of it
    QByteArrayView bytes;   // the frame in the demo, framing included
};

// Sees each frame before it is parsed, with the bytes from it on: nothing by default.
struct AnyFrame {
    void operator()(const demo::Frame &, QByteArrayView) const {}
};

// Reads a demo from its start through codec, handing each message once parsed to visit, which may
// return false to stop there. Returns the kind of the frame it stopped at: End at the end
// marker, Incomplete where the bytes end inside a frame, Message where visit stopped. A
// DemoError goes to the caller. checkFrame sees each frame before the codec parses it.
template <typename Visit, typename Check = AnyFrame>
demo::Frame::Kind readMessages(demo::DemoCodec &codec, QByteArrayView bytes, Visit &&visit,
                               Check &&checkFrame = {})
{
    qsizetype at = 0;
    for (;;) {
        const QByteArrayView rest = bytes.sliced(at);
        const demo::Frame f = codec.nextFrame(rest);
        if (f.kind != demo::Frame::Message)
            return f.kind;
        checkFrame(f, rest);
        const DemoMessage m{f, codec.parse(f), rest.first(f.size)};
        at += f.size;
        if constexpr (std::is_void_v<std::invoke_result_t<Visit &, const DemoMessage &>>) {
            visit(m);
        } else {
            if (!visit(m))
                return demo::Frame::Message;
        }
    }
}

// Reads every message of a demo through codec, to its end.
inline demo::Frame::Kind readMessages(demo::DemoCodec &codec, QByteArrayView bytes)
{
    return readMessages(codec, bytes, [](const DemoMessage &) {});
}

// A demo read up to its snapshot snapshotIndex (counted from 0), rebuilt there, the rest in
// the form the copy takes, and ended with the end marker, as a Viewer joining there gets it.
inline QByteArray rebuiltAt(demo::Game game, QByteArrayView bytes, int snapshotIndex)
{
    const auto codec = demo::makeCodec(game);
    QByteArray copy;
    int snapshots = 0;
    readMessages(*codec, bytes, [&](const DemoMessage &m) {
        if (!copy.isEmpty())
            copy += codec->liveForm(m.frame);
        else if (m.info.snapshot && snapshots++ == snapshotIndex)
            copy = codec->rebuild();
    });
    return copy + codec->endMarker();
}

// A demo that arrives in pieces: each message read once it is whole.
class DemoStream {
public:
    explicit DemoStream(demo::DemoCodec &codec) : m_codec(codec) {}

    // Adds bytes and reads the messages they complete, as readMessages does; the next call
    // goes on from the first frame not read.
    template <typename Visit, typename Check = AnyFrame>
    demo::Frame::Kind feed(QByteArrayView bytes, Visit &&visit, Check &&checkFrame = {})
    {
        m_bytes += bytes;
        return readMessages(
            m_codec, QByteArrayView(m_bytes).sliced(m_at), [&](const DemoMessage &m) {
                m_at += m.frame.size;
                return visit(m);
            },
            std::forward<Check>(checkFrame));
    }

private:
    demo::DemoCodec &m_codec;
    QByteArray m_bytes;
    qsizetype m_at = 0;
};

} // namespace arbelon::test
