#pragma once
// HTTP for the web tests: a GET (or any method) answered within a bounded wait, and a strict
// reader of the Prometheus text format.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QString>

namespace arbelon::test {

struct HttpReply {
    int status = 0; // 0: no answer
    QByteArray contentType;
    QByteArray body;
    QMap<QByteArray, QByteArray> headers; // lower-case names
};

class WebClient {
public:
    WebClient(QHostAddress address, quint16 port) : m_address(std::move(address)), m_port(port) {}
    // One request on a connection of its own, the path sent as it is; the answer read to
    // its end on this thread's event loop (a server on this thread answers meanwhile).
    HttpReply get(const QString &path, const QByteArray &method = "GET", const QByteArray &body = {});

private:
    QHostAddress m_address;
    quint16 m_port;
};

// One sample of a metrics page.
struct MetricSample {
    QString name;
    QMap<QString, QString> labels;
    double value = 0;
};

// Reads the text format strictly: every line a HELP, a TYPE or a sample; each family typed
// once, before its samples; names and labels well formed; histogram buckets cumulative and
// ending at +Inf equal to _count. False with the first fault in *error.
bool parseMetrics(const QByteArray &text, QList<MetricSample> *samples, QString *error);
double metric(const QList<MetricSample> &samples, const QString &name, const QMap<QString, QString> &labels = {});

} // namespace arbelon::test
