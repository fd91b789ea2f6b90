#include "viewerlive.h"

#include <QFile>
#include <QFileInfo>

namespace arbelon {

namespace {

constexpr auto kLiveInfix = ".live";

QByteArray endMarker(int gameType)
{
    return QByteArray(gameType == 0 ? 4 : 8, '\xff');
}

} // namespace

QString ViewerLive::copyPath(const QString &exactPath)
{
    const QFileInfo info(exactPath);
    const QString suffix = info.suffix();
    QString base = exactPath;
    if (!suffix.isEmpty())
        base.chop(suffix.size() + 1);
    return base + QLatin1String(kLiveInfix) + (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
}

bool ViewerLive::isCopyName(const QString &fileName)
{
    return QFileInfo(fileName).completeBaseName().endsWith(QLatin1String(kLiveInfix));
}

void ViewerLive::begin(int gameType, const QString &path)
{
    close();
    m_gameType = gameType;
    m_path = path;
    m_demo = std::make_unique<demo::LiveDemo>(gameType == 0 ? demo::Game::Quake2 : demo::Game::Quake3);
    m_tail.clear();
}

void ViewerLive::append(QByteArrayView block, qint64 nowMs)
{
    if (!m_demo)
        return;
    m_tail = (m_tail + block.toByteArray()).right(8);
    m_demo->append(block, nowMs);
    if (m_seek)
        m_seek->append(block);
    if (m_moment)
        m_moment->append(block);
    if (m_file.isOpen()) {
        const QByteArray more = m_moment ? m_moment->take() : m_demo->takeLive();
        if (!more.isEmpty())
            m_file.append(more);
    }
}

bool ViewerLive::ended() const
{
    if (!m_demo)
        return false;
    if (m_demo->state() == demo::LiveDemo::State::Ended)
        return true;
    // A demo the layer cannot read still says where it ends.
    return m_demo->state() == demo::LiveDemo::State::Refused && m_tail.endsWith(endMarker(m_gameType));
}

bool ViewerLive::refused() const
{
    return m_demo && m_demo->state() == demo::LiveDemo::State::Refused;
}

QString ViewerLive::refusal() const
{
    return m_demo ? m_demo->refusal() : QString();
}

bool ViewerLive::canPlayLive() const
{
    return m_demo && m_demo->liveReady();
}

qint64 ViewerLive::marginMs() const
{
    return m_demo ? m_demo->marginMs() : demo::LiveDemo::kMinMarginMs;
}

QString ViewerLive::startCopy(const QString &gameDir, qint64 startupMs)
{
    if (!canPlayLive())
        throw EDemoFileError("live play is not offered for this demo");
    const QByteArray start = m_demo->startLive(startupMs);
    if (start.isEmpty())
        throw EDemoFileError("live play is not offered: " + m_demo->refusal().toStdString());
    m_moment.reset();
    return writeCopy(start, gameDir);
}

QString ViewerLive::seekMoment(qint64 fromMs, const ViewerDemoFile &exact, const QString &gameDir)
{
    if (!m_demo)
        throw EDemoFileError("no demo is arriving");
    m_seek = std::make_unique<demo::MomentCopy>(m_gameType == 0 ? demo::Game::Quake2 : demo::Game::Quake3, fromMs);
    // Written as soon as found: the rest of a long demo never waits in memory.
    QString path;
    try {
        exact.readBack([&](QByteArrayView part) {
            if (path.isEmpty()) {
                m_seek->append(part);
                if (m_seek->started())
                    path = startMomentCopy(gameDir);
            } else {
                m_moment->append(part);
                m_file.append(m_moment->take());
            }
        });
    } catch (const EDemoFileError &) {
        m_seek.reset();
        if (!path.isEmpty()) { // a copy with a gap would play wrong
            m_moment.reset();
            m_file.close();
        }
        throw;
    }
    return path;
}

QString ViewerLive::startMomentCopy(const QString &gameDir)
{
    if (!m_seek || !m_seek->started())
        throw EDemoFileError("the moment has not been found in the demo");
    m_demo->stopLive();
    m_moment = std::move(m_seek);
    return writeCopy(m_moment->take(), gameDir);
}

QString ViewerLive::writeCopy(const QByteArray &start, const QString &gameDir)
{
    const QString path = m_file.create(copyPath(m_path), gameDir);
    m_copies.append(path);
    m_file.append(start);
    return path;
}

void ViewerLive::close()
{
    m_file.close();
    m_demo.reset();
    m_seek.reset();
    m_moment.reset();
}

void ViewerLive::removeCopies()
{
    m_file.close();
    for (const QString &path : std::as_const(m_copies))
        QFile::remove(path);
    m_copies.clear();
}

} // namespace arbelon
