#pragma once
// One HTTP/1.x request as the web page takes it, and the parser that reads it from the front
// of a connection's bytes. Only what the page needs: origin-form targets, a body only with
// one Content-Length; anything it cannot frame for sure is refused and ends the connection.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>

namespace arbelon {

struct HttpRequest {
    QByteArray method;
    QByteArray path;  // as sent: still percent-encoded
    QByteArray query; // after '?', as sent
    bool http10 = false;
    bool keepAlive = true; // the connection stays open after the answer
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case, in order

    QByteArray value(QByteArrayView lowerName) const;
};

struct HttpParse {
    enum State { NeedMore,
                 Ready,
                 Bad } state = NeedMore;
    qsizetype consumed = 0; // Ready: the bytes of the request, body included
    HttpRequest request;
    int status = 0; // Bad: the answer to give before closing
    QByteArray why;
};

// Reads the request at the front of `bytes`. A head longer than maxHead, or a body longer
// than maxBody, is Bad (431, 413) without waiting for the rest.
HttpParse parseHttpRequest(QByteArrayView bytes, qsizetype maxHead, qsizetype maxBody);

// "OK", "Not Found", ... for the statuses the page sends.
QByteArray httpReason(int status);

} // namespace arbelon
