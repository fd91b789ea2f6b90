// The cluster's message parser: anything a process on the cluster's subjects publishes.
// Whatever the bytes, parsing ends with a message or a reason; a message it accepts encodes
// back to the very same bytes (nothing read loosely; a removal of the first release's form
// gains its block 0), and a demo block's record is one the
// relay would accept from a Filmer.

#include "clustermessage.h"
#include "demofeed.h"
#include "fuzzsupport.h"
#include "records.h"

using namespace arbelon;
using arbelon::fuzz::fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QString error;
    const std::optional<ClusterMessage> m = clustermsg::parse(bytes, &error);
    if (!m) {
        if (error.isEmpty())
            fail(QStringLiteral("refused without a reason"));
        return 0;
    }
    // A removal may come in the first release's form, without its last block: it reads as
    // block 0 and encodes with it.
    const QByteArray again = clustermsg::encode(*m);
    const bool firstRelease = m->type == ClusterMessage::GameRemove && m->seq == 0 && again.chopped(8) == bytes;
    if (again != bytes && !firstRelease)
        fail(QStringLiteral("accepted bytes that do not encode back: ") + clustermsg::typeName(m->type));
    if (m->type == ClusterMessage::DemoBlock) {
        if (packetSize(m->record) != quint32(m->record.size()))
            fail(QStringLiteral("demo record whose size field lies"));
        DemoFeed feed;
        feed.push(m->seq, m->record);
    }
    return 0;
}
