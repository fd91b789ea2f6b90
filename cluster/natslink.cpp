#include "natslink.h"

#include "clustermessage.h"
#include "natsobjects.h"

#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <deque>
#include <mutex>
#include <unordered_map>

#include <sys/eventfd.h>
#include <unistd.h>

namespace arbelon {

namespace {

constexpr size_t kBatch = 256;

// What a libnats thread hands to the link's thread.
struct Event {
    enum Kind { Message,
                Connection,
                Stored,
                Problem } kind = Message;
    int subscription = 0;
    QByteArray subject;
    QByteArray data;
    quint64 streamSeq = 0;
    bool connected = false;
    QString text;
};

class Mailbox {
public:
    Mailbox(int eventFd, qint64 maxBytes) : m_fd(eventFd), m_maxBytes(maxBytes) {}
    void post(Event event)
    {
        {
            std::lock_guard lock(m_mutex);
            const qint64 size = event.data.size() + event.subject.size();
            // Messages past the bound are dropped and counted; the rest always pass.
            if (event.kind == Event::Message && m_bytes + size > m_maxBytes) {
                ++m_dropped;
                return;
            }
            m_bytes += size;
            m_events.push_back(std::move(event));
        }
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_fd, &one, sizeof one);
    }
    // At most `most` events, the oldest; *more tells whether others wait.
    std::deque<Event> take(size_t most, bool *more)
    {
        std::lock_guard lock(m_mutex);
        std::deque<Event> out;
        while (!m_events.empty() && out.size() < most) {
            m_bytes -= m_events.front().data.size() + m_events.front().subject.size();
            out.push_back(std::move(m_events.front()));
            m_events.pop_front();
        }
        *more = !m_events.empty();
        return out;
    }
    qint64 dropped() const
    {
        std::lock_guard lock(m_mutex);
        return m_dropped;
    }

private:
    int m_fd;
    qint64 m_maxBytes;
    mutable std::mutex m_mutex;
    std::deque<Event> m_events;
    qint64 m_bytes = 0;
    qint64 m_dropped = 0;
};

// libnats may call back after a link is gone (the closed callback comes after the
// connection is destroyed): callbacks carry the link's number, not a pointer, and find its
// mailbox here, or nothing.
std::mutex g_linksMutex;
std::unordered_map<quint32, std::shared_ptr<Mailbox>> g_links;
std::atomic<quint32> g_nextLink{1};

void *closureOf(quint32 link, int subscription = 0)
{
    return reinterpret_cast<void *>((quintptr(quint32(subscription)) << 32) | link);
}

void postTo(void *closure, Event event)
{
    const auto bits = quint64(reinterpret_cast<quintptr>(closure));
    std::shared_ptr<Mailbox> box;
    {
        std::lock_guard lock(g_linksMutex);
        const auto it = g_links.find(quint32(bits & 0xffffffffu));
        if (it == g_links.end())
            return;
        box = it->second;
    }
    event.subscription = int(bits >> 32);
    box->post(std::move(event));
}

QString lastError(natsStatus s)
{
    const char *detail = nats_GetLastError(nullptr);
    return QString::fromUtf8(detail && *detail ? detail : natsStatus_GetText(s));
}

extern "C" {
void onConnectionEvent(natsConnection *nc, void *closure)
{
    Event e;
    e.kind = Event::Connection;
    e.connected = natsConnection_Status(nc) == NATS_CONN_STATUS_CONNECTED;
    postTo(closure, std::move(e));
}

void onAsyncError(natsConnection *nc, natsSubscription *, natsStatus err, void *closure)
{
    // The server's own words (a permissions violation names the subject) where it sent some.
    const char *detail = nullptr;
    natsConnection_GetLastError(nc, &detail);
    Event e;
    e.kind = Event::Problem;
    e.text = QStringLiteral("NATS: %1").arg(QString::fromUtf8(detail && *detail ? detail : natsStatus_GetText(err)));
    postTo(closure, std::move(e));
}

void onMessage(natsConnection *, natsSubscription *, natsMsg *raw, void *closure)
{
    const nats::Message msg(raw);
    Event e;
    e.subject = QByteArray(natsMsg_GetSubject(raw));
    e.data = QByteArray(natsMsg_GetData(raw), natsMsg_GetDataLength(raw));
    jsMsgMetaData *meta = nullptr;
    if (natsMsg_GetMetaData(&meta, raw) == NATS_OK && meta) {
        e.streamSeq = meta->Sequence.Stream;
        jsMsgMetaData_Destroy(meta);
    }
    postTo(closure, std::move(e));
}

void onStored(jsCtx *js, natsMsg *raw, jsPubAck *ack, jsPubAckErr *err, void *closure)
{
    const char *id = nullptr;
    natsMsgHeader_Get(raw, "Nats-Msg-Id", &id);
    if (ack) {
        Event e;
        e.kind = Event::Stored;
        e.data = QByteArray(id ? id : "");
        e.streamSeq = ack->Sequence;
        postTo(closure, std::move(e));
    } else if (err) {
        // Sent again with the same id: the stream keeps it once whichever copy arrives.
        jsPubOptions options;
        jsPubOptions_Init(&options);
        options.MsgId = id;
        if (js_PublishMsgAsync(js, &raw, &options) != NATS_OK) {
            Event e;
            e.kind = Event::Problem;
            e.text = QStringLiteral("stored publication %1 lost: %2")
                         .arg(QString::fromUtf8(id ? id : "?"), QString::fromUtf8(natsStatus_GetText(err->Err)));
            postTo(closure, std::move(e));
        }
    }
    natsMsg_Destroy(raw); // no-op when the library took it back
}
} // extern "C"

} // namespace

struct NatsLink::Impl {
    Settings settings;
    quint32 id = g_nextLink++;
    int eventFd = -1;
    std::shared_ptr<Mailbox> mailbox;
    std::unique_ptr<QSocketNotifier> notifier;
    nats::Options options;
    nats::Connection connection;
    nats::JetStream js;
    nats::KeyValue kv;
    std::unordered_map<int, nats::Subscription> subscriptions;
    int nextSubscription = 1;

    jsOptions jsOpts() const
    {
        jsOptions o;
        jsOptions_Init(&o);
        o.Wait = settings.requestWaitMs;
        return o;
    }
};

NatsLink::NatsLink(Settings settings, QObject *parent) : QObject(parent), d(std::make_unique<Impl>())
{
    d->settings = std::move(settings);
    d->eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    d->mailbox = std::make_shared<Mailbox>(d->eventFd, d->settings.maxInboxBytes);
    {
        std::lock_guard lock(g_linksMutex);
        g_links.emplace(d->id, d->mailbox);
    }
    d->notifier = std::make_unique<QSocketNotifier>(d->eventFd, QSocketNotifier::Read);
    connect(d->notifier.get(), &QSocketNotifier::activated, this, &NatsLink::drainMailbox);
}

void NatsLink::closeLibrary(int waitMs)
{
    nats_CloseAndWait(waitMs);
}

NatsLink::~NatsLink()
{
    {
        std::lock_guard lock(g_linksMutex);
        g_links.erase(d->id); // callbacks from now on find nothing
    }
    d->subscriptions.clear();
    d->kv.reset();
    d->js.reset();
    if (d->connection)
        natsConnection_Close(d->connection.get());
    d->connection.reset();
    d->notifier.reset();
    if (d->eventFd >= 0)
        ::close(d->eventFd);
}

bool NatsLink::start(QString *error)
{
    natsOptions *raw = nullptr;
    if (natsOptions_Create(&raw) != NATS_OK) {
        *error = QStringLiteral("cannot create NATS options");
        return false;
    }
    d->options.reset(raw);
    natsOptions *o = raw;
    std::vector<QByteArray> urls;
    std::vector<const char *> pointers;
    for (const QString &server : d->settings.servers)
        urls.push_back(server.toUtf8());
    for (const QByteArray &url : urls)
        pointers.push_back(url.constData());
    natsStatus s = natsOptions_SetServers(o, pointers.data(), int(pointers.size()));
    if (s == NATS_OK && !d->settings.name.isEmpty())
        s = natsOptions_SetName(o, d->settings.name.toUtf8().constData());
    if (s == NATS_OK)
        s = natsOptions_SetMaxReconnect(o, -1);
    if (s == NATS_OK)
        s = natsOptions_SetReconnectWait(o, d->settings.reconnectWaitMs);
    if (s == NATS_OK)
        s = natsOptions_SetRetryOnFailedConnect(o, true, onConnectionEvent, closureOf(d->id));
    if (s == NATS_OK)
        s = natsOptions_SetDisconnectedCB(o, onConnectionEvent, closureOf(d->id));
    if (s == NATS_OK)
        s = natsOptions_SetReconnectedCB(o, onConnectionEvent, closureOf(d->id));
    if (s == NATS_OK)
        s = natsOptions_SetClosedCB(o, onConnectionEvent, closureOf(d->id));
    if (s == NATS_OK)
        s = natsOptions_SetErrorHandler(o, onAsyncError, closureOf(d->id));
    // Lost servers are noticed in seconds, not the default two minutes.
    if (s == NATS_OK)
        s = natsOptions_SetPingInterval(o, 1000);
    if (s == NATS_OK)
        s = natsOptions_SetMaxPingsOut(o, 3);
    if (s == NATS_OK)
        s = natsOptions_SetFailRequestsOnDisconnect(o, true);
    // A node's own messages would only come back to be ignored.
    if (s == NATS_OK)
        s = natsOptions_SetNoEcho(o, true);
    if (s == NATS_OK && !d->settings.inboxPrefix.isEmpty())
        s = natsOptions_SetCustomInboxPrefix(o, d->settings.inboxPrefix.constData());
    const NatsAuth &auth = d->settings.auth;
    if (s == NATS_OK && !auth.user.isEmpty())
        s = natsOptions_SetUserInfo(o, auth.user.toUtf8().constData(), auth.password.toUtf8().constData());
    if (s == NATS_OK && !auth.token.isEmpty())
        s = natsOptions_SetToken(o, auth.token.toUtf8().constData());
    if (s == NATS_OK && !auth.nkeySeedFile.isEmpty())
        s = natsOptions_SetNKeyFromSeed(o, auth.nkeyPublic.toLatin1().constData(), auth.nkeySeedFile.toUtf8().constData());
    if (s == NATS_OK && !auth.credentialsFile.isEmpty())
        s = natsOptions_SetUserCredentialsFromFiles(o, auth.credentialsFile.toUtf8().constData(), nullptr);
    if (s == NATS_OK && !auth.caFile.isEmpty()) {
        s = natsOptions_SetSecure(o, true);
        if (s == NATS_OK)
            s = natsOptions_LoadCATrustedCertificates(o, auth.caFile.toUtf8().constData());
    }
    if (s == NATS_OK && !auth.certFile.isEmpty())
        s = natsOptions_LoadCertificatesChain(o, auth.certFile.toUtf8().constData(), auth.keyFile.toUtf8().constData());
    if (s != NATS_OK) {
        *error = QStringLiteral("NATS options: %1").arg(lastError(s));
        return false;
    }
    natsConnection *nc = nullptr;
    s = natsConnection_Connect(&nc, o);
    if (s != NATS_OK && s != NATS_NOT_YET_CONNECTED) {
        *error = QStringLiteral("NATS: %1").arg(lastError(s));
        return false;
    }
    d->connection.reset(nc);
    jsOptions jo = d->jsOpts();
    jo.PublishAsync.AckHandler = onStored;
    jo.PublishAsync.AckHandlerClosure = closureOf(d->id);
    jo.PublishAsync.MaxPending = 4096;
    jo.PublishAsync.StallWait = 50;
    jsCtx *js = nullptr;
    if (natsConnection_JetStream(&js, nc, &jo) != NATS_OK) {
        *error = QStringLiteral("NATS JetStream context: %1").arg(lastError(s));
        return false;
    }
    d->js.reset(js);
    return true;
}

bool NatsLink::isConnected() const
{
    return d->connection && natsConnection_Status(d->connection.get()) == NATS_CONN_STATUS_CONNECTED;
}

qint64 NatsLink::droppedMessages() const { return d->mailbox->dropped(); }

bool NatsLink::publish(const QByteArray &subject, const QByteArray &data)
{
    return d->connection
           && natsConnection_Publish(d->connection.get(), subject.constData(), data.constData(), int(data.size()))
                  == NATS_OK;
}

int NatsLink::subscribe(const QByteArray &subject, QString *error)
{
    if (!d->connection)
        return 0;
    const int id = d->nextSubscription++;
    natsSubscription *sub = nullptr;
    const natsStatus s = natsConnection_Subscribe(&sub, d->connection.get(), subject.constData(), onMessage,
                                                  closureOf(d->id, id));
    if (s != NATS_OK) {
        *error = lastError(s);
        return 0;
    }
    d->subscriptions[id].reset(sub);
    return id;
}

void NatsLink::unsubscribe(int id)
{
    const auto it = d->subscriptions.find(id);
    if (it == d->subscriptions.end())
        return;
    natsSubscription_Unsubscribe(it->second.get());
    d->subscriptions.erase(it);
}

bool NatsLink::addStream(const QByteArray &name, const QByteArray &subject, int replicas, qint64 maxBytes,
                         qint64 maxAgeSeconds, QString *error)
{
    if (!d->js)
        return false;
    jsStreamConfig cfg;
    jsStreamConfig_Init(&cfg);
    const char *subjects[] = {subject.constData()};
    cfg.Name = name.constData();
    cfg.Subjects = subjects;
    cfg.SubjectsLen = 1;
    cfg.Storage = js_FileStorage;
    cfg.Replicas = replicas;
    cfg.MaxBytes = maxBytes;
    cfg.MaxAge = maxAgeSeconds * 1000000000LL;
    cfg.MaxMsgSize = int32_t(clustermsg::kMaxMessage);
    cfg.Discard = js_DiscardOld;
    cfg.Duplicates = qint64(120) * 1000000000LL;
    jsOptions jo = d->jsOpts();
    jsErrCode code = jsErrCode(0);
    jsStreamInfo *info = nullptr;
    const natsStatus s = js_AddStream(&info, d->js.get(), &cfg, &jo, &code);
    nats::StreamInfo owned(info);
    if (s != NATS_OK) {
        *error = QStringLiteral("stream %1: %2").arg(QString::fromLatin1(name), lastError(s));
        return false;
    }
    return true;
}

bool NatsLink::deleteStream(const QByteArray &name, QString *error)
{
    if (!d->js)
        return false;
    jsOptions jo = d->jsOpts();
    jsErrCode code = jsErrCode(0);
    const natsStatus s = js_DeleteStream(d->js.get(), name.constData(), &jo, &code);
    if (s != NATS_OK && error)
        *error = QStringLiteral("stream %1: %2").arg(QString::fromLatin1(name), lastError(s));
    return s == NATS_OK;
}

bool NatsLink::purgeSubject(const QByteArray &stream, const QByteArray &subject, QString *error)
{
    if (!d->js)
        return false;
    jsOptions jo = d->jsOpts();
    jo.Stream.Purge.Subject = subject.constData();
    jsErrCode code = jsErrCode(0);
    const natsStatus s = js_PurgeStream(d->js.get(), stream.constData(), &jo, &code);
    if (s != NATS_OK && error)
        *error = QStringLiteral("stream %1: %2").arg(QString::fromLatin1(stream), lastError(s));
    return s == NATS_OK;
}

bool NatsLink::publishStored(const QByteArray &subject, const QByteArray &data, const QByteArray &msgId,
                             QString *error)
{
    if (!d->js)
        return false;
    natsMsg *raw = nullptr;
    natsStatus s = natsMsg_Create(&raw, subject.constData(), nullptr, data.constData(), int(data.size()));
    if (s != NATS_OK) {
        *error = lastError(s);
        return false;
    }
    jsPubOptions options;
    jsPubOptions_Init(&options);
    options.MsgId = msgId.constData();
    options.MaxWait = d->settings.publishAckWaitMs;
    s = js_PublishMsgAsync(d->js.get(), &raw, &options);
    natsMsg_Destroy(raw); // null once the library has taken it
    if (s != NATS_OK) {
        *error = lastError(s);
        return false;
    }
    return true;
}

int NatsLink::consume(const QByteArray &stream, const QByteArray &subject, quint64 startSeq, QString *error)
{
    if (!d->js)
        return 0;
    const int id = d->nextSubscription++;
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Stream = stream.constData();
    so.Ordered = true;
    so.Config.DeliverPolicy = startSeq ? js_DeliverByStartSequence : js_DeliverAll;
    so.Config.OptStartSeq = startSeq;
    // The consumer lives on one server; a second without its heartbeat makes a new one.
    so.Config.Heartbeat = 1000000000LL;
    jsOptions jo = d->jsOpts();
    jsErrCode code = jsErrCode(0);
    natsSubscription *sub = nullptr;
    const natsStatus s = js_Subscribe(&sub, d->js.get(), subject.constData(), onMessage, closureOf(d->id, id),
                                      &jo, &so, &code);
    if (s != NATS_OK) {
        *error = QStringLiteral("consumer on %1: %2").arg(QString::fromLatin1(stream), lastError(s));
        return 0;
    }
    d->subscriptions[id].reset(sub);
    return id;
}

bool NatsLink::openBucket(const QByteArray &bucket, int ttlMs, int replicas, QString *error)
{
    if (!d->js)
        return false;
    kvStore *kv = nullptr;
    natsStatus s = js_KeyValue(&kv, d->js.get(), bucket.constData());
    if (s != NATS_OK) {
        kvConfig cfg;
        kvConfig_Init(&cfg);
        cfg.Bucket = bucket.constData();
        cfg.History = 1;
        cfg.TTL = qint64(ttlMs) * 1000000; // nanoseconds
        cfg.Replicas = replicas;
        s = js_CreateKeyValue(&kv, d->js.get(), &cfg);
    }
    if (s != NATS_OK) {
        *error = QStringLiteral("registry %1: %2").arg(QString::fromLatin1(bucket), lastError(s));
        return false;
    }
    d->kv.reset(kv);
    return true;
}

NatsLink::KvResult NatsLink::kvCreate(const QByteArray &key, const QByteArray &value, quint64 *revision,
                                      QString *error)
{
    if (!d->kv)
        return KvResult::Failed;
    uint64_t rev = 0;
    const natsStatus s = kvStore_Create(&rev, d->kv.get(), key.constData(), value.constData(), int(value.size()));
    if (s == NATS_OK) {
        *revision = rev;
        return KvResult::Ok;
    }
    const QString why = lastError(s);
    if (kvGet(key)) // the create failed because someone holds the key
        return KvResult::Exists;
    *error = why;
    return KvResult::Failed;
}

NatsLink::KvResult NatsLink::kvUpdate(const QByteArray &key, const QByteArray &value, quint64 last,
                                      quint64 *revision, QString *error)
{
    if (!d->kv)
        return KvResult::Failed;
    uint64_t rev = 0;
    const natsStatus s =
        kvStore_Update(&rev, d->kv.get(), key.constData(), value.constData(), int(value.size()), last);
    if (s == NATS_OK) {
        *revision = rev;
        return KvResult::Ok;
    }
    *error = lastError(s);
    return s == NATS_TIMEOUT || s == NATS_NO_RESPONDERS || s == NATS_CONNECTION_DISCONNECTED
               ? KvResult::Failed
               : KvResult::Exists;
}

std::optional<QByteArray> NatsLink::kvGet(const QByteArray &key, quint64 *revision)
{
    if (!d->kv)
        return std::nullopt;
    kvEntry *raw = nullptr;
    if (kvStore_Get(&raw, d->kv.get(), key.constData()) != NATS_OK)
        return std::nullopt;
    const nats::KeyValueEntry entry(raw);
    if (revision)
        *revision = kvEntry_Revision(raw);
    return QByteArray(static_cast<const char *>(kvEntry_Value(raw)), kvEntry_ValueLen(raw));
}

void NatsLink::kvDelete(const QByteArray &key)
{
    if (d->kv)
        kvStore_Delete(d->kv.get(), key.constData());
}

void NatsLink::drainMailbox()
{
    quint64 count = 0;
    [[maybe_unused]] const ssize_t n = ::read(d->eventFd, &count, sizeof count);
    // A turn handles a bounded batch and lets the loop run between batches: a flood of
    // messages delays the node's timers (its heartbeat) by one batch, not by the flood.
    bool more = false;
    std::deque<Event> batch = d->mailbox->take(kBatch, &more);
    if (more)
        QTimer::singleShot(0, this, &NatsLink::drainMailbox);
    for (Event &e : batch) {
        switch (e.kind) {
        case Event::Message:
            emit message(e.subscription, e.subject, e.data, e.streamSeq);
            break;
        case Event::Connection:
            emit connectionChanged(e.connected);
            break;
        case Event::Stored:
            emit stored(e.data, e.streamSeq);
            break;
        case Event::Problem:
            emit problem(e.text);
            break;
        }
    }
}

} // namespace arbelon
