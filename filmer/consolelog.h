#pragma once
// The game's console output as the Filmer sees it: bytes split into lines (line feed ends a
// line, carriage returns dropped, an unfinished line kept for the next read), and the scan of
// new lines for "recording to" announcements and the engine's stop line, in their order.
//
// A console log can reach tens of megabytes in a long session, so the lines themselves are not
// kept: only their count, and the announcement lines that have not been scanned yet. What the
// scan reports is the same as if every line were kept.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QtGlobal>

namespace arbelon {

struct GameInstall;

// One line of the log that matters to the upload.
struct DemoLogEvent {
    enum Kind { Recording,
                Stopped };
    Kind kind = Recording;
    QByteArray name; // Recording: the relative demo name, see relativeDemoName()

    friend bool operator==(const DemoLogEvent &, const DemoLogEvent &) = default;
};

class ConsoleLog {
public:
    // A line longer than this cannot name a demo file; only its start is looked at.
    static constexpr qsizetype kMaxLineBytes = 4096;
    // Announcements held between two scans: the Filmer takes no more demos than this, so a
    // log full of announcements costs no more memory than this many lines.
    static constexpr qsizetype kMaxAnnouncements = 1000;

    // The text that starts the engine's line at the end of a recording ("Stopped demo.");
    // empty: no line is taken as one. Set before lines are fed.
    void setStopLine(const QByteArray &text);

    // ---- lines ----
    // The log was opened or closed: the lines and the unfinished line are dropped. Lines
    // scanned is left alone (it is reset only when a Filmer session starts).
    void clear();
    // The log was rewritten under us: the unfinished line belonged to the old content.
    void dropPartialLine();
    // Takes the next bytes read from the log.
    void feed(QByteArrayView bytes);

    // Complete lines since the log was opened.
    qint64 lineCount() const { return m_count; }
    // Characters have come after the last line end.
    bool hasPartialLine() const { return m_partialStarted; }
    // Announcement and stop lines held for the next scan.
    qsizetype heldAnnouncements() const { return m_candidates.size(); }

    // ---- scan ----
    qint64 linesScanned() const { return m_scanned; }
    void resetScanned() { m_scanned = 0; }
    // Scans the lines not scanned yet (only when the line count differs from lines scanned)
    // and returns the recordings they announce and the stop lines, in the log's order.
    QList<DemoLogEvent> scanNewEvents();
    // The same scan, only the relative demo names announced. See relativeDemoName().
    QList<QByteArray> scanNewLines();

private:
    struct Candidate {
        qint64 index;
        bool stop;
        QByteArray text;
    };
    void appendToPartial(const char *begin, const char *end);
    void endLine();

    qint64 m_count = 0;
    qint64 m_scanned = 0;
    QByteArray m_stopLine;
    QList<Candidate> m_candidates; // complete announcement and stop lines, unscanned
    QByteArray m_partial;          // carriage returns already dropped
    bool m_partialStarted = false;
    bool m_mayRecord = true; // may still be an announcement (its start, not too long)
    bool m_mayStop = false;  // has begun as the stop line does
    bool m_isStop = false;   // begins with the whole stop line
};

// The name that a console line announces, or empty when it announces none: the line must
// begin with the exact characters "recording to"; the name is the rest after the first 13
// characters; a rest of 2 characters or fewer names nothing; a leading full stop removes the
// first two characters ("./"); one trailing full stop, which the games print after the name,
// is dropped.
QByteArray relativeDemoName(QByteArrayView line);

// The full path of an announced demo: an absolute name as it is, a relative one after
// recordBase. Empty, with the reason in why, unless the path, symlinks followed, lies inside one
// of the game's demos folders, has one of its engine's demo extensions and is a regular file
// where it exists already: a game server can print any line into the console.
QString demoPathFromLine(QByteArrayView name, const QString &recordBase, const GameInstall &game,
                         const QString &mod, QString *why);

} // namespace arbelon
