#pragma once
// Command-line options of the stand-in game, checked so that nothing is written outside
// the game directory whatever is passed.

#include <QString>
#include <QStringList>

#include <optional>

namespace arbelon {

struct StandinOptions {
    int game = 2;        // 2 = Quake 2, 3 = Quake 3
    QString gameDir;     // the folder that holds the game's executable, absolute
    QString mod;         // game data folder; Quake 3 always uses baseq3
    QString source;      // demo bytes to record; empty: nothing is recorded
    qint64 rate = 8000;  // bytes a second written to the demo file
    qint64 block = 1000; // bytes written (and flushed) at once
    QString name = QStringLiteral("demo1");
    QString ext = QStringLiteral("dm3"); // Quake 3 only; Quake 2 demos are always .dm2
    bool lf = false;                     // LF line ends in the console log instead of CR LF
    int delayStartMs = 0;                // wait before recording
    int lingerMs = 3000;                 // keep running after the demo is complete; -1: until killed
    bool noWindow = false;
    QString recordLaunch; // extra file that gets the launch record
};

struct StandinParseResult {
    std::optional<StandinOptions> options;
    QString error; // set when options is empty
};

// The game an executable name stands for: 2 for "quake2.exe", 3 for "quake3.exe" (any case),
// 0 for any other name.
int gameForExecutableName(const QString &fileName);

// Parses args (args[0] is the program). When launchedAsGame is 2 or 3 the program runs as
// that game installed in exeDir: game and directory are fixed, the game's own arguments
// ("+set game ctf +map x.dm2") are accepted and unknown options ignored, as a game would.
StandinParseResult parseStandinOptions(const QStringList &args, int launchedAsGame,
                                       const QString &exeDir);

// A name usable as one folder or file name: letters, digits, "_", "-", ".", not starting
// with ".", 1 to maxLength characters.
bool isPlainName(const QString &name, int maxLength);

} // namespace arbelon
