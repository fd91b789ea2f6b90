#pragma once
// Three (or more) nats-server processes clustered with JetStream, each on a loopback address
// of the suite's own (test::loopbackAddress), their data in a temporary folder. Started
// bounded in time, killed when the object goes.

#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace arbelon::test {

class NatsCluster {
public:
    explicit NatsCluster(int firstSlot = 10) : m_firstSlot(firstSlot) {}
    ~NatsCluster();

    // Before start: the servers take only the users arbelon-relay --write-nats-users (at
    // `relay`) writes for `peers`, over mutual TLS with certificates made here by openssl.
    bool secure(const QString &relay, const QStringList &peers, QString *error);
    // What a node (or a client holding its credentials) passes to connect; empty when open.
    QStringList nodeArguments(const QString &node) const;
    QString userFile(const QString &node) const;
    QString file(const QString &name) const { return m_dir.filePath(name); }
    bool isSecure() const { return !m_peers.isEmpty(); }

    // Starts `count` servers and waits until each reports JetStream ready; false with the
    // reason (and the servers' output) in *error.
    bool start(int count, QString *error);
    QStringList urls() const;
    QString url(int index) const;
    // The body of a monitoring page of one server (e.g. "/connz"), empty when it does not answer.
    QByteArray monitor(int index, const QByteArray &path) const;
    void kill(int index);
    bool restart(int index, QString *error);
    bool restart(const QList<int> &indexes, QString *error);

private:
    bool launch(int index, QString *error);
    bool waitReady(int index, int timeoutMs) const;
    QString address(int index) const;

    int m_firstSlot;
    int m_count = 0;
    QTemporaryDir m_dir;
    QStringList m_peers;
    std::vector<std::unique_ptr<QProcess>> m_servers;
};

} // namespace arbelon::test
