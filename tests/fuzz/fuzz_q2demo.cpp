// The Quake 2 demo codec: a demo file comes from whoever recorded it, and a Viewer or the relay
// reads it message by message and rebuilds a start from any frame. Any bytes must be read or
// refused with a DemoError, never crash, hang or grow without bound; what a rebuilt start and
// the live forms after it give must read back as a demo the engine takes (messages within its
// bound), holding the same frames as the original from the rebuilt one on. What the relay reads
// of what is on stays within its bounds whatever the demo says.
//
// Input: two bytes of settings, then the demo file.
//   byte 0: the message (counted from 1) at which the first rebuild happens; 0 never rebuilds
//   byte 1: after the first, a rebuild again every that many messages (0: only once)

#include "democopy.h"
#include "factsreader.h"
#include "q2codec.h"

using namespace arbelon::demo;
using arbelon::fuzz::CopyReader;
using arbelon::fuzz::fail;
using arbelon::fuzz::InputStream;
using arbelon::test::DemoMessage;

namespace {

void compareNewest(const Q2Codec &original, const Q2Codec &copy)
{
    if (original.newestFrame() != copy.newestFrame())
        fail(QStringLiteral("the copy's newest frame is another"));
    if (!original.newestFrame())
        return;
    const Q2Codec::FrameState *a = original.heldFrame(*original.newestFrame());
    const Q2Codec::FrameState *b = copy.heldFrame(*copy.newestFrame());
    if (!a || !b || a->player != b->player || a->entities != b->entities || a->areaBits != b->areaBits)
        fail(QStringLiteral("the copy holds another frame than the original"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    InputStream in(data, size);
    const int first = in.byte();
    const int every = in.byte();
    const QByteArrayView demo = in.take(in.remaining());

    Q2Codec codec;
    std::unique_ptr<CopyReader<Q2Codec>> copy;
    int message = 0;
    const auto withinBytes = [](const Frame &f, QByteArrayView rest) {
        if (f.size < 4 || f.size > rest.size())
            fail(QStringLiteral("a frame's size lies outside the bytes given"));
    };
    const auto withinEngineBound = [](const Frame &f, QByteArrayView) {
        if (f.payload.size() > q2::kMaxMsgLen)
            fail(QStringLiteral("a rebuilt message is longer than the engine reads"));
    };
    try {
        arbelon::test::readMessages(
            codec, demo, [&](const DemoMessage &m) {
                ++message;
                if (copy) {
                    copy->feed(codec.liveForm(m.frame));
                    if (m.info.snapshot)
                        compareNewest(codec, copy->codec());
                }
                const bool due = first && (message == first || (copy && every && (message - first) % every == 0));
                if (due && codec.canRebuild()) {
                    // A fresh copy, as a Viewer joining now gets one.
                    QByteArray start;
                    try {
                        start = codec.rebuild();
                    } catch (const DemoError &) {
                        // The frame in full is too large for one message: no copy goes on.
                        copy.reset();
                        return;
                    }
                    copy = std::make_unique<CopyReader<Q2Codec>>();
                    copy->feed(start, withinEngineBound);
                    if (!copy->codec().canRebuild())
                        fail(QStringLiteral("a rebuilt start holds no server data and frame"));
                    compareNewest(codec, copy->codec());
                    for (int i = 0; i < q2::kMaxConfigStrings; ++i) {
                        if (copy->codec().configString(i) != codec.configString(i))
                            fail(QStringLiteral("a rebuilt start has another configstring %1").arg(i));
                    }
                }
            },
            withinBytes);
    } catch (const DemoError &) {
    }
    if (codec.endMarker() != QByteArray(4, '\xff'))
        fail(QStringLiteral("the end marker is not a length of -1"));

    arbelon::fuzz::readFactsWithinBounds(Game::Quake2, demo, 1 + first * 64, 256);
    return 0;
}
