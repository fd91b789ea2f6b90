// The Quake 2 demo codec: a demo file comes from whoever recorded it, and a Viewer or the relay
// reads it message by message and rebuilds a start from any frame. Any bytes must be read or
// refused with a DemoError, never crash, hang or grow without bound; what a rebuilt start and
// the live forms after it give must read back as a demo the engine takes (messages within its
// bound), holding the same frames as the original from the rebuilt one on.
//
// Input: two bytes of settings, then the demo file.
//   byte 0: the message (counted from 1) at which the first rebuild happens; 0 never rebuilds
//   byte 1: after the first, a rebuild again every that many messages (0: only once)

#include "democodec.h"
#include "fuzzsupport.h"
#include "q2codec.h"

using namespace arbelon::demo;
using arbelon::fuzz::fail;
using arbelon::fuzz::InputStream;

namespace {

// Reads what the codec wrote; nothing of it may be refused.
class CopyReader {
public:
    void feed(const QByteArray &bytes, bool rebuilt)
    {
        m_bytes += bytes;
        try {
            for (;;) {
                const Frame f = m_codec.nextFrame(QByteArrayView(m_bytes).sliced(m_at));
                if (f.kind == Frame::Incomplete)
                    return;
                if (f.kind == Frame::End)
                    fail(QStringLiteral("an end marker inside a rebuilt demo"));
                if (rebuilt && f.payload.size() > q2::kMaxMsgLen)
                    fail(QStringLiteral("a rebuilt message is longer than the engine reads"));
                m_codec.parse(f);
                m_at += f.size;
            }
        } catch (const DemoError &e) {
            fail(QStringLiteral("a rebuilt demo is refused: ") + QString::fromUtf8(e.what()));
        }
    }
    const Q2Codec &codec() const { return m_codec; }

private:
    Q2Codec m_codec;
    QByteArray m_bytes;
    qsizetype m_at = 0;
};

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
    std::unique_ptr<CopyReader> copy;
    qsizetype at = 0;
    int message = 0;
    try {
        for (;;) {
            const Frame f = codec.nextFrame(demo.sliced(at));
            if (f.kind != Frame::Message)
                break;
            if (f.size < 4 || f.size > demo.size() - at)
                fail(QStringLiteral("a frame's size lies outside the bytes given"));
            const MessageInfo info = codec.parse(f);
            at += f.size;
            ++message;
            if (copy) {
                copy->feed(codec.liveForm(f), false);
                if (info.snapshot)
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
                    continue;
                }
                copy = std::make_unique<CopyReader>();
                copy->feed(start, true);
                if (!copy->codec().canRebuild())
                    fail(QStringLiteral("a rebuilt start holds no server data and frame"));
                compareNewest(codec, copy->codec());
                for (int i = 0; i < q2::kMaxConfigStrings; ++i) {
                    if (copy->codec().configString(i) != codec.configString(i))
                        fail(QStringLiteral("a rebuilt start has another configstring %1").arg(i));
                }
            }
        }
    } catch (const DemoError &) {
    }
    if (codec.endMarker() != QByteArray(4, '\xff'))
        fail(QStringLiteral("the end marker is not a length of -1"));
    return 0;
}
