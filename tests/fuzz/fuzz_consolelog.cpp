// The console-log scanner: a game's console log is written by the game and by whatever a
// game server prints into it. Any bytes, in any pieces, must give the announcements a plain
// line-by-line reading gives, and every demo path taken from them must lie inside the game
// directory with a demo extension of the game.
//
// Input: one byte of settings (game type), then steps of [operation][length, 2 bytes][bytes]:
// append the bytes to the log, scan, or rewrite the log from its start with the bytes.

#include "consolelog.h"
#include "consolelogreader.h"
#include "fuzzsupport.h"
#include "gameinstall.h"
#include "gamelayout.h"
#include "records.h"
#include "writeguard.h"

#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>

using namespace arbelon;
using arbelon::fuzz::fail;
using arbelon::fuzz::InputStream;

namespace {

// The lines of everything appended, read the plain way: split at line feeds, carriage
// returns dropped, a line too long to name a demo file ignored.
class ReferenceLines {
public:
    void feed(QByteArrayView bytes) { m_all.append(bytes); }
    QList<QByteArray> scan()
    {
        QList<QByteArray> names;
        for (;;) {
            const qsizetype end = m_all.indexOf('\n', m_pos);
            if (end < 0)
                break;
            const QByteArrayView raw = QByteArrayView(m_all).sliced(m_pos, end - m_pos);
            m_pos = end + 1;
            QByteArray clean;
            QByteArrayView line = raw;
            if (raw.contains('\r')) {
                clean = raw.toByteArray();
                clean.replace("\r", "");
                line = clean;
            }
            if (line.size() > ConsoleLog::kMaxLineBytes)
                continue;
            const QByteArray name = relativeDemoName(line);
            if (!name.isEmpty())
                names.append(name);
        }
        return names;
    }

private:
    QByteArray m_all;
    qsizetype m_pos = 0;
};

void checkPaths(const QList<QByteArray> &names, const QString &gameDir, int gameType)
{
    const GameInstall game = GameInstall::make(engineprofiles::original(gameType), gameDir, QString(), QString(), {});
    const QString mod = game.engine.baseFolder;
    const std::string root = arbelon::fuzz::normalizedPath(AT_FDCWD, gameDir.toLocal8Bit().constData());
    for (const QByteArray &name : names) {
        QString why;
        const QString path = demoPathFromLine(name, game.recordBase(mod), game, mod, &why);
        if (path.isEmpty())
            continue;
        const std::string clean = arbelon::fuzz::normalizedPath(AT_FDCWD, path.toLocal8Bit().constData());
        if (clean.size() <= root.size() || clean.compare(0, root.size(), root) != 0 || clean[root.size()] != '/')
            fail(QStringLiteral("demo path outside the game directory: ") + path);
        if (!gamelayout::hasDemoExtension(gameType, path))
            fail(QStringLiteral("demo path without a demo extension: ") + path);
        for (const QChar c : path) {
            if (c.unicode() < 0x20)
                fail(QStringLiteral("control character in a demo path"));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir scratch;
    if (!scratch.isValid())
        fail(QStringLiteral("no scratch folder"));
    const QString gameDir = scratch.path() + QStringLiteral("/game/");
    const QString logPath = scratch.filePath(QStringLiteral("qconsole.log"));

    InputStream in(data, size);
    const int gameType = in.byte() & 1;

    QFile writer(logPath);
    if (!writer.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        fail(QStringLiteral("cannot make the log"));
    ConsoleLogReader reader;
    reader.open(logPath);

    ConsoleLog memoryLines; // fed the bytes directly
    ConsoleLog fileLines;   // fed through the reader from the file
    ReferenceLines reference;
    bool rewritten = false; // the file no longer holds what the others were fed

    while (!in.atEnd()) {
        const quint8 op = in.byte() % 3;
        const QByteArrayView bytes = in.take(in.word() % 8192);
        if (op == 0) {
            memoryLines.feed(bytes);
            reference.feed(bytes);
            if (writer.write(bytes.data(), bytes.size()) != bytes.size())
                fail(QStringLiteral("cannot append to the log"));
        } else if (op == 1) {
            const QList<QByteArray> expected = reference.scan();
            const QList<QByteArray> got = memoryLines.scanNewLines();
            if (got != expected)
                fail(QStringLiteral("the scan differs from a line-by-line reading"));
            try {
                reader.readInto(fileLines);
            } catch (const std::exception &e) {
                fail(QStringLiteral("reading the log failed: ") + QString::fromUtf8(e.what()));
            }
            const QList<QByteArray> fromFile = fileLines.scanNewLines();
            if (!rewritten && fromFile != expected)
                fail(QStringLiteral("the log read from its file differs from its bytes"));
            checkPaths(got, gameDir, gameType);
            checkPaths(fromFile, gameDir, gameType);
        } else {
            // The game started a new log: only the file side sees it.
            writer.resize(0);
            writer.seek(0);
            if (writer.write(bytes.data(), bytes.size()) != bytes.size())
                fail(QStringLiteral("cannot rewrite the log"));
            rewritten = true;
        }
    }
    return 0;
}
