// Engine profiles: the built-in engines' layout, the user's profile file, and the program found.

#include "engineprofile.h"

#include <QDir>
#include <QFile>
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
        QTest::newRow("override taken") << head + "viewer-extension = .DM_68\n" << QString();
        QTest::newRow("comment and blanks") << QByteArray("# mine\n\n") + head << QString();
        QTest::newRow("unknown key") << head + "colour = red\n" << s("t.conf:3: unknown key \"colour\"");
        QTest::newRow("relative program") << head + "program = bin/q3\n"
            << s("t.conf:3: program \"bin/q3\" is neither an absolute path nor a plain name");
        QTest::newRow("climbing data dir") << head + "data-dir = ~/../root\n" << s("t.conf:3: data-dir must not contain ..");
        QTest::newRow("relative data dir") << head + "data-dir = q3\n" << s("t.conf:3: data-dir must be absolute or start with ~/");
        QTest::newRow("base folder with slash") << head + "base-folder = a/b\n"
            << s("t.conf:3: base-folder must be one plain folder name");
        QTest::newRow("log outside") << head + "log-file = ../x.log\n"
            << s("t.conf:3: log-file must be a file name inside the game folder");
        QTest::newRow("bad extension") << head + "demo-extensions = .cfg\n"
            << s("t.conf:3: demo extension \".cfg\" is not .dm followed by letters, digits or _");
        QTest::newRow("bad game") << head + "game = 4\n" << s("t.conf:3: game must be 2 or 3");
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
            "[engine openarena]\ndata-dir = /srv/oa\n"
            "[engine cpma]\nlike = quake3e\ntitle = CPMA\nplay = +set fs_game cpma +demo {name}{ext}\n",
            QStringLiteral("t.conf"));
        QCOMPARE(result.errors, QStringList());
        const QList<EngineProfile> all = engineprofiles::merged(result.profiles);
        QCOMPARE(all.size(), engineprofiles::builtIn().size() + 1);
        const EngineProfile oa = *engineprofiles::find(all, QStringLiteral("openarena"));
        QCOMPARE(oa.dataDir, QStringLiteral("/srv/oa"));
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
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("bin")));
        const QString exe = dir.filePath(QStringLiteral("bin/quake3e"));
        QFile f(exe);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        const EngineProfile q3e = builtIn("quake3e");
        // Found only once it can run.
        QCOMPARE(engineprofiles::findProgram(q3e, {dir.filePath(QStringLiteral("bin"))}), QString());
        QVERIFY(f.setPermissions(f.permissions() | QFileDevice::ExeOwner));
        QCOMPARE(engineprofiles::findProgram(q3e, {QString(), dir.filePath(QStringLiteral("bin"))}), exe);
        QCOMPARE(engineprofiles::findProgram(builtIn("quake2"), {dir.filePath(QStringLiteral("bin"))}), QString());

        QCOMPARE(engineprofiles::dataPath(q3e, QStringLiteral("/home/u"), exe), QStringLiteral("/home/u/.q3a/"));
        QCOMPARE(engineprofiles::dataPath(q3e, QString(), exe), QString());
        QCOMPARE(engineprofiles::dataPath(builtIn("quake2"), QStringLiteral("/home/u"), QStringLiteral("/g/q2/quake2.exe")),
                 QStringLiteral("/g/q2/"));
    }
};

QTEST_GUILESS_MAIN(TestEngineProfile)
#include "tst_engineprofile.moc"
