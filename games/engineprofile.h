#pragma once
// What the client must know of one game engine: where its program, data, console log and demos
// are, how its logging is switched on, what its "recording to" and stop lines and demo files look like,
// how a demo is played, and how the running game is recognised. The two Windows programs keep
// their fixed layout; the native engines keep their data under the user's home or profile
// folders (which ones depends on the system: nativeengines.h).

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace arbelon {

struct EngineProfile {
    QString id;              // "openarena": lower case, digits, "-"
    QString title;           // "OpenArena"
    int gameType = 0;        // 0 Quake 2, 1 Quake 3
    QStringList programs;    // "/...", "C:/..." or names looked up in PATH; the first found wins
    QStringList arguments;   // always given before the playback arguments
    QString dataDir;         // "~/.openarena", "{appdata}/OpenArena"; empty: the program's own folder
    QString baseFolder;      // the game folder without a mod: "baseoa"
    bool modFolders = false; // a mod names its own game folder (Quake 2 engines)
    QString logFile;         // the console log, inside the game folder
    QByteArray loggingLine;  // the autoexec line that switches the log on
    // What the engine prints at the start of a console line when a recording ends; empty: it
    // prints nothing, and a demo ends only with the next recording or the game.
    QByteArray stopLine;
    // What a relative "recording to" path starts from: the data folder ("./baseq2/demos/x.dm2")
    // or the game folder ("demos/x.dm_71"). An absolute path stands for itself.
    enum class RecordBase { DataFolder,
                            GameFolder };
    RecordBase recordBase = RecordBase::GameFolder;
    QStringList demoExtensions; // accepted from the log, lower case with the dot; ".dm_NN": any protocol
    QString viewerExtension;    // what the Viewer writes and plays
    QStringList playArguments;  // {mod}, {name}, {ext} are filled in
    QStringList processNames;   // the running game's process (executable file name)
    QStringList windowClasses;  // its window's WM_CLASS (instance or class)
    QString windowTitle;        // or its exact window title
    bool builtIn = true;
};

namespace engineprofiles {

// The engines the client knows without a profile file.
const QList<EngineProfile> &builtIn();

// The built-in engine that behaves as the Windows program of the game type did.
const EngineProfile &original(int gameType);

struct ParseResult {
    QList<EngineProfile> profiles;
    QStringList errors; // "FILE:LINE: what is wrong"; a profile with an error is not taken
};

// Reads a profile file: "[engine ID]" sections of "key = value" lines, "#" comments. A section
// whose ID is built in starts from that profile and overrides what it names; a new one starts
// from the built-in profile named by its "like" key, else from nothing.
ParseResult parse(const QByteArray &text, const QString &fileName);

// Reads a profile file; a file that does not exist gives no profiles and no errors.
ParseResult loadFile(const QString &path);
// Where the user's profile file is: "Arbelon/engines.conf" in the configuration folder.
QString userFilePath();

// The built-in profiles with the file's profiles put over them, in a stable order.
QList<EngineProfile> merged(const QList<EngineProfile> &fromFile);

std::optional<EngineProfile> find(const QList<EngineProfile> &profiles, const QString &id);

// The folders of $PATH ("/" separated), where programs named without a folder are looked for.
QStringList pathFolders();

// The engine's program on this machine: an absolute path that exists and can run, else the
// first name found in the PATH folders (never a ".exe" of an engine kept beside its data: that
// one is in the game folder the user names). Empty when the engine is not installed.
QString findProgram(const EngineProfile &profile, const QStringList &pathFolders);

// The folder that holds the engine's game folders, "/" separated with a final "/": "~" is the
// home folder, "{appdata}" the roaming application data folder (%APPDATA%, else
// home/AppData/Roaming), "{documents}" the Documents folder. An engine without a data folder
// of its own uses the program's folder. Empty when the folder cannot be known.
QString dataPath(const EngineProfile &profile, const QString &home, const QString &programPath);

// The game folder a session of this mod uses: the mod itself for engines whose mods are
// folders (and a mod that is a plain folder name), else the base folder.
QString gameFolder(const EngineProfile &profile, const QString &mod);

// Whether a file name carries one of the engine's demo extensions (case-insensitive).
bool acceptsDemo(const EngineProfile &profile, const QString &fileName);

// The arguments that play the named demo (name without extension; ext empty: the engine's).
QStringList playArguments(const EngineProfile &profile, const QString &mod, const QString &name,
                          const QString &ext = QString());

} // namespace engineprofiles
} // namespace arbelon
