// The web page's request parser: anything a browser or anyone else sends to the page's port.
// Whatever the bytes, it asks for more, reads one request or refuses with a status and a
// reason; a request it reads lies inside the bytes and holds no byte a header may not.

#include "fuzzsupport.h"
#include "httprequest.h"

using namespace arbelon;
using arbelon::fuzz::fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const HttpParse p = parseHttpRequest(bytes, 2048, 4096);
    switch (p.state) {
    case HttpParse::NeedMore:
        if (bytes.size() > 2048 + 4096 + 8 && !bytes.contains(QByteArrayView("\r\n\r\n")))
            fail(QStringLiteral("asks for more past every bound"));
        break;
    case HttpParse::Bad:
        if (p.status < 400 || p.status > 505 || p.why.isEmpty())
            fail(QStringLiteral("refused without a status or a reason"));
        break;
    case HttpParse::Ready:
        if (p.consumed <= 0 || p.consumed > bytes.size())
            fail(QStringLiteral("a request outside the bytes"));
        if (!p.request.path.startsWith('/') || p.request.path.contains(' '))
            fail(QStringLiteral("a path that is no path"));
        for (const auto &[name, value] : p.request.headers) {
            if (name.contains(':') || value.contains('\r') || value.contains('\n'))
                fail(QStringLiteral("a header that smuggles a line"));
        }
        break;
    }
    return 0;
}
