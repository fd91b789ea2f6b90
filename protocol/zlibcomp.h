#pragma once
// Block compression: TZLib runs zlib's deflate or inflate over the whole content of an input
// stream, appends the result to an output stream and keeps a CRC-32 of the uncompressed bytes.
// Every zlib failure becomes one EZLibException with a fixed text per result code.
// Each demo block gets a fresh component; the helpers at the end wrap that use.

#include <QByteArray>
#include <QByteArrayView>
#include <QIODevice>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <stdexcept>

class QBuffer;
struct z_stream_s;

namespace arbelon {

class TZLib;

// ---- types ------------------------------------------------------------------
// Which zlib stream is open.
enum ZLibMode : quint8 { zmNone = 0,
                         zmCompress = 1,
                         zmDecompress = 2 };

// Ordinals matter: clMax is 2 and clDefault is 3. Mapped to zlib levels 0, 1, 9 and -1.
enum ZLibCompressionLevel : quint8 {
    clNoCompression = 0,
    clFastest = 1,
    clMax = 2,
    clDefault = 3,
};

using ZLibProgressEvent = std::function<void(TZLib *Sender, qint32 TotalIn, qint32 TotalOut,
                                             qint32 CurrentIn, qint32 CurrentOut)>;

// Carries a message text only ("Error in Archiving Routines: " and a status text).
class EZLibException : public std::runtime_error {
public:
    explicit EZLibException(const QString &message);
    QString message() const;
};

// ---- the component ----------------------------------------------------------
// Calling order: assign InStream and OutStream, set CompressionLevel if needed, set Mode to
// zmCompress or zmDecompress, call Compress or Decompress once (or, without Finish, several
// times), read Crc. Streams are not owned. When the component has to make an OutStream itself
// (none assigned when a mode is entered or a run starts) it makes an open QBuffer parented to
// the component, so the owner frees it together with the component.
// A stream that is not open when it is needed is opened (InStream read-only, OutStream
// read-write). A failed read or write reports zlib's file-error text.
class TZLib : public QObject {
    Q_OBJECT
public:
    // Size of each of the two work buffers of a run (65,535, not 65,536).
    static constexpr int kWorkBufferSize = 65535;

    explicit TZLib(QObject *parent);
    // Ends an open stream without reporting its result.
    ~TZLib() override;

    // ---- state ----
    ZLibMode Mode() const { return m_mode; }
    // Opens or closes a zlib stream; setting the current value does nothing at all. Entering
    // zmCompress or zmDecompress empties OutStream (or makes one) and resets Crc and the totals.
    // On an exception Mode keeps its old value.
    void setMode(ZLibMode value);

    // ---- runs ----
    // Deflates the whole of InStream (from its first byte) into OutStream. With Finish the
    // stream is completed and Mode returns to zmNone; without it the run ends with a sync flush.
    bool Compress(bool Finish);
    // Inflates the whole of InStream into OutStream. With Finish: true when the end of the
    // stream was reached. Without Finish: true when all of InStream was read; false when the
    // stream ended before that, asked for a dictionary, or the output limit stopped the run.
    bool Decompress(bool Finish);

    // ---- results ----
    quint32 Crc() const { return m_crc; }
    QString StatusText() const { return m_statusText; }
    qint32 TotalIn() const { return m_totalIn; }
    qint32 TotalOut() const { return m_totalOut; }
    qint32 CurrentIn() const { return m_currentIn; }
    qint32 CurrentOut() const { return m_currentOut; }

    // ---- properties ----
    QIODevice *InStream() const { return m_inStream.data(); }
    void setInStream(QIODevice *stream) { m_inStream = stream; }
    QIODevice *OutStream() const { return m_outStream.data(); }
    void setOutStream(QIODevice *stream) { m_outStream = stream; }
    ZLibCompressionLevel CompressionLevel() const { return m_compressionLevel; }
    void setCompressionLevel(ZLibCompressionLevel level) { m_compressionLevel = level; }
    const ZLibProgressEvent &OnProgress() const { return m_onProgress; }
    void setOnProgress(ZLibProgressEvent handler) { m_onProgress = std::move(handler); }

    // ---- output limit (protects against blocks that inflate without bound) ----
    // Most bytes that decompressing may write to OutStream after a mode was entered; 0 means
    // no limit. A piece that would pass the limit is not written and the run returns false.
    qint64 OutputLimit() const { return m_outputLimit; }
    void setOutputLimit(qint64 bytes) { m_outputLimit = bytes < 0 ? 0 : bytes; }
    // The last run stopped at the output limit.
    bool OutputLimitExceeded() const { return m_limitExceeded; }

private:
    struct Run;

    void handleResult(int code);
    void initStream(ZLibMode mode);
    void endStreamQuietly() noexcept;
    QIODevice *ensureOutStream();
    void emptyOutStream();
    bool execute(bool compress, bool finish);
    void compressLoop(Run &run, bool finish);
    void decompressLoop(Run &run, bool finish);
    void readInput(Run &run, bool compress);
    bool writeOutput(Run &run, qsizetype length, bool decompressed);
    void reserveWithinLimit(QBuffer *buffer, qsizetype length) const;
    void fireProgress();

    QString m_statusText;
    bool m_ok = false;
    bool m_streamEnd = false;
    bool m_done = false;
    ZLibMode m_mode = zmNone;
    std::unique_ptr<z_stream_s> m_stream;
    qint32 m_totalIn = 0;
    qint32 m_totalOut = 0;
    qint32 m_currentIn = 0;
    qint32 m_currentOut = 0;
    quint32 m_crc = 0;
    QPointer<QIODevice> m_inStream;
    QPointer<QIODevice> m_outStream;
    ZLibProgressEvent m_onProgress;
    ZLibCompressionLevel m_compressionLevel = clDefault;

    qint64 m_outputLimit = 0;
    qint64 m_written = 0; // bytes written to OutStream since the mode was entered
    bool m_limitExceeded = false;
    bool m_running = false; // guards against runs or mode changes from inside OnProgress
};

// ---- one block at a time ------------------------------------------------------
struct CompressedBlock {
    QByteArray data; // one complete zlib stream
    quint32 crc = 0; // CRC-32 of the raw bytes
};

// Compresses one block at the default level. Throws EZLibException only on zlib failure.
CompressedBlock compressBlock(QByteArrayView raw);

enum class InflateResult {
    Ok,         // *out and *crc hold the block; the caller still compares the CRC
    BadData,    // zlib rejected the data
    TooLarge,   // the block would inflate beyond the limit
    Incomplete, // the stream ended before the data did, or asked for a dictionary
};

// Decompresses one block (without Finish) with at most limit output bytes (0: no limit).
// On anything but Ok, *out is empty and *crc is 0. out and crc may be null.
InflateResult inflateBlock(QByteArrayView compressed, QByteArray *out, quint32 *crc,
                           qint64 limit);

} // namespace arbelon
