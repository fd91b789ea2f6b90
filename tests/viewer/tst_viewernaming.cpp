// Demo names and demo paths as a Viewer makes them.

#include "gameinstall.h"
#include "viewernaming.h"

#include <QTest>

using namespace arbelon;

class TestViewerNaming : public QObject {
    Q_OBJECT

private slots:
    void demoName_data()
    {
        QTest::addColumn<QString>("game");
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QString>("expected");
        const QDateTime feb(QDate(2027, 2, 1), QTime(9, 5, 7));
        const QDateTime dec(QDate(2026, 12, 6), QTime(21, 47, 5));
        QTest::newRow("lower case, zero-padded fields") << QStringLiteral("abc") << feb
                                                        << QStringLiteral("ABC010227_090507");
        QTest::newRow("blank and hash") << QStringLiteral("Duel #3") << dec
                                        << QStringLiteral("DUEL__3061226_214705");
        QTest::newRow("dots, hyphens, blanks")
            << QStringLiteral("a.b-c d") << feb << QStringLiteral("A_B_C_D010227_090507");
        // Only a..z are upper-cased: an accented letter is above 'Z' and becomes '_'.
        QTest::newRow("accented letters")
            << QString::fromLatin1("caf\xe9 \xc9t\xe9") << feb
            << QStringLiteral("CAF___T_010227_090507");
        // ";" would end a console command on the game's command line; ":<>?" are no file names.
        QTest::newRow("codes 58 to 64 replaced")
            << QStringLiteral(":;<=>?@") << feb << QStringLiteral("_______010227_090507");
        QTest::newRow("console commands in the name")
            << QStringLiteral("a;path;unbindall;b") << feb << QStringLiteral("A_PATH_UNBINDALL_B010227_090507");
        QTest::newRow("codes 91 to 126 replaced")
            << QStringLiteral("[\\]^_`{|}~") << feb << QStringLiteral("__________010227_090507");
        QTest::newRow("slashes and nul-free controls")
            << QStringLiteral("../x\t/") << feb << QStringLiteral("___X__010227_090507");
        QTest::newRow("boundaries 0 9 A Z a z")
            << QStringLiteral("09AZaz/") << feb << QStringLiteral("09AZAZ_010227_090507");
        QTest::newRow("empty game name") << QString() << dec << QStringLiteral("061226_214705");
        QTest::newRow("midnight") << QStringLiteral("x")
                                  << QDateTime(QDate(2030, 10, 31), QTime(0, 0, 0))
                                  << QStringLiteral("X311030_000000");
    }
    void demoName()
    {
        QFETCH(QString, game);
        QFETCH(QDateTime, when);
        QFETCH(QString, expected);
        QCOMPARE(viewernaming::demoName(game, when), expected);
    }

    void demoFilePath_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::addColumn<QString>("mod");
        QTest::addColumn<QString>("expected");
        const QString q2 = QStringLiteral("quake2");
        const QString q3 = QStringLiteral("quake3");
        QTest::newRow("quake2 baseq2") << q2 << QStringLiteral("baseq2")
                                       << QStringLiteral("/g/baseq2/demos/N.dm2");
        QTest::newRow("quake2 ctf") << q2 << QStringLiteral("ctf") << QStringLiteral("/g/ctf/demos/N.dm2");
        QTest::newRow("quake2 climbing mod") << q2 << QStringLiteral("../../x")
                                             << QStringLiteral("/g/baseq2/demos/N.dm2");
        QTest::newRow("quake2 mod with blank") << q2 << QStringLiteral("baseq2 +quit")
                                               << QStringLiteral("/g/baseq2/demos/N.dm2");
        QTest::newRow("quake2 empty mod") << q2 << QString() << QStringLiteral("/g/baseq2/demos/N.dm2");
        QTest::newRow("quake3 ignores mod") << q3 << QStringLiteral("osp")
                                            << QStringLiteral("/g/baseq3/demos/N.dm3");
        QTest::newRow("quake3 ignores hostile mod") << q3 << QStringLiteral("../../x")
                                                    << QStringLiteral("/g/baseq3/demos/N.dm3");
        QTest::newRow("openarena") << QStringLiteral("openarena") << QStringLiteral("baseoa")
                                   << QStringLiteral("/g/baseoa/demos/N.dm_71");
        QTest::newRow("ioquake3") << QStringLiteral("ioquake3") << QString()
                                  << QStringLiteral("/g/baseq3/demos/N.dm_68");
        QTest::newRow("yamagi mod") << QStringLiteral("yamagi-quake2") << QStringLiteral("rogue")
                                    << QStringLiteral("/g/rogue/demos/N.dm2");
    }
    void demoFilePath()
    {
        QFETCH(QString, engine);
        QFETCH(QString, mod);
        QFETCH(QString, expected);
        const GameInstall g = GameInstall::make(*engineprofiles::find(engineprofiles::builtIn(), engine),
                                                QStringLiteral("/g"), QString(), QString(), {});
        QCOMPARE(g.demosFolder(mod) + QStringLiteral("N") + g.demoExtension, expected);
    }
};

QTEST_GUILESS_MAIN(TestViewerNaming)
#include "tst_viewernaming.moc"
