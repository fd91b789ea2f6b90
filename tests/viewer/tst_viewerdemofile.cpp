// The Viewer's demo file: made only inside the game directory, never over an existing file.

#include "viewerdemofile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace arbelon;

namespace {
QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
} // namespace

class TestViewerDemoFile : public QObject {
    Q_OBJECT

private slots:
    void refusesPathsOutsideTheGameDirectory_data()
    {
        QTest::addColumn<QString>("relative"); // to the game directory
        QTest::newRow("climbs to the parent") << QStringLiteral("../out/x.dm2");
        QTest::newRow("climbs inside the path") << QStringLiteral("baseq2/../../out/x.dm2");
        QTest::newRow("the game directory itself") << QStringLiteral(".");
    }
    void refusesPathsOutsideTheGameDirectory()
    {
        QFETCH(QString, relative);
        QTemporaryDir root;
        const QString game = root.filePath(QStringLiteral("game")) + QLatin1Char('/');
        QVERIFY(QDir().mkpath(game));
        ViewerDemoFile file;
        QVERIFY_THROWS_EXCEPTION(EDemoFileError, file.create(game + relative, game));
        QVERIFY(!file.isOpen());
        QCOMPARE(QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("game")});
    }

    void refusesWithoutGameDirectory()
    {
        ViewerDemoFile file;
        QVERIFY_THROWS_EXCEPTION(EDemoFileError,
                                 file.create(QStringLiteral("baseq2/demos/X.dm2"), QString()));
    }

    void makesMissingFoldersWithParents()
    {
        QTemporaryDir root;
        const QString game = root.path() + QLatin1Char('/');
        const QString path = game + QStringLiteral("ctf/demos/X.dm2");
        ViewerDemoFile file;
        QCOMPARE(file.create(path, game), path);
        QVERIFY(file.isOpen());
        QCOMPARE(QFileInfo(path).size(), 0);
        file.append("abc");
        file.append("defg");
        QCOMPARE(file.size(), 7);
        QCOMPARE(readAll(path), QByteArray("abcdefg"));
    }

    // Whatever holds the name already is left alone; the next free number is taken.
    void neverTouchesWhatExists_data()
    {
        QTest::addColumn<QStringList>("files");   // existing files with content
        QTest::addColumn<QStringList>("folders"); // existing folders
        QTest::addColumn<QString>("expected");
        QTest::newRow("free name") << QStringList{} << QStringList{} << QStringLiteral("X.dm2");
        QTest::newRow("one earlier demo") << QStringList{QStringLiteral("X.dm2")} << QStringList{}
                                          << QStringLiteral("X_2.dm2");
        QTest::newRow("two earlier demos")
            << QStringList{QStringLiteral("X.dm2"), QStringLiteral("X_2.dm2")} << QStringList{}
            << QStringLiteral("X_3.dm2");
        QTest::newRow("a folder of that name") << QStringList{} << QStringList{QStringLiteral("X.dm2")}
                                               << QStringLiteral("X_2.dm2");
    }
    void neverTouchesWhatExists()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, folders);
        QFETCH(QString, expected);
        QTemporaryDir root;
        const QString game = root.path() + QLatin1Char('/');
        const QString demos = game + QStringLiteral("baseq2/demos/");
        QVERIFY(QDir().mkpath(demos));
        for (const QString &name : files) {
            QFile f(demos + name);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(name.toUtf8());
        }
        for (const QString &name : folders)
            QVERIFY(QDir().mkpath(demos + name));

        ViewerDemoFile file;
        QCOMPARE(file.create(demos + QStringLiteral("X.dm2"), game), demos + expected);
        file.append("new");
        file.close();
        QCOMPARE(readAll(demos + expected), QByteArray("new"));
        for (const QString &name : files)
            QCOMPARE(readAll(demos + name), name.toUtf8());
    }

    void danglingLinkIsNotFollowed()
    {
#ifdef Q_OS_WIN
        QSKIP("QFile::link makes a shortcut on Windows; junctions are checked in tst_win32platform");
#else
        QTemporaryDir root;
        const QString game = root.filePath(QStringLiteral("game")) + QLatin1Char('/');
        const QString demos = game + QStringLiteral("baseq2/demos/");
        QVERIFY(QDir().mkpath(demos));
        const QString target = root.filePath(QStringLiteral("outside.dm2"));
        QVERIFY(QFile::link(target, demos + QStringLiteral("X.dm2")));
        ViewerDemoFile file;
        QCOMPARE(file.create(demos + QStringLiteral("X.dm2"), game), demos + QStringLiteral("X_2.dm2"));
        QVERIFY(!QFile::exists(target));
#endif
    }
};

QTEST_GUILESS_MAIN(TestViewerDemoFile)
#include "tst_viewerdemofile.moc"
