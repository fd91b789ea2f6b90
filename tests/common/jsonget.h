#pragma once
// A page's JSON fetched the plainest way (HTTP/1.0, the answer read to its end), for the
// suites that run the relay as a process and read what its web page says.

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

namespace arbelon::test {

// The object at path, or an empty one when nothing answered.
inline QJsonObject getJson(const QString &address, quint16 port, const QString &path)
{
    QTcpSocket s;
    s.connectToHost(address, port);
    if (!s.waitForConnected(5000))
        return {};
    s.write("GET " + path.toLatin1() + " HTTP/1.0\r\nHost: relay\r\n\r\n");
    QByteArray answer;
    while (s.waitForReadyRead(5000))
        answer += s.readAll();
    return QJsonDocument::fromJson(answer.mid(answer.indexOf("\r\n\r\n") + 4)).object();
}

} // namespace arbelon::test
