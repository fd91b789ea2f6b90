#pragma once
// One client of the web page: reads its requests one at a time, hands each out, writes the
// answer, then reads the next. Requests sent ahead wait in the socket (and then in the
// client's own buffers) while answers wait unread: what one connection holds stays bounded.
// Owned by its socket, which goes when the connection ends.

#include "httprequest.h"

#include <QObject>
#include <QTcpSocket>

#include <memory>

namespace arbelon {

class HttpConnection : public QObject {
    Q_OBJECT
public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;
    struct Limits {
        qsizetype maxHead = 16 * 1024;
        qsizetype maxBody = 16 * 1024;
        qint64 maxQueued = qint64(4) << 20; // answers written and not yet taken
    };

    HttpConnection(QTcpSocket *socket, Limits limits);

    QTcpSocket *socket() const { return m_socket; }
    // The answer to the request last handed out. Content-Length is the body's size unless
    // given in headers (a HEAD answer names the length its GET would send).
    void respond(int status, const Headers &headers, const QByteArray &body);
    // The same with a file sent as the client takes it; `length` bytes from its position.
    void respondFile(int status, const Headers &headers, std::unique_ptr<QIODevice> file, qint64 length);

signals:
    void request(const arbelon::HttpRequest &request);
    // A request that cannot be read: answer it (respond) and the connection ends.
    void badRequest(int status, const QByteArray &why);

private:
    void readMore();
    void next();
    void pump();
    void finish();
    QByteArray head(int status, const Headers &headers, qint64 length) const;

    QTcpSocket *m_socket;
    const Limits m_limits;
    QByteArray m_buffer;
    bool m_busy = false;       // a request is out and not answered yet
    bool m_closeAfter = false; // the answer being written ends the connection
    bool m_closing = false;
    std::unique_ptr<QIODevice> m_file;
    qint64 m_fileLeft = 0;
};

} // namespace arbelon
