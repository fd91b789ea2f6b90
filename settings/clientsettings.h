#pragma once
// The values kept between runs, as the window and the session use them. SettingsStore loads
// them (a missing value takes the default below) and saves them all, except a value that the
// last load could not read and the program has not changed since.

#include <QDir>
#include <QRect>
#include <QString>
#include <QStringList>

namespace arbelon {

struct ClientSettings {
    QString serverIP;                                 // ServerIP
    QString userName;                                 // UserNameEdit, cut to 15 characters when loaded
    int transferRate = 3000;                          // TransferRateSpin, bounded to 0..10000 when loaded
    QString lastEnteredName;                          // LastEnteredName
    QString modTypeSystem = QStringLiteral("baseq2"); // ModTypeSystem: the session's mod
    int gameTypeSystem = 0;                           // GameTypeSystem: the session's game type, 0 Quake 2, 1 Quake 3
    // The game folders, "/" separated (the store keeps the system's separators). Empty: the
    // user does not have that game. The default, the root folder, holds no game: until the
    // user picks one, watching and filming that game are refused (GameInstall::holdsGame).
    QString quake2Dir = QDir::rootPath(); // Quake2DirectoryEdit
    QString quake3Dir = QDir::rootPath(); // Quake3DirectoryEdit
    // Beside the values above: the engine of each game, a native engine's program, and the
    // extension the Viewer gives Quake 3 demos (empty: the engine's own).
    QString quake2Engine = QStringLiteral("quake2"); // Quake2Engine
    QString quake3Engine = QStringLiteral("quake3"); // Quake3Engine
    QString quake2Program;                           // Quake2ProgramEdit
    QString quake3Program;                           // Quake3ProgramEdit
    QString quake3DemoExtension;                     // Quake3DemoExtension
    // The game played live moves on to the Filmer's next demo (1) or stays where it is (0).
    int followDemos = 1; // FollowDemos
    // The servers of the last attempts that started, newest first, no two alike.
    QStringList recentServers; // RecentServers, comma-separated
    // The main window's place and size when it was last closed (null: never kept), and
    // whether it was maximized then; the place is that of the window's frame.
    QRect windowGeometry; // WindowGeometry: "x,y,width,height[,maximized]"
    bool windowMaximized = false;
    // An attempt that gets no answer in this time is given up (not kept in the store).
    int connectTimeoutSeconds = 15;

    // Puts a server at the head of recentServers: a text already there (in any case) moves
    // up, the oldest beyond kMaxRecentServers goes; a blank text or one with a comma (the
    // list's separator, in no host name) is not kept.
    void rememberServer(const QString &server);

    static constexpr int kMaxUserName = 15;
    static constexpr int kMaxTransferRate = 10000;
    static constexpr int kMaxRecentServers = 10;
};

} // namespace arbelon
