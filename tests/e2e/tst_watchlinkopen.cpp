// A watch link opened the way a desktop opens one: xdg-open finds the client through the
// packaged desktop entry, registered in a home of the test's own, and the client, on a virtual
// display, watches the link's game on a real relay. Two games are open, so only the right one
// will do.

#include "common/childprocess.h"
#include "common/testaddress.h"
#include "common/testfiles.h"
#include "relay/relaytestclient.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <unistd.h>

using arbelon::test::RelayTestClient;
using arbelon::test::writeFile;

namespace {

constexpr int kStartMs = 30000;
// The client waits 10 s for a game that is not listed before it says so.
constexpr int kUnlistedMs = 40000;

QString binPath(const QString &name) { return qEnvironmentVariable("ARBELON_BIN_DIR") + QLatin1Char('/') + name; }

// The client that xdg-open starts is in the group of the xdg-open it was started for.
struct Child : arbelon::test::ChildProcess {
    void start(const QString &program, const QStringList &args, const QProcessEnvironment &env)
    {
        ChildProcess::start(program, args, env, QString(), true);
    }
};

} // namespace

class TestWatchLinkOpen : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void firstStartWatchesTheLinkedGame();
    void runningClientTakesTheNextLink();

private:
    // A home with the client's desktop entry registered for arbelon:// and settings that
    // hold a user name and a Quake 2 folder; *env is what xdg-open runs with.
    void prepareHome(const QString &name, const QString &user, QProcessEnvironment *env);
    QString link(int gameId) const
    {
        return QStringLiteral("arbelon://%1:%2/watch/%3").arg(m_address).arg(m_viewerPort).arg(gameId);
    }
    QByteArray entered(const QString &user, int gameId) const
    {
        return QStringLiteral("\"%1\" entered game %2").arg(user).arg(gameId).toUtf8();
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_xdgOpen;
    QString m_display;
    QString m_address;
    quint16 m_viewerPort = 0;
    Child m_xserver;
    Child m_relay;
    RelayTestClient m_first;
    RelayTestClient m_second;
};

void TestWatchLinkOpen::initTestCase()
{
    m_xdgOpen = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (m_xdgOpen.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("update-desktop-database")).isEmpty())
        QSKIP("xdg-open or update-desktop-database is not installed (xdg-utils, desktop-file-utils)");
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
        QSKIP("Xvfb is not installed");
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_display = arbelon::test::startXvfb(m_xserver, QStringLiteral("1024x768x24"), kStartMs);
    QVERIFY2(!m_display.isEmpty(), m_xserver.output.constData());

    // Ports of the system's choice: the link's port is then never the default one.
    m_address = arbelon::test::loopbackAddress(61);
    m_relay.start(binPath(QStringLiteral("arbelon-relay")),
                  {QStringLiteral("--listen"), m_address, QStringLiteral("--viewer-port"), QStringLiteral("0"),
                   QStringLiteral("--filmer-port"), QStringLiteral("0")},
                  QProcessEnvironment::systemEnvironment());
    QVERIFY2(m_relay.waitFor("listening viewer=", kStartMs), m_relay.output.constData());
    QVERIFY(m_relay.waitFor("\n", kStartMs));
    static const QRegularExpression ports(QStringLiteral("listening viewer=(\\d+) filmer=(\\d+)"));
    const QRegularExpressionMatch m = ports.match(QString::fromUtf8(m_relay.output));
    QVERIFY(m.hasMatch());
    m_viewerPort = quint16(m.captured(1).toUInt());
    const quint16 filmerPort = quint16(m.captured(2).toUInt());
    QVERIFY(m_viewerPort != 0 && m_viewerPort != arbelon::kViewerPort);

    QVERIFY(m_first.connectTo(filmerPort, m_address));
    QVERIFY(m_first.openGame("first duel", "filmer1"));
    QVERIFY(m_second.connectTo(filmerPort, m_address));
    QVERIFY(m_second.openGame("second duel", "filmer2"));
    QVERIFY(m_relay.waitFor("game 2", kStartMs));
}

void TestWatchLinkOpen::prepareHome(const QString &name, const QString &user, QProcessEnvironment *env)
{
    const QString home = m_dir->filePath(name);
    const QString data = home + QStringLiteral("/data");
    const QString config = home + QStringLiteral("/config");
    const QString game = home + QStringLiteral("/quake2/");
    for (const QString &dir : {data + QStringLiteral("/applications"), config + QStringLiteral("/Arbelon"),
                               home + QStringLiteral("/bin"), home + QStringLiteral("/run"),
                               home + QStringLiteral("/nodata"), home + QStringLiteral("/noconfig"),
                               game + QStringLiteral("baseq2")})
        QVERIFY(QDir().mkpath(dir));
    QFile::setPermissions(home + QStringLiteral("/run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // The packaged entry, its program named by a path without blanks: xdg-open splits Exec
    // at blanks and honours no quotes.
    const QString program = home + QStringLiteral("/bin/arbelon-client");
    QVERIFY(QFile::link(binPath(QStringLiteral("arbelon-client")), program));
    QFile packaged(QStringLiteral(ARBELON_SOURCE_DIR "/packaging/arbelon-client.desktop"));
    QVERIFY(packaged.open(QIODevice::ReadOnly));
    QByteArray entry = packaged.readAll();
    QVERIFY(entry.contains("\nExec=arbelon-client %u\n"));
    entry.replace("\nExec=arbelon-client ", "\nExec=" + QFile::encodeName(program) + ' ');
    QVERIFY(writeFile(data + QStringLiteral("/applications/arbelon-client.desktop"), entry));

    QVERIFY(writeFile(config + QStringLiteral("/Arbelon/settings.reg"),
                      "Windows Registry Editor Version 5.00\r\n\r\n"
                      "[HKEY_CURRENT_USER\\Arbelon Client\\Setup]\r\n"
                      "\"UserNameEdit\"=\""
                          + user.toUtf8() + "\"\r\n"
                                            "\"Quake2DirectoryEdit\"=\""
                          + QFile::encodeName(game) + "\"\r\n"
                                                      "\"Quake3DirectoryEdit\"=\"\"\r\n"));

    // The generic desktop, nothing of the machine's own: the handler can only come from the
    // entry's MimeType line, through the cache that update-desktop-database makes of it.
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const char *var : {"DESKTOP_SESSION", "KDE_FULL_SESSION", "KDE_SESSION_VERSION", "GNOME_DESKTOP_SESSION_ID",
                            "MATE_DESKTOP_SESSION_ID", "LXQT_SESSION_CONFIG", "BROWSER", "WAYLAND_DISPLAY",
                            "DBUS_SESSION_BUS_ADDRESS", "XDG_MENU_PREFIX"})
        e.remove(QString::fromLatin1(var));
    e.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("X-Generic"));
    e.insert(QStringLiteral("HOME"), home);
    e.insert(QStringLiteral("XDG_DATA_HOME"), data);
    e.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    e.insert(QStringLiteral("XDG_DATA_DIRS"), home + QStringLiteral("/nodata"));
    e.insert(QStringLiteral("XDG_CONFIG_DIRS"), home + QStringLiteral("/noconfig"));
    e.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/run"));
    e.insert(QStringLiteral("DISPLAY"), m_display);
    e.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    *env = e;

    QProcess update;
    update.setProcessEnvironment(e);
    update.setProcessChannelMode(QProcess::MergedChannels);
    update.start(QStringLiteral("update-desktop-database"), {data + QStringLiteral("/applications")});
    QVERIFY(update.waitForFinished(kStartMs));
    QCOMPARE(update.exitCode(), 0);
    QFile cache(data + QStringLiteral("/applications/mimeinfo.cache"));
    QVERIFY(cache.open(QIODevice::ReadOnly));
    QVERIFY(cache.readAll().contains("x-scheme-handler/arbelon=arbelon-client.desktop;"));
}

void TestWatchLinkOpen::firstStartWatchesTheLinkedGame()
{
    QProcessEnvironment env;
    prepareHome(QStringLiteral("first"), QStringLiteral("linkviewer"), &env);
    if (QTest::currentTestFailed())
        return;

    {
        // A malformed link is told (in a box, and on stderr) and connects to nothing.
        Child bad;
        bad.start(m_xdgOpen, {link(2).replace(QStringLiteral("/watch/2"), QStringLiteral("/watch/0"))}, env);
        QVERIFY2(bad.waitFor("Cannot open the link", kStartMs), bad.output.constData());
    }
    QVERIFY(!m_relay.output.contains("\"linkviewer\""));

    // xdg-open waits for the client it starts: it runs until the end of the test.
    Child open;
    open.start(m_xdgOpen, {link(2)}, env);
    QVERIFY2(m_relay.waitFor(entered(QStringLiteral("linkviewer"), 2), kStartMs),
             (m_relay.output + "\n--- xdg-open:\n" + open.output + open.process.readAll()).constData());
    QTRY_VERIFY_WITH_TIMEOUT(m_second.users().contains("linkviewer"), kStartMs);
    QVERIFY(!m_first.users().contains("linkviewer"));
    QVERIFY(!m_relay.output.contains(entered(QStringLiteral("linkviewer"), 1)));
    QCOMPARE(open.process.state(), QProcess::Running);
}

void TestWatchLinkOpen::runningClientTakesTheNextLink()
{
    QProcessEnvironment env;
    prepareHome(QStringLiteral("second"), QStringLiteral("nextviewer"), &env);
    if (QTest::currentTestFailed())
        return;

    // A game the relay does not have: the client connects, waits for it, and says so.
    Child open;
    open.start(m_xdgOpen, {link(3)}, env);
    QVERIFY2(open.waitFor("Game 3 is not on the relay", kUnlistedMs),
             (open.output + "\n--- relay:\n" + m_relay.output).constData());
    QCOMPARE(open.process.state(), QProcess::Running);

    // The next link goes to the client that runs (still connected, in no lobby), and the
    // program that xdg-open started for it ends at once.
    Child next;
    next.start(m_xdgOpen, {link(1)}, env);
    QVERIFY2(next.waitFor("the running client opens the link", kStartMs), next.output.constData());
    // It may have ended already while its output was read.
    QVERIFY(next.process.state() == QProcess::NotRunning || next.process.waitForFinished(kStartMs));
    QCOMPARE(next.process.exitCode(), 0);
    QVERIFY2(m_relay.waitFor(entered(QStringLiteral("nextviewer"), 1), kStartMs), m_relay.output.constData());
    QTRY_VERIFY_WITH_TIMEOUT(m_first.users().contains("nextviewer"), kStartMs);
    QVERIFY(!m_second.users().contains("nextviewer"));
    // Only the first start signed in: the running client kept its session.
    QCOMPARE(m_relay.output.count("\"nextviewer\" signed in"), 1);
}

QTEST_GUILESS_MAIN(TestWatchLinkOpen)
#include "tst_watchlinkopen.moc"
