// Engine profiles: the built-in engines' layout, the user's profile file, and the program found.

#include "engineprofile.h"
#include "gameinstall.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace arbelon;

namespace {

QString s(const char *text) { return QString::fromLatin1(text); }
QStringList sl(std::initializer_list<const char *> texts)
{
    QStringList out;
    for (const char *t : texts)
        out << s(t);
    return out;
}

EngineProfile builtIn(const char *id) { return *engineprofiles::find(engineprofiles::builtIn(), QString::fromLatin1(id)); }

} // namespace

class TestEngineProfile : public QObject {
    Q_OBJECT
private slots:
    void demoExtensions_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("original q2") << s("quake2") << s("a.dm2") << true;
        QTest::newRow("original q3 dm3") << s("quake3") << s("a.DM3") << true;
        QTest::newRow("original q3 any protocol") << s("quake3") << s("a.dm_71") << true;
        QTest::newRow("original q3 four digits") << s("quake3") << s("a.dm_1000") << false;
        QTest::newRow("openarena dm_71") << s("openarena") << s("demos/a1.dm_71") << true;
        QTest::newRow("openarena dm_68") << s("openarena") << s("a1.dm_68") << false;
        QTest::newRow("openarena dm3") << s("openarena") << s("a1.dm3") << false;
        QTest::newRow("ioquake3 dm_68") << s("ioquake3") << s("x.dm_68") << true;
        QTest::newRow("ioquake3 dm_71") << s("ioquake3") << s("x.dm_71") << true;
        QTest::newRow("yamagi dm2") << s("yamagi-quake2") << s("/home/u/.yq2/baseq2/demos/x.dm2") << true;
        QTest::newRow("extension alone") << s("yamagi-quake2") << s(".dm2") << false;
        QTest::newRow("config file") << s("openarena") << s("autoexec.cfg") << false;
    }
    void demoExtensions()
    {
        QFETCH(QString, engine);
        QFETCH(QString, file);
        QFETCH(bool, accepted);
        QCOMPARE(engineprofiles::acceptsDemo(builtIn(engine.toLatin1().constData()), file), accepted);
    }

    void playback_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::addColumn<QString>("mod");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("original q2 mod") << s("quake2") << s("ctf")
                                         << sl({"+set", "game", "ctf", "+map", "D1.dm2"});
        QTest::newRow("original q2 unsafe mod") << s("quake2") << s("a b")
                                                << sl({"+set", "game", "baseq2", "+map", "D1.dm2"});
        QTest::newRow("yamagi mod") << s("yamagi-quake2") << s("rogue")
                                    << sl({"+set", "game", "rogue", "+map", "D1.dm2"});
        QTest::newRow("yamagi bad mod") << s("yamagi-quake2") << s("../x")
                                        << sl({"+set", "game", "baseq2", "+map", "D1.dm2"});
        QTest::newRow("original q3") << s("quake3") << s("baseq3") << sl({"+demo", "D1.dm3"});
        QTest::newRow("openarena ignores the mod") << s("openarena") << s("cpma") << sl({"+demo", "D1.dm_71"});
        QTest::newRow("quake3e") << s("quake3e") << s("") << sl({"+demo", "D1.dm_68"});
    }
    void playback()
    {
        QFETCH(QString, engine);
        QFETCH(QString, mod);
        QFETCH(QStringList, arguments);
        QCOMPARE(engineprofiles::playArguments(builtIn(engine.toLatin1().constData()), mod, QStringLiteral("D1")),
                 arguments);
    }

    void profileFileErrors_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error"); // empty: the profile is taken
        const QByteArray head = "[engine mine]\nlike = ioquake3\n";
        QTest::newRow("override taken") << head + "viewer-extension = .DM_68\n"
                                        << QString();
        QTest::newRow("comment and blanks") << QByteArray("# mine\n\n") + head << QString();
        QTest::newRow("unknown key") << head + "colour = red\n"
                                     << s("t.conf:3: unknown key \"colour\"");
        QTest::newRow("relative program") << head + "program = bin/q3\n"
                                          << s("t.conf:3: program \"bin/q3\" is neither an absolute path nor a plain name");
        QTest::newRow("climbing data dir") << head + "data-dir = ~/../root\n"
                                           << s("t.conf:3: data-dir must not contain ..");
        const QString relativeDir = s("t.conf:3: data-dir must be absolute or start with ~/, {appdata} or {documents}");
        QTest::newRow("relative data dir") << head + "data-dir = q3\n"
                                           << relativeDir;
        QTest::newRow("glued placeholder") << head + "data-dir = {appdata}Quake3\n"
                                           << relativeDir;
        QTest::newRow("unknown placeholder") << head + "data-dir = {home}/q3\n"
                                             << relativeDir;
        QTest::newRow("climbing placeholder") << head + "data-dir = {documents}/../x\n"
                                              << s("t.conf:3: data-dir must not contain ..");
        QTest::newRow("climbing windows data dir") << head + "data-dir = C:\\q3\\..\\x\n"
                                                   << s("t.conf:3: data-dir must not contain ..");
        QTest::newRow("windows programs") << head
                                                 + "program = C:\\Games\\ioq3\\ioquake3.x86_64.exe D:/q3/quake3e.x64.exe ioquake3.exe\n"
                                          << QString();
        QTest::newRow("climbing windows program") << head + "program = C:\\q3\\..\\cmd.exe\n"
                                                  << s("t.conf:3: program \"C:\\q3\\..\\cmd.exe\" is neither an absolute path nor a plain name");
        // Whatever this system's table holds, a profile file can say again.
        for (const EngineProfile &e : engineprofiles::builtIn()) {
            const QByteArray text = "[engine mine]\nlike = " + e.id.toUtf8() + "\nprogram = "
                                    + e.programs.join(QLatin1Char(' ')).toUtf8() + "\ndata-dir = " + e.dataDir.toUtf8() + "\n";
            QTest::newRow(qPrintable(QStringLiteral("built-in %1 written out").arg(e.id))) << text << QString();
        }
        QTest::newRow("base folder with slash") << head + "base-folder = a/b\n"
                                                << s("t.conf:3: base-folder must be one plain folder name");
        QTest::newRow("log outside") << head + "log-file = ../x.log\n"
                                     << s("t.conf:3: log-file must be a file name inside the game folder");
        QTest::newRow("bad extension") << head + "demo-extensions = .cfg\n"
                                       << s("t.conf:3: demo extension \".cfg\" is not .dm followed by letters, digits or _");
        QTest::newRow("bad game") << head + "game = 4\n"
                                  << s("t.conf:3: game must be 2 or 3");
        QTest::newRow("unknown like") << QByteArray("[engine x]\nlike = nothing\n")
                                      << s("t.conf:2: like: no built-in engine \"nothing\"");
        QTest::newRow("bad section") << QByteArray("[engine My Game]\ntitle = x\n")
                                     << s("t.conf:1: a section reads [engine NAME]");
        QTest::newRow("upper-case name") << QByteArray("[engine MyGame]\n")
                                         << s("t.conf:1: engine name \"MyGame\": use a-z, 0-9 and -");
        QTest::newRow("outside a section") << QByteArray("program = /x\n")
                                           << s("t.conf:1: a line outside an [engine NAME] section");
        QTest::newRow("incomplete new engine") << QByteArray("[engine bare]\nprogram = /usr/bin/bare\n")
                                               << s("t.conf:1: engine bare: no base-folder");
        QTest::newRow("no line end") << QByteArray("[engine mine]\nlike = ioquake3") << QString();
        QTest::newRow("stop line taken") << head + "stop-line = Demo closed.\n"
                                         << QString();
        QTest::newRow("stop line of two lines") << head + "stop-line = a\rb\n"
                                                << s("t.conf:3: stop-line must be one line");
    }
    void profileFileErrors()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        const auto result = engineprofiles::parse(text, QStringLiteral("t.conf"));
        if (error.isEmpty()) {
            QCOMPARE(result.errors, QStringList());
            QCOMPARE(result.profiles.size(), 1);
        } else {
            QVERIFY(!result.errors.isEmpty());
            QCOMPARE(result.errors.first(), error);
            for (const EngineProfile &p : result.profiles)
                QVERIFY(p.id != QLatin1String("mine"));
        }
    }

    // A file overrides a built-in engine key by key and adds new ones after the built-ins.
    void profileFileMerges()
    {
        const auto result = engineprofiles::parse(
            "[engine openarena]\ndata-dir = /srv/oa\nprogram = C:\\OA\\openarena.x86_64.exe\n"
            "[engine cpma]\nlike = quake3e\ntitle = CPMA\nplay = +set fs_game cpma +demo {name}{ext}\n",
            QStringLiteral("t.conf"));
        QCOMPARE(result.errors, QStringList());
        const QList<EngineProfile> all = engineprofiles::merged(result.profiles);
        QCOMPARE(all.size(), engineprofiles::builtIn().size() + 1);
        const EngineProfile oa = *engineprofiles::find(all, QStringLiteral("openarena"));
        QCOMPARE(oa.dataDir, QStringLiteral("/srv/oa"));
        QCOMPARE(oa.programs, QStringList{QStringLiteral("C:/OA/openarena.x86_64.exe")});
        QCOMPARE(oa.baseFolder, QStringLiteral("baseoa"));
        QVERIFY(!oa.builtIn);
        const EngineProfile cpma = all.last();
        QCOMPARE(cpma.id, QStringLiteral("cpma"));
        QCOMPARE(cpma.viewerExtension, QStringLiteral(".dm_68"));
        QCOMPARE(engineprofiles::playArguments(cpma, QString(), QStringLiteral("D")),
                 (sl({"+set", "fs_game", "cpma", "+demo", "D.dm_68"})));
    }

    void programAndDataFolder()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString bin = dir.filePath(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(bin));
        // A ".exe" name, as the native engines have on Windows: there its name lets it run
        // from the start, elsewhere it runs once it is made executable.
        const QString exe = dir.filePath(QStringLiteral("bin/testq3.exe"));
        QFile f(exe);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        QVERIFY(QFile::copy(exe, dir.filePath(QStringLiteral("bin/quake2.exe"))));
        EngineProfile native = builtIn("ioquake3");
        native.programs = {QStringLiteral("C:/nowhere/testq3.exe"), QStringLiteral("testq3.exe")};
        native.dataDir = QStringLiteral("~/.q3a");
        // Found only once it can run.
        QCOMPARE(engineprofiles::findProgram(native, {bin}), QFileInfo(exe).isExecutable() ? exe : QString());
        QVERIFY(f.setPermissions(f.permissions() | QFileDevice::ExeOwner));
        QCOMPARE(engineprofiles::findProgram(native, {QString(), bin}), exe);
        // An engine kept beside its data is not looked for in PATH.
        EngineProfile beside = native;
        beside.dataDir.clear();
        QCOMPARE(engineprofiles::findProgram(beside, {bin}), QString());
        QVERIFY(QFile::setPermissions(dir.filePath(QStringLiteral("bin/quake2.exe")), f.permissions()));
        QCOMPARE(engineprofiles::findProgram(builtIn("quake2"), {bin}), QString());

        QCOMPARE(engineprofiles::dataPath(native, QStringLiteral("/home/u"), exe), QStringLiteral("/home/u/.q3a/"));
        QCOMPARE(engineprofiles::dataPath(native, QString(), exe), QString());
        QCOMPARE(engineprofiles::dataPath(builtIn("quake2"), QStringLiteral("/home/u"), QStringLiteral("/g/q2/quake2.exe")),
                 QStringLiteral("/g/q2/"));

        // PATH is read with this system's separators.
        const QByteArray path = qgetenv("PATH");
        const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
        const QString list = QDir::toNativeSeparators(bin) + QDir::listSeparator() + QDir::listSeparator()
                             + QDir::toNativeSeparators(QStringLiteral("/opt/q3"));
        qputenv("PATH", list.toLocal8Bit());
        QCOMPARE(engineprofiles::pathFolders(), (QStringList{bin, QStringLiteral("/opt/q3")}));
    }

    // Whether a game folder holds the game: entries are made in an empty folder ("x/" a folder,
    // else a file); "not set up" is the empty folder text of "I Dont have ... installed".
    void holdsGame_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("mod");
        QTest::addColumn<bool>("holds");
        QTest::newRow("empty folder") << s("quake2") << QStringList{} << s("baseq2") << false;
        QTest::newRow("not set up") << s("quake2") << sl({"baseq2/", "quake2.exe"}) << s("-") << false;
        QTest::newRow("base game folder") << s("quake2") << sl({"baseq2/"}) << s("ctf") << true;
        QTest::newRow("mod folder alone") << s("quake2") << sl({"ctf/"}) << s("ctf") << true;
        QTest::newRow("the other game's folder") << s("quake2") << sl({"baseq3/", "quake3.exe"}) << s("baseq2") << false;
        QTest::newRow("program beside") << s("quake2") << sl({"quake2.exe"}) << s("baseq2") << true;
        QTest::newRow("folder named as the program") << s("quake2") << sl({"quake2.exe/"}) << s("baseq2") << false;
        QTest::newRow("file named as the game folder") << s("quake2") << sl({"baseq2"}) << s("baseq2") << false;
        QTest::newRow("quake 3 folder") << s("quake3") << sl({"baseq3/"}) << QString() << true;
        QTest::newRow("quake 3 mod folder alone") << s("quake3") << sl({"cpma/"}) << s("cpma") << false;
        QTest::newRow("native engine's game folder") << s("openarena") << sl({"baseoa/", "x"}) << QString() << true;
        // "~": the engine's own data folder, in a home where it has never run.
        QTest::newRow("native engine before its first run") << s("openarena") << QStringList{} << s("~") << true;
    }
    void holdsGame()
    {
        QFETCH(QString, engine);
        QFETCH(QStringList, entries);
        QFETCH(QString, mod);
        QFETCH(bool, holds);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (const QString &e : entries) {
            if (e.endsWith(QLatin1Char('/'))) {
                QVERIFY(QDir(dir.path()).mkpath(e));
            } else {
                QFile f(dir.filePath(e));
                QVERIFY(f.open(QIODevice::WriteOnly));
            }
        }
        const EngineProfile profile = builtIn(engine.toLatin1().constData());
        const QString program = s("/nowhere/bin/game");
        const QByteArray home = qgetenv("HOME");
        if (mod == QLatin1String("~"))
            qputenv("HOME", dir.filePath(s("home")).toLocal8Bit());
        const QString data = mod == QLatin1String("-")   ? QString()
                             : mod == QLatin1String("~") ? engineprofiles::dataPath(profile, QDir::homePath(), program)
                                                         : dir.path();
        const GameInstall game = GameInstall::make(profile, data, program, QString(), {});
        const bool held = game.holdsGame(mod == QLatin1String("~") ? QString() : mod);
        qputenv("HOME", home);
        QCOMPARE(held, holds);
    }

    // The data folder of a profile file's data-dir, as the parser stores it and dataPath()
    // resolves it for home "/home/u" and the given program.
    void dataFolder_data()
    {
        QTest::addColumn<QString>("dataDir");
        QTest::addColumn<QByteArray>("appData"); // null: APPDATA unset
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("expected");
        const QString program = s("/g/bin/q3");
        const QByteArray roaming("/r/Roaming");
        const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        QTest::newRow("home") << s("~/.q3a") << roaming << program << s("/home/u/.q3a/");
        QTest::newRow("absolute") << s("/srv/q3/") << roaming << program << s("/srv/q3/");
        QTest::newRow("drive") << s("D:/Games/Quake3") << roaming << program << s("D:/Games/Quake3/");
        QTest::newRow("drive backslashes") << s("D:\\Games\\Quake3") << roaming << program << s("D:/Games/Quake3/");
        QTest::newRow("appdata") << s("{appdata}/Quake3") << roaming << program << s("/r/Roaming/Quake3/");
        QTest::newRow("appdata alone") << s("{appdata}") << roaming << program << s("/r/Roaming/");
        QTest::newRow("appdata as windows has it") << s("{appdata}\\OpenArena")
                                                   << QByteArray("C:\\Users\\u\\AppData\\Roaming\\") << program << s("C:/Users/u/AppData/Roaming/OpenArena/");
        QTest::newRow("appdata unset") << s("{appdata}/Quake3") << QByteArray() << program
                                       << s("/home/u/AppData/Roaming/Quake3/");
        QTest::newRow("appdata relative") << s("{appdata}/Quake3") << QByteArray("Roaming") << program
                                          << s("/home/u/AppData/Roaming/Quake3/");
        QTest::newRow("documents") << s("{documents}/YamagiQ2") << roaming << program
                                   << (documents.isEmpty() ? QString() : documents + s("/YamagiQ2/"));
        QTest::newRow("beside the program") << QString() << roaming << program << s("/g/bin/");
        QTest::newRow("beside a windows program") << QString() << roaming << s("C:/Games/Quake3/quake3e.x64.exe")
                                                  << s("C:/Games/Quake3/");
        QTest::newRow("beside no program") << QString() << roaming << QString() << QString();
    }
    void dataFolder()
    {
        QFETCH(QString, dataDir);
        QFETCH(QByteArray, appData);
        QFETCH(QString, program);
        QFETCH(QString, expected);
        const bool hadAppData = qEnvironmentVariableIsSet("APPDATA");
        const QByteArray oldAppData = qgetenv("APPDATA");
        const auto restore = qScopeGuard([&] {
            if (hadAppData)
                qputenv("APPDATA", oldAppData);
            else
                qunsetenv("APPDATA");
        });
        if (appData.isNull())
            qunsetenv("APPDATA");
        else
            qputenv("APPDATA", appData);
        const auto result = engineprofiles::parse("[engine mine]\nlike = ioquake3\ndata-dir = " + dataDir.toUtf8() + "\n",
                                                  QStringLiteral("t.conf"));
        QCOMPARE(result.errors, QStringList());
        QCOMPARE(result.profiles.size(), 1);
        QCOMPARE(engineprofiles::dataPath(result.profiles.first(), QStringLiteral("/home/u"), program), expected);
    }
};

QTEST_GUILESS_MAIN(TestEngineProfile)
#include "tst_engineprofile.moc"
