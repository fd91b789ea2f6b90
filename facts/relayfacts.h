#pragma once
// What is on in each of the relay's games, read from the demo records as they go out to the
// game's Viewers (so the broadcast delay holds for these facts too), by a thread of its own:
// the games' thread only queues a shared record. What is read is published per game as a
// snapshot that never changes once made, for any thread to take.

#include "gamefacts.h"
#include "relayobserver.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace arbelon {

namespace demo {
class FactsReader;
}

// One game's facts as published.
struct LiveFacts {
    demo::GameFacts facts;
    QString lost;          // why the current demo's facts stopped; empty while they are read
    quint64 revision = 0;  // grows with every publication of any game
};

class RelayFacts : public RelayObserver {
public:
    struct Options {
        // Records waiting to be read; past it a game's facts stop until its next demo.
        qint64 maxQueueBytes = 64 * 1024 * 1024;
        // A game's facts are published at most this often while they change.
        int publishIntervalMs = 100;
    };

    RelayFacts();
    explicit RelayFacts(Options options);
    // Reads what is queued, then ends the thread.
    ~RelayFacts() override;
    RelayFacts(const RelayFacts &) = delete;
    RelayFacts &operator=(const RelayFacts &) = delete;

    // Any thread.
    std::shared_ptr<const LiveFacts> facts(quint32 gameId) const;
    std::map<quint32, std::shared_ptr<const LiveFacts>> all() const;
    quint64 revision() const { return m_revision.load(); }
    // Demos whose facts were given up because the reader fell behind.
    qint64 lostDemos() const { return m_lostDemos.load(); }
    // Waits until everything queued so far has been read and published (tests).
    void flush();
    // Another cluster node's game: its facts as that node read them (any thread). Its records
    // passing here are not read again.
    void setRemote(quint32 gameId, LiveFacts facts);

    // The games' thread.
    void gameOpened(const RelayGameView &game) override;
    void gameClosed(quint32 gameId) override;
    void demoSent(quint32 gameId, const std::shared_ptr<const QByteArray> &record) override;

private:
    enum class JobKind { Open,
                         Close,
                         Record,
                         Lost,
                         Barrier };
    struct Job {
        JobKind kind = JobKind::Barrier;
        quint32 gameId = 0;
        qint32 gameType = 0;
        bool remote = false;
        std::shared_ptr<const QByteArray> record;
        std::shared_ptr<std::promise<void>> done;
    };
    struct Reading;

    void enqueue(Job job);
    void run();
    void handle(Job &job);
    void read(Reading &game, const QByteArray &record);
    void publish(quint32 gameId, Reading &game);
    void publishDue();

    const Options m_options;

    std::mutex m_queueMutex;
    std::condition_variable m_queueCv;
    std::deque<Job> m_queue;
    qint64 m_queuedBytes = 0;
    bool m_quit = false;

    // The games' thread: games whose records are skipped until their next demo.
    std::map<quint32, bool> m_cut;

    // The reading thread.
    std::map<quint32, std::unique_ptr<Reading>> m_reading;
    std::set<quint32> m_due; // read but not yet published: the only games a pass looks at

    mutable std::mutex m_publishedMutex;
    std::map<quint32, std::shared_ptr<const LiveFacts>> m_published;
    std::atomic<quint64> m_revision{0};
    std::atomic<qint64> m_lostDemos{0};

    std::thread m_thread; // last: started once the rest is made
};

} // namespace arbelon
