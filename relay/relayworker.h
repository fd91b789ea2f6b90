#pragma once
// A thread that serves a share of the relay's connections: its own event loop reads their
// records and hands them to the server's thread, and writes what the server sends them.
// The two threads talk only through mailboxes of plain values and shared blocks.

#include "relaymailbox.h"
#include "relaypeer.h"

#include <QString>

#include <functional>
#include <thread>
#include <vector>

namespace arbelon {

// From the server's thread to a worker.
struct RelayWorkerCommand {
    enum class Kind { Adopt,
                      Send,
                      SendList, // as Send, in the game list's lane
                      CatchUp,
                      DropDemo,
                      Ready,
                      CloseAfterFlush,
                      Abort,
                      Pause,
                      Resume,
                      Taken,
                      Quit };
    Kind kind = Kind::Quit;
    quint64 id = 0;
    std::vector<quint64> alsoTo; // Send: more connections that get the same block
    RelayBlock block;
    // CatchUp: the demo so far; Send (to one connection only): the records after block.
    std::vector<RelayBlock> blocks;
    QString reason;
    qintptr descriptor = -1;
    RelayConnection::Port port = RelayConnection::Port::Viewer;
    qint64 bytes = 0; // Taken: record bytes the server has dealt with
};

// From a worker to the server's thread.
struct RelayWorkerEvent {
    enum class Kind { Record,
                      Closed };
    Kind kind = Kind::Record;
    quint64 id = 0;
    QByteArray record;
    QString reason;
};

class RelayWorker final : public RelayPeerLink {
public:
    struct Settings {
        qint64 maxQueueBytes;
        qint64 recordTimeoutMs;
        qint64 closeTimeoutMs;
        // Called on the worker's thread; empty: the worker's own monotonic clock.
        std::function<qint64()> clock;
    };

    RelayWorker(int index, const Settings &settings, RelayMailbox<RelayWorkerEvent> &toServer);
    // Closes the worker's connections and joins its thread.
    ~RelayWorker() override;
    RelayWorker(const RelayWorker &) = delete;
    RelayWorker &operator=(const RelayWorker &) = delete;

    int index() const { return m_index; }
    int connectionCount() const { return m_connections; }

    // Serves a connected socket from now on; its records reach the server as events.
    void adopt(quint64 id, qintptr descriptor, RelayConnection::Port port);
    // The server has dealt with this many bytes of the connection's records.
    void taken(quint64 id, qint64 bytes);
    // The server heard of the connection's end.
    void forget() { --m_connections; }

    void send(quint64 id, const RelayBlock &record, bool list) override;
    void startCatchUp(quint64 id, std::vector<RelayBlock> records) override;
    void dropPendingDemo(quint64 id) override;
    void setReady(quint64 id) override;
    void closeAfterFlush(quint64 id, const QString &reason) override;
    void abort(quint64 id, const QString &reason) override;
    void pauseInput(quint64 id) override;
    void resumeInput(quint64 id) override;

private:
    void post(RelayWorkerCommand command);
    void run();

    const int m_index;
    const Settings m_settings;
    RelayMailbox<RelayWorkerEvent> &m_toServer;
    RelayMailbox<RelayWorkerCommand> m_inbox;
    int m_connections = 0; // as the server counts them, for placing new ones
    std::thread m_thread;  // last: started once the rest exists
};

} // namespace arbelon
