#pragma once
// The plain zlib loop the benchmarks set the product's inflate path beside: one block inflated
// into a reused buffer, as a client without the product's own code would.

#include <QByteArrayView>
#include <QtGlobal>

#include <zlib.h>

#include <vector>

namespace arbelon::bench {

// inflateInit2_, inflate, inflateEnd and crc32 of what came out; out must hold the whole block.
inline quint32 plainInflate(QByteArrayView block, std::vector<Bytef> &out)
{
    z_stream zs{};
    inflateInit2_(&zs, MAX_WBITS, ZLIB_VERSION, int(sizeof(z_stream)));
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(block.data()));
    zs.avail_in = uInt(block.size());
    zs.next_out = out.data();
    zs.avail_out = uInt(out.size());
    inflate(&zs, Z_NO_FLUSH);
    const uLong produced = zs.total_out;
    inflateEnd(&zs);
    return quint32(crc32(0, out.data(), uInt(produced)));
}

} // namespace arbelon::bench
