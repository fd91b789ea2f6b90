// The settings file reader's speed: the input is a prologue and a unit (split at the first
// byte 0x01); the unit, with each "#" replaced by its running number, is repeated until the
// file reaches the largest size the reader takes. Whatever the file holds, it is read (or
// refused) in well under a second: many keys, many values, long continued data, removals.

#include "fuzzsupport.h"
#include "regfile.h"

#include <ctime>

using namespace arbelon;
using arbelon::fuzz::fail;

namespace {

// Processor time, not wall time: the machine may be shared with other work. Under ASan the
// largest files take about 0.15 s; a release build reads them several times faster.
constexpr double kMaxSeconds = 0.5;

QByteArray expand(const QByteArray &input)
{
    const qsizetype split = input.indexOf('\x01');
    if (split < 0)
        return input;
    QByteArray out = input.left(split);
    const QByteArray unit = input.mid(split + 1);
    if (unit.isEmpty())
        return out;
    out.reserve(RegFile::kMaxFileSize + unit.size() * 2);
    const bool numbered = unit.contains('#');
    for (qint64 n = 0; out.size() < RegFile::kMaxFileSize; ++n) {
        if (!numbered) {
            out += unit;
            continue;
        }
        for (const char c : unit) {
            if (c == '#')
                out += QByteArray::number(n);
            else
                out += c;
        }
    }
    out.truncate(RegFile::kMaxFileSize);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray file = expand(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    const std::clock_t start = std::clock();
    QString error;
    const std::optional<RegFile> parsed = RegFile::parse(file, &error);
    if (parsed)
        (void)parsed->serialize();
    const double seconds = double(std::clock() - start) / CLOCKS_PER_SEC;
    if (seconds > kMaxSeconds)
        fail(QStringLiteral("reading %1 bytes took %2 s").arg(file.size()).arg(seconds));
    return 0;
}
