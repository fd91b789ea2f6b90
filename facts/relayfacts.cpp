#include "relayfacts.h"

#include "factsreader.h"
#include "records.h"
#include "zlibcomp.h"

#include <chrono>

namespace arbelon {

namespace {

using Clock = std::chrono::steady_clock;

// A quiet game's clock is published this often.
constexpr auto kClockInterval = std::chrono::seconds(1);

demo::Game gameOf(qint32 gameType)
{
    return gameType == 0 ? demo::Game::Quake2 : demo::Game::Quake3;
}

} // namespace

struct RelayFacts::Reading {
    explicit Reading(qint32 gameType) : reader(gameOf(gameType)) {}
    demo::FactsReader reader;
    QString lost;
    bool announced = false; // a DEMORESTART came: blocks have a demo to go to
    bool dirty = false;     // read but not yet published
    bool clockMoved = false;
    Clock::time_point published{};
};

RelayFacts::RelayFacts() : RelayFacts(Options{}) {}

RelayFacts::RelayFacts(Options options) : m_options(options), m_thread([this] { run(); }) {}

RelayFacts::~RelayFacts()
{
    {
        const std::lock_guard lock(m_queueMutex);
        m_quit = true;
    }
    m_queueCv.notify_one();
    m_thread.join();
}

std::shared_ptr<const LiveFacts> RelayFacts::facts(quint32 gameId) const
{
    const std::lock_guard lock(m_publishedMutex);
    const auto it = m_published.find(gameId);
    return it == m_published.end() ? nullptr : it->second;
}

std::map<quint32, std::shared_ptr<const LiveFacts>> RelayFacts::all() const
{
    const std::lock_guard lock(m_publishedMutex);
    return m_published;
}

void RelayFacts::flush()
{
    Job job;
    job.done = std::make_shared<std::promise<void>>();
    std::future<void> f = job.done->get_future();
    enqueue(std::move(job));
    f.wait();
}

void RelayFacts::gameOpened(const RelayGameView &game)
{
    Job job;
    job.kind = JobKind::Open;
    job.gameId = game.id;
    job.gameType = game.gameType;
    job.remote = game.remote;
    enqueue(std::move(job));
}

void RelayFacts::gameClosed(quint32 gameId)
{
    m_cut.erase(gameId);
    Job job;
    job.kind = JobKind::Close;
    job.gameId = gameId;
    enqueue(std::move(job));
}

void RelayFacts::demoSent(quint32 gameId, const std::shared_ptr<const QByteArray> &record)
{
    const bool restart = packetType(*record) == DEMORESTART;
    if (restart)
        m_cut.erase(gameId);
    else if (m_cut.count(gameId))
        return;
    Job job;
    job.gameId = gameId;
    {
        const std::lock_guard lock(m_queueMutex);
        if (m_queuedBytes + record->size() > m_options.maxQueueBytes) {
            // The facts of this demo go; its blocks went out all the same.
            m_cut[gameId] = true;
            ++m_lostDemos;
            job.kind = JobKind::Lost;
        } else {
            m_queuedBytes += record->size();
            job.kind = JobKind::Record;
            job.record = record;
        }
        m_queue.push_back(std::move(job));
    }
    m_queueCv.notify_one();
}

void RelayFacts::enqueue(Job job)
{
    {
        const std::lock_guard lock(m_queueMutex);
        m_queue.push_back(std::move(job));
    }
    m_queueCv.notify_one();
}

void RelayFacts::run()
{
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_queueMutex);
            const auto ready = [this] { return m_quit || !m_queue.empty(); };
            if (!m_due.empty())
                m_queueCv.wait_for(lock, std::chrono::milliseconds(m_options.publishIntervalMs), ready);
            else
                m_queueCv.wait(lock, ready);
            if (m_queue.empty() && m_quit)
                break;
            if (!m_queue.empty()) {
                job = std::move(m_queue.front());
                m_queue.pop_front();
                if (job.record)
                    m_queuedBytes -= job.record->size();
            }
        }
        handle(job);
        publishDue();
    }
}

void RelayFacts::handle(Job &job)
{
    switch (job.kind) {
    case JobKind::Barrier:
        if (job.done) {
            for (const quint32 id : std::set<quint32>(m_due))
                publish(id, *m_reading.at(id));
            job.done->set_value();
        }
        return;
    case JobKind::Open:
        if (job.remote)
            return; // its node reads it and says what it read
        m_reading[job.gameId] = std::make_unique<Reading>(job.gameType);
        publish(job.gameId, *m_reading[job.gameId]);
        return;
    case JobKind::Close: {
        m_reading.erase(job.gameId);
        m_due.erase(job.gameId);
        const std::lock_guard lock(m_publishedMutex);
        m_published.erase(job.gameId);
        return;
    }
    case JobKind::Lost:
    case JobKind::Record:
        break;
    }
    const auto it = m_reading.find(job.gameId);
    if (it == m_reading.end())
        return;
    Reading &game = *it->second;
    if (job.kind == JobKind::Lost) {
        game.lost = QStringLiteral("the relay read this demo too slowly");
        game.dirty = true;
    } else {
        read(game, *job.record);
    }
    if (game.dirty || game.clockMoved)
        m_due.insert(job.gameId);
}

void RelayFacts::read(Reading &game, const QByteArray &record)
{
    if (packetType(record) == DEMORESTART) {
        game.reader.newDemo();
        game.lost = game.reader.failure();
        game.announced = true;
        game.dirty = true;
        return;
    }
    if (!game.announced || !game.lost.isEmpty())
        return;
    const DemoPacketReader r{record};
    QByteArray block;
    quint32 crc = 0;
    // A block a Viewer would refuse is not read either.
    if (inflateBlock(r.data(), &block, &crc, rec::kMaxBlockInflated) != InflateResult::Ok || crc != r.packetCrc())
        return;
    const qint64 clock = game.reader.facts().clockMs;
    if (game.reader.append(block))
        game.dirty = true;
    if (game.reader.facts().clockMs / 1000 != clock / 1000)
        game.clockMoved = true;
    if (!game.reader.failure().isEmpty() && game.lost.isEmpty()) {
        game.lost = game.reader.failure();
        game.dirty = true;
    }
}

void RelayFacts::setRemote(quint32 gameId, LiveFacts facts)
{
    auto live = std::make_shared<LiveFacts>(std::move(facts));
    live->revision = ++m_revision;
    const std::lock_guard lock(m_publishedMutex);
    m_published[gameId] = std::move(live);
}

void RelayFacts::publishDue()
{
    const Clock::time_point now = Clock::now();
    for (const quint32 id : std::set<quint32>(m_due)) {
        Reading &game = *m_reading.at(id);
        const auto since = now - game.published;
        if ((game.dirty && since >= std::chrono::milliseconds(m_options.publishIntervalMs))
            || (game.clockMoved && since >= kClockInterval))
            publish(id, game);
    }
}

void RelayFacts::publish(quint32 gameId, Reading &game)
{
    auto live = std::make_shared<LiveFacts>();
    live->facts = game.reader.facts();
    live->lost = game.lost;
    live->revision = ++m_revision;
    game.dirty = false;
    game.clockMoved = false;
    game.published = Clock::now();
    m_due.erase(gameId);
    const std::lock_guard lock(m_publishedMutex);
    m_published[gameId] = std::move(live);
}

} // namespace arbelon
