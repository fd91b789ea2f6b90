#include "httprequest.h"

namespace arbelon {

namespace {
// RFC 9110 token characters: a method or a header name.
bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                        || QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
        if (!ok)
            return false;
    }
    return true;
}

// What a target or a header value may hold: visible ASCII, and spaces and tabs in values.
bool isPrintable(QByteArrayView text, bool spaces)
{
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u == 0x7f || (u < 0x20 && !(spaces && u == '\t')) || (u == ' ' && !spaces))
            return false;
    }
    return true;
}

HttpParse bad(int status, const char *why)
{
    HttpParse p;
    p.state = HttpParse::Bad;
    p.status = status;
    p.why = why;
    return p;
}
} // namespace

QByteArray HttpRequest::value(QByteArrayView lowerName) const
{
    for (const auto &[name, value] : headers) {
        if (name == lowerName)
            return value;
    }
    return {};
}

HttpParse parseHttpRequest(QByteArrayView bytes, qsizetype maxHead, qsizetype maxBody)
{
    // Empty lines before a request are allowed (RFC 9112, 2.2).
    qsizetype start = 0;
    while (start < bytes.size() && (bytes[start] == '\r' || bytes[start] == '\n'))
        ++start;
    // The blank lines count against the head's bound too: they are no free buffer.
    const qsizetype end = bytes.indexOf(QByteArrayView("\r\n\r\n"), start);
    if (end < 0) {
        if (bytes.size() > maxHead)
            return bad(431, "the request's head is too long");
        return {};
    }
    if (end > maxHead)
        return bad(431, "the request's head is too long");
    QList<QByteArray> lines = bytes.sliced(start, end - start).toByteArray().split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1); // a CR anywhere else is refused below
    }
    HttpParse p;
    HttpRequest &r = p.request;
    // Request line: METHOD SP TARGET SP HTTP/1.x, each line ending in CR LF.
    const QList<QByteArray> parts = lines.first().split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || !parts[1].startsWith('/') || !isPrintable(parts[1], false))
        return bad(400, "the request line is not METHOD /path HTTP/1.x");
    if (parts[2] != "HTTP/1.1" && parts[2] != "HTTP/1.0")
        return bad(parts[2].startsWith("HTTP/") ? 505 : 400, "only HTTP/1.0 and HTTP/1.1 are spoken here");
    r.method = parts[0];
    const qsizetype mark = parts[1].indexOf('?');
    r.path = mark < 0 ? parts[1] : parts[1].left(mark);
    r.query = mark < 0 ? QByteArray() : parts[1].mid(mark + 1);
    r.http10 = parts[2] == "HTTP/1.0";
    int lengths = 0, hosts = 0;
    qint64 length = 0;
    bool close = false, keepAlive = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        const qsizetype colon = line.indexOf(':');
        // A folded line (leading space) or a name with spaces would let two readers disagree.
        if (colon <= 0 || !isToken(QByteArrayView(line).first(colon)) || !isPrintable(QByteArrayView(line).sliced(colon + 1), true))
            return bad(400, "a header line is malformed");
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length") {
            ++lengths;
            bool ok = !value.isEmpty() && value.size() <= 18;
            for (const char c : value)
                ok = ok && c >= '0' && c <= '9';
            if (!ok)
                return bad(400, "Content-Length is not a number");
            length = value.toLongLong();
        } else if (name == "transfer-encoding") {
            return bad(501, "request bodies in a transfer coding are not taken");
        } else if (name == "host") {
            ++hosts;
        } else if (name == "connection") {
            for (const QByteArray &token : value.toLower().split(',')) {
                close = close || token.trimmed() == "close";
                keepAlive = keepAlive || token.trimmed() == "keep-alive";
            }
        }
        r.headers.append({name, value});
    }
    if (lengths > 1)
        return bad(400, "Content-Length is given more than once");
    if (hosts > 1 || (!r.http10 && hosts == 0))
        return bad(400, hosts ? "Host is given more than once" : "an HTTP/1.1 request needs a Host");
    if (length > maxBody)
        return bad(413, "the request's body is too long");
    r.keepAlive = r.http10 ? keepAlive && !close : !close;
    const qsizetype total = end + 4 + qsizetype(length);
    if (bytes.size() < total)
        return {};
    p.state = HttpParse::Ready;
    p.consumed = total;
    return p;
}

QByteArray httpReason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Status";
    }
}

} // namespace arbelon
