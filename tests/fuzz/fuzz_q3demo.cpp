// The Quake 3 demo codec: a demo file comes from whoever recorded it, and a Viewer or the relay
// reads it message by message and rebuilds a start from any snapshot. Any bytes must be read or
// refused with a DemoError, never crash, hang or grow without bound; and what a rebuilt start
// and the live forms after it give must read back as a demo (the codec wrote it, so a refusal
// there is a fault of the writer, not of the input). What the relay reads of what is on stays
// within its bounds whatever the demo says.
//
// Input: two bytes of settings, then the demo file.
//   byte 0: the message (counted from 1) at which the first rebuild happens; 0 never rebuilds
//   byte 1: after the first, a rebuild again every that many messages (0: only once)

#include "democopy.h"
#include "factsreader.h"
#include "q3codec.h"

using namespace arbelon::demo;
using arbelon::fuzz::CopyReader;
using arbelon::fuzz::fail;
using arbelon::fuzz::InputStream;
using arbelon::test::DemoMessage;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    InputStream in(data, size);
    const int first = in.byte();
    const int every = in.byte();
    const QByteArrayView demo = in.take(in.remaining());

    Q3Codec codec;
    std::unique_ptr<CopyReader<Q3Codec>> copy;
    int message = 0;
    const auto withinBytes = [](const Frame &f, QByteArrayView rest) {
        if (f.size <= 0 || f.size > rest.size())
            fail(QStringLiteral("a frame's size lies outside the bytes given"));
    };
    try {
        arbelon::test::readMessages(
            codec, demo, [&](const DemoMessage &m) {
                ++message;
                if (copy) {
                    copy->feed(codec.liveForm(m.frame));
                    if (copy->codec().protocol() != codec.protocol())
                        fail(QStringLiteral("the copy names another protocol"));
                }
                const bool due = first && (message == first || (copy && every && (message - first) % every == 0));
                if (due && codec.canRebuild()) {
                    // A fresh copy, as a Viewer joining now gets one.
                    QByteArray start;
                    try {
                        start = codec.rebuild();
                    } catch (const DemoError &) {
                        // Too large to rebuild within one message: refused, and no copy goes on.
                        copy.reset();
                        return;
                    }
                    copy = std::make_unique<CopyReader<Q3Codec>>();
                    copy->feed(start);
                    if (!copy->codec().canRebuild())
                        fail(QStringLiteral("a rebuilt start holds no game state and snapshot"));
                }
            },
            withinBytes);
    } catch (const DemoError &) {
    }
    if (codec.endMarker().size() != 8)
        fail(QStringLiteral("the end marker is not one frame header"));

    arbelon::fuzz::readFactsWithinBounds(Game::Quake3, demo, 1 + first * 64, 64);
    return 0;
}
