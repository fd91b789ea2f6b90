#pragma once
// Shared by the demo fuzz targets: the copy a rebuild starts, read as a Viewer reads it. The
// codec wrote it, so a refusal there is a fault of the writer, not of the input.

#include "common/demoreading.h"
#include "fuzzsupport.h"

namespace arbelon::fuzz {

// Reads what the codec wrote; nothing of it may be refused.
template <class Codec>
class CopyReader {
public:
    // checkFrame sees each frame before it is read, as readMessages gives it.
    template <typename Check = test::AnyFrame>
    void feed(const QByteArray &bytes, Check &&checkFrame = {})
    {
        try {
            const auto read = m_stream.feed(
                bytes, [](const test::DemoMessage &) {}, std::forward<Check>(checkFrame));
            if (read == demo::Frame::End)
                fail(QStringLiteral("an end marker inside a rebuilt demo"));
        } catch (const demo::DemoError &e) {
            fail(QStringLiteral("a rebuilt demo is refused: ") + QString::fromUtf8(e.what()));
        }
    }
    const Codec &codec() const { return m_codec; }

private:
    Codec m_codec;
    test::DemoStream m_stream{m_codec};
};

} // namespace arbelon::fuzz
