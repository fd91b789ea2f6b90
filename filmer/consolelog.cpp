#include "consolelog.h"

#include "gameinstall.h"
#include "regularfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstring>

namespace arbelon {

namespace {
constexpr char kRecordingTo[] = "recording to";
constexpr qsizetype kRecordingToLength = sizeof(kRecordingTo) - 1; // 12
constexpr qsizetype kNameOffset = 13;                              // the words and one more
}

// ---- lines -------------------------------------------------------------------------

void ConsoleLog::setStopLine(const QByteArray &text)
{
    m_stopLine = text;
    dropPartialLine();
}

void ConsoleLog::clear()
{
    m_count = 0;
    m_candidates.clear();
    dropPartialLine();
}

void ConsoleLog::dropPartialLine()
{
    m_partial.clear();
    m_partialStarted = false;
    m_mayRecord = true;
    m_mayStop = !m_stopLine.isEmpty();
    m_isStop = false;
}

void ConsoleLog::feed(QByteArrayView bytes)
{
    const char *p = bytes.data();
    const char *const end = p + bytes.size();
    while (p < end) {
        const auto *lf = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        const char *segmentEnd = lf ? lf : end;
        appendToPartial(p, segmentEnd);
        if (!lf)
            break;
        endLine();
        p = lf + 1;
    }
}

void ConsoleLog::appendToPartial(const char *begin, const char *end)
{
    if (begin != end)
        m_partialStarted = true;
    // Most lines are told apart from an announcement or a stop by their first characters;
    // after that only their end matters, so their bytes are not copied.
    for (const char *c = begin; c != end && (m_mayRecord || m_mayStop); ++c) {
        if (*c == '\r')
            continue;
        const qsizetype at = m_partial.size();
        if (at >= kMaxLineBytes || (at < kRecordingToLength && *c != kRecordingTo[at]))
            m_mayRecord = false;
        if (m_mayStop && *c != m_stopLine.at(at)) {
            m_mayStop = false;
        } else if (m_mayStop && at + 1 == m_stopLine.size()) {
            // The rest of a stop line says nothing more.
            m_mayStop = false;
            m_isStop = true;
        }
        if (!m_mayRecord && !m_mayStop) {
            m_partial.clear();
            break;
        }
        m_partial.append(*c);
    }
}

void ConsoleLog::endLine()
{
    const qint64 index = m_count++;
    if (m_candidates.size() < kMaxAnnouncements) {
        if (m_isStop)
            m_candidates.append(Candidate{index, true, {}});
        else if (m_mayRecord && m_partial.size() >= kRecordingToLength)
            m_candidates.append(Candidate{index, false, m_partial});
    }
    dropPartialLine();
}

// ---- scan ----------------------------------------------------------------------------

QList<DemoLogEvent> ConsoleLog::scanNewEvents()
{
    QList<DemoLogEvent> events;
    if (m_count != m_scanned) {
        // Fewer lines than scanned: the log was opened anew, so all of it is new.
        const qint64 start = m_count < m_scanned ? 0 : m_scanned;
        for (const Candidate &c : std::as_const(m_candidates)) {
            if (c.index < start)
                continue;
            if (c.stop) {
                events.append(DemoLogEvent{DemoLogEvent::Stopped, {}});
                continue;
            }
            const QByteArray name = relativeDemoName(c.text);
            if (!name.isEmpty())
                events.append(DemoLogEvent{DemoLogEvent::Recording, name});
        }
        m_scanned = m_count;
    }
    // Whatever was not scanned now lies below lines scanned and is never scanned later.
    m_candidates.clear();
    return events;
}

QList<QByteArray> ConsoleLog::scanNewLines()
{
    QList<QByteArray> names;
    for (const DemoLogEvent &e : scanNewEvents()) {
        if (e.kind == DemoLogEvent::Recording)
            names.append(e.name);
    }
    return names;
}

QByteArray relativeDemoName(QByteArrayView line)
{
    if (!line.startsWith(QByteArrayView(kRecordingTo, kRecordingToLength)))
        return {};
    if (line.size() <= kNameOffset + 2)
        return {};
    QByteArray name = line.sliced(kNameOffset).toByteArray();
    if (name.startsWith('.'))
        name.remove(0, 2);
    // The games print "recording to %s." and Windows dropped the dot from the file name.
    if (name.endsWith('.'))
        name.chop(1);
    return name;
}

namespace {

// The path with symlinks followed as far as it exists; the part that does not exist yet is
// put after its nearest existing folder.
QString realPath(const QString &path, int depth = 0)
{
    QString existing = path;
    QString rest;
    while (!existing.isEmpty() && !QFileInfo::exists(existing)) {
        // A link whose target is not there yet still says where the file would be.
        const QFileInfo link(existing);
        if (link.isSymLink())
            return depth > 8 ? QString() : realPath(QDir::cleanPath(link.symLinkTarget()), depth + 1) + rest;
        const qsizetype slash = existing.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0)
            return path;
        rest = existing.mid(slash) + rest;
        existing = existing.left(slash);
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical + rest;
}

} // namespace

QString demoPathFromLine(QByteArrayView name, const QString &recordBase, const GameInstall &game,
                         const QString &mod, QString *why)
{
    const auto refuse = [why](const QString &reason) {
        if (why)
            *why = reason;
        return QString();
    };
    if (name.isEmpty())
        return refuse(QStringLiteral("no name"));
    if (!game.installed())
        return refuse(QStringLiteral("no game folder is set up"));
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            return refuse(QStringLiteral("control characters in the name"));
    }
    // The engines print "/" paths; one built for Windows may print its own "\\" or a drive.
    const QString text = QDir::fromNativeSeparators(QFile::decodeName(name.toByteArray()));
    const bool absolute = QDir::isAbsolutePath(text);
    if (!absolute && recordBase.isEmpty())
        return refuse(QStringLiteral("a relative name and no folder to start from"));
    const QString path = QDir::cleanPath(absolute ? text : recordBase + text);
    if (!engineprofiles::acceptsDemo(game.engine, path))
        return refuse(QStringLiteral("not a demo file of %1").arg(game.engine.title));
    const QString real = realPath(path);
    bool inside = false;
    for (const QString &folder : game.recordFolders(mod)) {
        QString f = realPath(QDir::cleanPath(folder));
        if (!f.endsWith(QLatin1Char('/')))
            f += QLatin1Char('/');
        inside = inside || (real.startsWith(f) && real.size() > f.size());
    }
    if (!inside)
        return refuse(QStringLiteral("outside the demos folders %1").arg(game.recordFolders(mod).join(QStringLiteral(", "))));
    if (crossesReparsePoint(game.dataDir, path))
        return refuse(QStringLiteral("a junction or link on the way to it"));
    const QFileInfo fi(real);
    if (fi.exists() && !fi.isFile())
        return refuse(QStringLiteral("not a regular file"));
    return path;
}

} // namespace arbelon
