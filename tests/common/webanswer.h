#pragma once
// A web page that answers every request with one body, as JSON, and closes: enough to play a
// relay's web page for the client.

#include <QByteArray>
#include <QTcpServer>
#include <QTcpSocket>

namespace arbelon::test {

inline void answerEveryRequest(QTcpServer &web, const QByteArray &body)
{
    QObject::connect(&web, &QTcpServer::newConnection, &web, [&web, body] {
        while (QTcpSocket *s = web.nextPendingConnection()) {
            QObject::connect(s, &QTcpSocket::readyRead, s, [s, body] {
                if (!s->readAll().contains("\r\n\r\n"))
                    return;
                s->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
                         + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
                s->disconnectFromHost();
            });
            QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
    });
}

} // namespace arbelon::test
