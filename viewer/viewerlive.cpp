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
    if (m_file.isOpen()) {
        const QByteArray more = m_demo->takeLive();
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
    const QString path = m_file.create(copyPath(m_path), gameDir);
    m_copies.append(path);
    m_file.append(start);
    return path;
}

void ViewerLive::close()
{
    m_file.close();
    m_demo.reset();
}

void ViewerLive::removeCopies()
{
    m_file.close();
    for (const QString &path : std::as_const(m_copies))
        QFile::remove(path);
    m_copies.clear();
}

} // namespace arbelon
