#include "relayworker.h"

#include "records.h"
#include "relaypumpqueue.h"
#ifdef Q_OS_LINUX
#include "epolldispatcher.h"
#endif

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <unordered_map>

namespace arbelon {

namespace {
// Record bytes a connection may have handed on before the server has taken them: past it
// the worker reads no more from that client, so a flood waits in the kernel, not in memory.
constexpr qint64 kCreditBytes = 256 * 1024;

// The worker's objects, created and destroyed on its thread.
class WorkerLoop final : public QObject, public RelayConnectionHandler {
public:
    WorkerLoop(const RelayWorker::Settings &settings, RelayMailbox<RelayWorkerCommand> &inbox,
               RelayMailbox<RelayWorkerEvent> &toServer, QEventLoop &loop)
        : m_settings(settings), m_inbox(inbox), m_toServer(toServer), m_loop(loop),
          m_notifier(qintptr(inbox.descriptor()), QSocketNotifier::Read)
    {
        m_clock.start();
        connect(&m_notifier, &QSocketNotifier::activated, this, [this] { drain(); });
        m_sweep.setInterval(1000);
        connect(&m_sweep, &QTimer::timeout, this, [this] { sweep(); });
        m_sweep.start();
    }

    ~WorkerLoop() override
    {
        const auto conns = m_conns;
        for (const auto &entry : conns)
            entry.second.conn->abortWith(QStringLiteral("server shutting down"));
    }

    void onRecord(RelayConnection &conn, QByteArrayView record) override
    {
        if (packetType(record) == ACKNAK)
            return; // the answer to one of the server's records; nothing waits for it
        const auto it = m_conns.find(conn.id());
        if (it == m_conns.end())
            return;
        it->second.inFlight += record.size();
        if (it->second.inFlight >= kCreditBytes)
            conn.pauseInput(RelayConnection::PausedForCredit);
        RelayWorkerEvent event{RelayWorkerEvent::Kind::Record, conn.id(), record.toByteArray(), {}};
        m_toServer.post([&](std::vector<RelayWorkerEvent> &events) { events.push_back(std::move(event)); });
    }

    void onClosed(RelayConnection &conn, const QString &reason) override
    {
        m_pumps.forget(conn);
        m_conns.erase(conn.id());
        RelayWorkerEvent event{RelayWorkerEvent::Kind::Closed, conn.id(), {}, reason};
        m_toServer.post([&](std::vector<RelayWorkerEvent> &events) { events.push_back(std::move(event)); });
    }

    void schedulePump(RelayConnection &conn) override { m_pumps.schedule(conn); }

    qint64 nowMs() const override { return m_settings.clock ? m_settings.clock() : m_clock.elapsed(); }

private:
    struct Entry {
        RelayConnection *conn;
        qint64 inFlight;
    };

    RelayConnection *find(quint64 id) const
    {
        const auto it = m_conns.find(id);
        return it == m_conns.end() ? nullptr : it->second.conn;
    }

    void drain()
    {
        std::vector<RelayWorkerCommand> commands = m_inbox.take();
        for (RelayWorkerCommand &c : commands) {
            using K = RelayWorkerCommand::Kind;
            if (c.kind == K::Quit) {
                m_loop.quit();
                return;
            }
            if (c.kind == K::Adopt) {
                adopt(c);
                continue;
            }
            if (c.kind == K::Send || c.kind == K::SendList) {
                const bool list = c.kind == K::SendList;
                if (RelayConnection *conn = find(c.id)) {
                    conn->send(c.block, list);
                    for (const RelayBlock &next : c.blocks)
                        conn->send(next, list);
                }
                for (quint64 id : c.alsoTo) {
                    if (RelayConnection *conn = find(id))
                        conn->send(c.block, list);
                }
                continue;
            }
            RelayConnection *conn = find(c.id);
            if (!conn)
                continue; // ended before the command arrived; the server hears of it
            switch (c.kind) {
            case K::CatchUp: conn->startCatchUp(std::move(c.blocks)); break;
            case K::DropDemo: conn->dropPendingDemo(); break;
            case K::Ready: conn->setReady(); break;
            case K::CloseAfterFlush: conn->closeAfterFlush(c.reason, nowMs()); break;
            case K::Abort: conn->abortWith(c.reason); break;
            case K::Pause: conn->pauseInput(); break;
            case K::Resume: conn->resumeInput(); break;
            case K::Taken: {
                qint64 &inFlight = m_conns[c.id].inFlight;
                inFlight = std::max<qint64>(0, inFlight - c.bytes);
                if (inFlight < kCreditBytes)
                    conn->resumeInput(RelayConnection::PausedForCredit);
                break;
            }
            default: break;
            }
        }
    }

    void adopt(const RelayWorkerCommand &c)
    {
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(c.descriptor)) {
            const QString why = socket->errorString();
            delete socket;
            RelayWorkerEvent event{RelayWorkerEvent::Kind::Closed, c.id, {}, why};
            m_toServer.post([&](std::vector<RelayWorkerEvent> &events) { events.push_back(std::move(event)); });
            return;
        }
        auto *conn = new RelayConnection(socket, c.port, c.id, m_settings.maxQueueBytes, *this, nowMs(), this);
        m_conns[c.id] = Entry{conn, 0};
    }

    void sweep()
    {
        std::vector<RelayConnection *> conns;
        conns.reserve(m_conns.size());
        for (const auto &entry : m_conns)
            conns.push_back(entry.second.conn);
        for (RelayConnection *conn : conns)
            conn->checkTimeouts(nowMs(), m_settings.recordTimeoutMs, m_settings.closeTimeoutMs);
    }

    const RelayWorker::Settings m_settings;
    RelayMailbox<RelayWorkerCommand> &m_inbox;
    RelayMailbox<RelayWorkerEvent> &m_toServer;
    QEventLoop &m_loop;
    QSocketNotifier m_notifier;
    QTimer m_sweep;
    QElapsedTimer m_clock;
    std::unordered_map<quint64, Entry> m_conns;
    RelayPumpQueue m_pumps{this};
};
} // namespace

RelayWorker::RelayWorker(int index, const Settings &settings, RelayMailbox<RelayWorkerEvent> &toServer)
    : m_index(index), m_settings(settings), m_toServer(toServer), m_thread([this] { run(); })
{
}

RelayWorker::~RelayWorker()
{
    post(RelayWorkerCommand{});
    m_thread.join();
}

void RelayWorker::run()
{
#ifdef Q_OS_LINUX
    // The same dispatcher as the server's own thread, for the same reason: thousands of sockets.
    auto dispatcher = std::make_unique<EpollEventDispatcher>();
    if (dispatcher->isValid())
        QThread::currentThread()->setEventDispatcher(dispatcher.release());
#endif
    QEventLoop loop;
    WorkerLoop worker(m_settings, m_inbox, m_toServer, loop);
    loop.exec();
}

void RelayWorker::post(RelayWorkerCommand command)
{
    m_inbox.post([&](std::vector<RelayWorkerCommand> &commands) { commands.push_back(std::move(command)); });
}

void RelayWorker::adopt(quint64 id, qintptr descriptor, RelayConnection::Port port)
{
    ++m_connections;
    RelayWorkerCommand c;
    c.kind = RelayWorkerCommand::Kind::Adopt;
    c.id = id;
    c.descriptor = descriptor;
    c.port = port;
    post(std::move(c));
}

void RelayWorker::taken(quint64 id, qint64 bytes)
{
    RelayWorkerCommand c;
    c.kind = RelayWorkerCommand::Kind::Taken;
    c.id = id;
    c.bytes = bytes;
    post(std::move(c));
}

void RelayWorker::send(quint64 id, const RelayBlock &record, bool list)
{
    const auto kind = list ? RelayWorkerCommand::Kind::SendList : RelayWorkerCommand::Kind::Send;
    // A broadcast posts the same block for many connections in a row, and a game list many
    // records for one: one command carries either.
    m_inbox.post([&](std::vector<RelayWorkerCommand> &commands) {
        if (!commands.empty()) {
            RelayWorkerCommand &last = commands.back();
            if (last.kind == kind && last.block == record && last.blocks.empty()) {
                last.alsoTo.push_back(id);
                return;
            }
            if (last.kind == kind && last.id == id && last.alsoTo.empty()) {
                last.blocks.push_back(record);
                return;
            }
        }
        RelayWorkerCommand c;
        c.kind = kind;
        c.id = id;
        c.block = record;
        commands.push_back(std::move(c));
    });
}

namespace {
RelayWorkerCommand command(RelayWorkerCommand::Kind kind, quint64 id, QString reason = {})
{
    RelayWorkerCommand c;
    c.kind = kind;
    c.id = id;
    c.reason = std::move(reason);
    return c;
}
} // namespace

void RelayWorker::startCatchUp(quint64 id, std::vector<RelayBlock> records)
{
    RelayWorkerCommand c = command(RelayWorkerCommand::Kind::CatchUp, id);
    c.blocks = std::move(records);
    post(std::move(c));
}

void RelayWorker::dropPendingDemo(quint64 id) { post(command(RelayWorkerCommand::Kind::DropDemo, id)); }
void RelayWorker::setReady(quint64 id) { post(command(RelayWorkerCommand::Kind::Ready, id)); }
void RelayWorker::closeAfterFlush(quint64 id, const QString &reason)
{
    post(command(RelayWorkerCommand::Kind::CloseAfterFlush, id, reason));
}
void RelayWorker::abort(quint64 id, const QString &reason) { post(command(RelayWorkerCommand::Kind::Abort, id, reason)); }
void RelayWorker::pauseInput(quint64 id) { post(command(RelayWorkerCommand::Kind::Pause, id)); }
void RelayWorker::resumeInput(quint64 id) { post(command(RelayWorkerCommand::Kind::Resume, id)); }

} // namespace arbelon
