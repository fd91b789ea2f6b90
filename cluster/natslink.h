#pragma once
// One relay node's connection to NATS, used on the Qt thread that owns it. libnats works on
// threads of its own; its callbacks only append to a mailbox, which this object empties on
// its thread (an eventfd wakes it), so no Qt object is ever touched from a libnats thread.
// The connection retries for ever, from the start too: a node whose NATS is away keeps
// running and joins when it comes.

#include "clusterconfig.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace arbelon {

class NatsLink : public QObject {
    Q_OBJECT
public:
    struct Settings {
        QStringList servers;
        QString name; // shown by the servers' monitoring
        int reconnectWaitMs = 250;
        int requestWaitMs = 2000; // stream, consumer and registry requests
        int publishAckWaitMs = 2000;
        qint64 maxInboxBytes = qint64(128) * 1024 * 1024;
        NatsAuth auth;
        // Replies to this node's requests come on subjects under this prefix, which the
        // servers' permissions can give to it alone. Empty: the library's own.
        QByteArray inboxPrefix;
    };
    enum class KvResult { Ok,
                          Exists,
                          Failed };

    explicit NatsLink(Settings settings, QObject *parent = nullptr);
    ~NatsLink() override;

    // Starts connecting; false only when the settings cannot work (bad server URL).
    bool start(QString *error);
    bool isConnected() const;

    // Plain publication, lost when nobody listens; false when it could not even be queued.
    bool publish(const QByteArray &subject, const QByteArray &data);
    // A subscription's messages arrive as message(id, ...); 0 on failure.
    int subscribe(const QByteArray &subject, QString *error);
    void unsubscribe(int id);

    // ---- JetStream ----------------------------------------------------------------
    bool addStream(const QByteArray &name, const QByteArray &subject, int replicas, qint64 maxBytes,
                   qint64 maxAgeSeconds, QString *error);
    bool deleteStream(const QByteArray &name, QString *error);
    // Removes the stored messages of one subject (a game) from a stream.
    bool purgeSubject(const QByteArray &stream, const QByteArray &subject, QString *error);
    // Stored publication with the de-duplication id msgId; the stream's answer arrives as
    // stored(msgId, streamSeq). One that gets no answer in time is sent again with the
    // same id, so the stream keeps it once.
    bool publishStored(const QByteArray &subject, const QByteArray &data, const QByteArray &msgId,
                       QString *error);
    // Reads a stream's subject in order from startSeq (0: from the first message kept);
    // the messages arrive as message(id, ..., streamSeq). 0 on failure.
    int consume(const QByteArray &stream, const QByteArray &subject, quint64 startSeq, QString *error);

    // ---- key-value registry ----------------------------------------------------------
    bool openBucket(const QByteArray &bucket, int ttlMs, int replicas, QString *error);
    // Creates key only if it is absent (or deleted, or expired).
    KvResult kvCreate(const QByteArray &key, const QByteArray &value, quint64 *revision, QString *error);
    // Replaces key if its revision is still `last`.
    KvResult kvUpdate(const QByteArray &key, const QByteArray &value, quint64 last, quint64 *revision,
                      QString *error);
    std::optional<QByteArray> kvGet(const QByteArray &key, quint64 *revision = nullptr);
    void kvDelete(const QByteArray &key);

    qint64 droppedMessages() const;

    // Once every link is gone, before the program ends: waits (up to waitMs) for libnats'
    // own threads to end, which would otherwise still run while the program's statics and
    // the TLS library are torn down.
    static void closeLibrary(int waitMs);

signals:
    void connectionChanged(bool connected);
    void message(int subscription, const QByteArray &subject, const QByteArray &data, quint64 streamSeq);
    void stored(const QByteArray &msgId, quint64 streamSeq);
    // Something libnats reported on its own (an error, a slow consumer, a lost publication).
    void problem(const QString &text);

private:
    void drainMailbox();

    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace arbelon
