#include "httpconnection.h"

#include <QTimer>

namespace arbelon {

namespace {
constexpr qint64 kFileChunk = 64 * 1024;
} // namespace

HttpConnection::HttpConnection(QTcpSocket *socket, Limits limits) : QObject(socket), m_socket(socket), m_limits(limits)
{
    connect(socket, &QTcpSocket::readyRead, this, [this] {
        readMore();
        next();
    });
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_file)
            pump();
        else
            next();
    });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(0, this, [this] { // bytes may have come before this object
        readMore();
        next();
    });
}

void HttpConnection::readMore()
{
    // Enough for one whole request; the rest waits in the socket.
    const qsizetype room = m_limits.maxHead + m_limits.maxBody + 4 - m_buffer.size();
    if (room > 0 && m_socket->bytesAvailable() > 0)
        m_buffer += m_socket->read(room);
}

void HttpConnection::next()
{
    if (m_busy || m_closing || m_socket->bytesToWrite() > m_limits.maxQueued)
        return;
    readMore();
    const HttpParse p = parseHttpRequest(m_buffer, m_limits.maxHead, m_limits.maxBody);
    if (p.state == HttpParse::NeedMore)
        return;
    m_busy = true;
    if (p.state == HttpParse::Bad) {
        m_closeAfter = true;
        emit badRequest(p.status, p.why);
        return;
    }
    m_buffer.remove(0, p.consumed);
    m_closeAfter = !p.request.keepAlive;
    emit request(p.request);
}

QByteArray HttpConnection::head(int status, const Headers &headers, qint64 length) const
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + httpReason(status) + "\r\n";
    bool lengthGiven = false;
    for (const auto &[name, value] : headers) {
        out += name + ": " + value + "\r\n";
        lengthGiven = lengthGiven || name.compare("Content-Length", Qt::CaseInsensitive) == 0;
    }
    if (!lengthGiven)
        out += "Content-Length: " + QByteArray::number(length) + "\r\n";
    if (m_closeAfter)
        out += "Connection: close\r\n";
    return out + "\r\n";
}

void HttpConnection::respond(int status, const Headers &headers, const QByteArray &body)
{
    if (!m_busy)
        return;
    m_socket->write(head(status, headers, body.size()) + body);
    finish();
}

void HttpConnection::respondFile(int status, const Headers &headers, std::unique_ptr<QIODevice> file, qint64 length)
{
    if (!m_busy)
        return;
    m_socket->write(head(status, headers, length));
    m_file = std::move(file);
    m_fileLeft = length;
    pump();
}

void HttpConnection::pump()
{
    while (m_file && m_socket->bytesToWrite() < 4 * kFileChunk) {
        const QByteArray piece = m_fileLeft > 0 ? m_file->read(qMin(kFileChunk, m_fileLeft)) : QByteArray();
        if (piece.isEmpty()) {
            // The file ended early (shortened meanwhile): the length sent is a promise broken,
            // so the connection ends rather than carry on out of step.
            if (m_fileLeft > 0)
                m_closeAfter = true;
            m_file.reset();
            finish();
            return;
        }
        m_fileLeft -= piece.size();
        m_socket->write(piece);
    }
}

void HttpConnection::finish()
{
    m_busy = false;
    if (m_closeAfter) {
        m_closing = true;
        m_socket->disconnectFromHost(); // once the answer is written
        return;
    }
    // The next request on a later turn: a client's requests sent ahead never nest.
    QTimer::singleShot(0, this, &HttpConnection::next);
}

} // namespace arbelon
