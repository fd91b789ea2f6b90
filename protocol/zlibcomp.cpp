#include "zlibcomp.h"

#include <QBuffer>
#include <QFileDevice>
#include <QScopeGuard>

#include <zlib.h>

#include <cstring>

namespace arbelon {

namespace {

constexpr int kNoInputStream = -7; // the component's own code, beside zlib's

QString statusTextFor(int code)
{
    switch (code) {
    case Z_NEED_DICT: return QStringLiteral("ZLib Needs Dictionary");
    case Z_STREAM_END: return QStringLiteral("ZLib Stream End");
    case Z_OK: return QString();
    case Z_ERRNO: return QStringLiteral("ZLib File Missing, or Corrupt");
    case Z_STREAM_ERROR: return QStringLiteral("ZLib Stream Fault");
    case Z_DATA_ERROR: return QStringLiteral("ZLib Invalid Data");
    case Z_MEM_ERROR: return QStringLiteral("ZLib Insufficient Memory Report");
    case Z_BUF_ERROR: return QStringLiteral("ZLib Buffer Fault");
    case Z_VERSION_ERROR: return QStringLiteral("ZLib Version Conflict");
    case kNoInputStream: return QStringLiteral("No Input Stream");
    default: return QString();
    }
}

int zlibLevel(ZLibCompressionLevel level)
{
    switch (level) {
    case clNoCompression: return 0;
    case clFastest: return 1;
    case clMax: return 9;
    case clDefault: return Z_DEFAULT_COMPRESSION;
    }
    return 10; // not a level: deflateInit2_ refuses it with a stream fault
}

// A run or a mode change started from inside OnProgress: refused without touching the state
// of the run that is under way.
[[noreturn]] void throwReentered()
{
    throw EZLibException(QStringLiteral("Error in Archiving Routines: ")
                         + statusTextFor(Z_STREAM_ERROR));
}

qint32 toI32(uLong value)
{
    return static_cast<qint32>(static_cast<quint32>(value));
}

} // namespace

// ---- EZLibException ---------------------------------------------------------

EZLibException::EZLibException(const QString &message)
    : std::runtime_error(message.toUtf8().toStdString())
{
}

QString EZLibException::message() const
{
    return QString::fromUtf8(what());
}

// ---- TZLib ------------------------------------------------------------------

// State of one run; the work buffers live exactly as long as the run.
struct TZLib::Run {
    QIODevice *in = nullptr;
    QIODevice *out = nullptr;
    QBuffer *outBuffer = nullptr;  // OutStream when it is memory, whose growth the limit caps
    std::unique_ptr<Bytef[]> work; // input buffer, then output buffer
    Bytef *inBuf = nullptr;
    Bytef *outBuf = nullptr;
    uLong startOut = 0;
    bool allRead = false;
};

TZLib::TZLib(QObject *parent)
    : QObject(parent), m_stream(std::make_unique<z_stream_s>())
{
    std::memset(m_stream.get(), 0, sizeof(z_stream));
}

TZLib::~TZLib()
{
    endStreamQuietly();
}

void TZLib::endStreamQuietly() noexcept
{
    // After a failed end zlib has already released the state; ending again only reports a fault.
    if (m_mode == zmCompress)
        deflateEnd(m_stream.get());
    else if (m_mode == zmDecompress)
        inflateEnd(m_stream.get());
}

void TZLib::handleResult(int code)
{
    m_statusText = statusTextFor(code);
    m_ok = code == Z_OK;
    m_streamEnd = code == Z_STREAM_END;
    if (code < 0)
        throw EZLibException(QStringLiteral("Error in Archiving Routines: ") + m_statusText);
}

void TZLib::setMode(ZLibMode value)
{
    if (value == m_mode)
        return;
    if (m_running)
        throwReentered();
    if (value > zmDecompress)
        handleResult(Z_STREAM_ERROR);
    if (m_mode == zmCompress)
        handleResult(deflateEnd(m_stream.get()));
    else if (m_mode == zmDecompress)
        handleResult(inflateEnd(m_stream.get()));
    if (value != zmNone) {
        initStream(value);
        emptyOutStream();
    }
    m_mode = value;
}

void TZLib::initStream(ZLibMode mode)
{
    std::memset(m_stream.get(), 0, sizeof(z_stream));
    m_totalIn = 0;
    m_totalOut = 0;
    m_crc = 0;
    m_written = 0;
    if (mode == zmCompress) {
        handleResult(deflateInit2_(m_stream.get(), zlibLevel(m_compressionLevel), Z_DEFLATED,
                                   MAX_WBITS, 8, Z_DEFAULT_STRATEGY, ZLIB_VERSION,
                                   int(sizeof(z_stream))));
    } else {
        handleResult(inflateInit2_(m_stream.get(), MAX_WBITS, ZLIB_VERSION, int(sizeof(z_stream))));
    }
}

QIODevice *TZLib::ensureOutStream()
{
    if (!m_outStream) {
        auto *buffer = new QBuffer(this); // freed with the component
        buffer->open(QIODevice::ReadWrite);
        m_outStream = buffer;
    } else if (!m_outStream->isOpen()) {
        m_outStream->open(QIODevice::ReadWrite);
    }
    return m_outStream.data();
}

void TZLib::emptyOutStream()
{
    QIODevice *out = ensureOutStream();
    if (auto *buffer = qobject_cast<QBuffer *>(out)) {
        buffer->buffer().clear();
        buffer->seek(0);
    } else if (auto *file = qobject_cast<QFileDevice *>(out)) {
        file->resize(0);
        file->seek(0);
    }
    // Other devices (sockets, pipes) cannot be emptied; writing simply goes on.
}

void TZLib::fireProgress()
{
    if (m_onProgress)
        m_onProgress(this, toI32(m_stream->total_in), toI32(m_stream->total_out), m_currentIn,
                     m_currentOut);
}

bool TZLib::Compress(bool Finish)
{
    return execute(true, Finish);
}

bool TZLib::Decompress(bool Finish)
{
    return execute(false, Finish);
}

bool TZLib::execute(bool compress, bool finish)
{
    if (m_running)
        throwReentered();
    Run run;
    run.in = m_inStream.data();
    if (!run.in)
        handleResult(kNoInputStream); // throws before anything else happens
    run.out = ensureOutStream();
    run.outBuffer = qobject_cast<QBuffer *>(run.out);
    if (!run.in->isOpen())
        run.in->open(QIODevice::ReadOnly);

    // Held until the stream has been ended, so the last progress handler cannot interfere.
    m_running = true;
    const auto notRunning = qScopeGuard([this] { m_running = false; });
    m_done = false;
    m_limitExceeded = false;
    z_stream *zs = m_stream.get();
    run.startOut = zs->total_out;
    if (!run.in->isSequential())
        run.in->seek(0);
    // The buffers are only ever read where zlib or the input stream has written them.
    run.work = std::make_unique_for_overwrite<Bytef[]>(2 * std::size_t(kWorkBufferSize));
    run.inBuf = run.work.get();
    run.outBuf = run.inBuf + kWorkBufferSize;
    // Nothing from an earlier run may point into its freed buffers.
    zs->next_in = nullptr;
    zs->avail_in = 0;
    zs->next_out = run.outBuf;
    zs->avail_out = kWorkBufferSize;

    auto endRun = [&] {
        zs->next_in = nullptr;
        zs->avail_in = 0;
        zs->next_out = nullptr;
        zs->avail_out = 0;
        run.work.reset();
        m_currentIn = toI32(uLong(run.in->size()));
        m_totalIn = toI32(zs->total_in);
        m_totalOut = toI32(zs->total_out);
        m_currentOut = toI32(zs->total_out - run.startOut);
        fireProgress();
    };
    try {
        if (compress)
            compressLoop(run, finish);
        else
            decompressLoop(run, finish);
    } catch (...) {
        endRun();
        throw;
    }
    endRun();

    if (finish) {
        const ZLibMode mode = m_mode;
        if (mode == zmCompress)
            handleResult(deflateEnd(zs));
        else if (mode == zmDecompress)
            handleResult(inflateEnd(zs));
        m_mode = zmNone;
    }
    return m_done;
}

void TZLib::readInput(Run &run, bool compress)
{
    z_stream *zs = m_stream.get();
    const qint64 n = run.in->read(reinterpret_cast<char *>(run.inBuf), kWorkBufferSize);
    if (n < 0)
        handleResult(Z_ERRNO);
    zs->next_in = run.inBuf;
    zs->avail_in = uInt(n);
    // A read that brings nothing also ends the input, so a stream that stalls cannot loop.
    run.allRead = n == 0 || run.in->atEnd();
    m_currentIn = toI32(uLong(run.in->pos()));
    if (compress)
        m_crc = uInt(crc32(m_crc, run.inBuf, uInt(n)));
}

bool TZLib::writeOutput(Run &run, qsizetype length, bool decompressed)
{
    z_stream *zs = m_stream.get();
    if (length > 0) {
        if (decompressed && m_outputLimit > 0 && m_written + length > m_outputLimit) {
            m_limitExceeded = true;
            return false;
        }
        if (decompressed && m_outputLimit > 0 && run.outBuffer)
            reserveWithinLimit(run.outBuffer, length);
        if (run.out->write(reinterpret_cast<const char *>(run.outBuf), length) != length)
            handleResult(Z_ERRNO);
        m_written += length;
        if (decompressed)
            m_crc = uInt(crc32(m_crc, run.outBuf, uInt(length)));
    }
    zs->next_out = run.outBuf;
    zs->avail_out = kWorkBufferSize;
    return true;
}

// A memory stream grows by doubling, which could leave it holding twice the limit. Growing it
// here first, never past the limit, keeps what a limited run holds within the limit.
void TZLib::reserveWithinLimit(QBuffer *buffer, qsizetype length) const
{
    QByteArray &bytes = buffer->buffer();
    const qint64 needed = buffer->pos() + length;
    if (needed <= bytes.capacity())
        return;
    const qint64 cap = qMax(needed, m_outputLimit);
    bytes.reserve(qsizetype(qMin(qMax(needed, 2 * qint64(bytes.capacity())), cap)));
}

void TZLib::compressLoop(Run &run, bool finish)
{
    z_stream *zs = m_stream.get();
    for (;;) {
        if (!run.allRead && zs->avail_in == 0)
            readInput(run, true);
        int flush = Z_NO_FLUSH;
        if (finish)
            flush = run.allRead ? Z_FINISH : Z_NO_FLUSH;
        else if (run.allRead && zs->avail_in == 0)
            flush = Z_SYNC_FLUSH;
        // Only a deflate stream may be handed to deflate; anything else is a stream fault.
        handleResult(m_mode == zmCompress ? deflate(zs, flush) : Z_STREAM_ERROR);
        fireProgress();
        const bool full = zs->avail_out == 0;
        // A sync flush that filled the buffer may hold more output: zlib wants another call.
        m_done = m_streamEnd || (flush == Z_SYNC_FLUSH && !full);
        if (full)
            writeOutput(run, kWorkBufferSize, false);
        else if (m_done)
            writeOutput(run, kWorkBufferSize - qsizetype(zs->avail_out), false);
        m_currentOut = toI32(zs->total_out - run.startOut);
        if (m_done || !m_ok)
            return;
    }
}

void TZLib::decompressLoop(Run &run, bool finish)
{
    z_stream *zs = m_stream.get();
    bool draining = false;
    bool previousFilled = false;
    for (;;) {
        if (!run.allRead && zs->avail_in == 0)
            readInput(run, false);
        const int flush = draining ? (finish ? Z_FINISH : Z_SYNC_FLUSH) : Z_NO_FLUSH;
        int code = m_mode == zmDecompress ? inflate(zs, flush) : Z_STREAM_ERROR;
        // The call after a full buffer only makes sure nothing is left inside zlib; with all
        // input used, "no progress" then just means that nothing was left.
        if (!finish && code == Z_BUF_ERROR && previousFilled && run.allRead && zs->avail_in == 0)
            code = Z_OK;
        handleResult(code);
        fireProgress();
        const bool full = zs->avail_out == 0;
        if (finish) {
            draining = m_streamEnd && !draining;
            m_done = m_streamEnd;
        } else {
            draining = run.allRead && zs->avail_in > 0;
            // A stream that wants a dictionary cannot be decoded: that is no success.
            m_done = run.allRead && code != Z_NEED_DICT;
        }
        bool written = true;
        if (full)
            written = writeOutput(run, kWorkBufferSize, true);
        else if (m_done)
            written = writeOutput(run, kWorkBufferSize - qsizetype(zs->avail_out), true);
        m_currentOut = toI32(zs->total_out - run.startOut);
        if (!written) {
            m_done = false;
            return;
        }
        if (finish) {
            if (!(draining || (!m_done && m_ok)))
                return;
        } else {
            if (!m_ok)
                return;
            if (run.allRead && zs->avail_in == 0 && !full)
                return;
        }
        previousFilled = full;
    }
}

// ---- one block at a time ------------------------------------------------------

CompressedBlock compressBlock(QByteArrayView raw)
{
    QByteArray input = QByteArray::fromRawData(raw.data(), raw.size());
    QBuffer in(&input);
    in.open(QIODevice::ReadOnly);
    QByteArray output;
    QBuffer out(&output);
    out.open(QIODevice::ReadWrite);

    TZLib zlib(nullptr);
    zlib.setInStream(&in);
    zlib.setOutStream(&out);
    zlib.setMode(zmCompress);
    zlib.Compress(true);
    out.close();
    return CompressedBlock{std::move(output), zlib.Crc()};
}

InflateResult inflateBlock(QByteArrayView compressed, QByteArray *out, quint32 *crc,
                           qint64 limit)
{
    QByteArray input = QByteArray::fromRawData(compressed.data(), compressed.size());
    QBuffer in(&input);
    in.open(QIODevice::ReadOnly);
    QByteArray output;
    QBuffer outBuffer(&output);
    outBuffer.open(QIODevice::ReadWrite);

    TZLib zlib(nullptr);
    zlib.setInStream(&in);
    zlib.setOutStream(&outBuffer);
    zlib.setOutputLimit(limit);
    InflateResult result = InflateResult::Ok;
    try {
        zlib.setMode(zmDecompress);
        if (!zlib.Decompress(false))
            result = zlib.OutputLimitExceeded() ? InflateResult::TooLarge
                                                : InflateResult::Incomplete;
    } catch (const EZLibException &) {
        result = InflateResult::BadData;
    }
    outBuffer.close();
    if (result == InflateResult::Ok) {
        if (out)
            *out = std::move(output);
        if (crc)
            *crc = zlib.Crc();
    } else {
        if (out)
            out->clear();
        if (crc)
            *crc = 0;
    }
    return result;
}

} // namespace arbelon
