// The game-running check against real processes and, where Xvfb is installed, a real X
// server with windows made by the test and by the stand-in game.

#include "gamerunning.h"
#include "processfinder.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <vector>

using arbelon::SystemGameRunningCheck;

namespace {

QString standinPath()
{
    return QDir(qEnvironmentVariable("ARBELON_BIN_DIR"))
        .filePath(QStringLiteral("arbelon-standin-game"));
}

// A stand-in game started under an executable name of the test's choice.
class GameProcess {
public:
    bool start(const QString &exeName, const QStringList &args, const QProcessEnvironment &env)
    {
        if (!m_dir.isValid() || !QFile::copy(standinPath(), m_dir.filePath(exeName)))
            return false;
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start(m_dir.filePath(exeName), args);
        return m_process.waitForStarted(10000);
    }
    // True once the game has printed its start-up lines: it runs under its name by then.
    bool upAndRunning()
    {
        m_out += m_process.readAllStandardOutput();
        return m_out.contains("execing autoexec.cfg");
    }
    bool stop()
    {
        m_process.kill();
        return m_process.waitForFinished(10000);
    }
    ~GameProcess()
    {
        if (m_process.state() != QProcess::NotRunning)
            stop();
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_out;
};

QProcessEnvironment environmentWithout(const QString &name)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(name);
    return env;
}

const QStringList kRunUntilKilled{QStringLiteral("--linger"), QStringLiteral("-1")};

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

// The test's own client of the X server: makes windows with the titles under test.
class WindowMaker {
public:
    explicit WindowMaker(const QByteArray &display)
    {
        m_conn = xcb_connect(display.constData(), nullptr);
        if (xcb_connection_has_error(m_conn))
            return;
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_conn)).data->root;
        m_netWmName = atom("_NET_WM_NAME");
        m_utf8 = atom("UTF8_STRING");
        m_clientList = atom("_NET_CLIENT_LIST");
    }
    ~WindowMaker()
    {
        xcb_disconnect(m_conn);
    }
    bool ok() const { return m_root != 0 && !xcb_connection_has_error(m_conn); }
    xcb_window_t root() const { return m_root; }

    xcb_window_t window(xcb_window_t parent)
    {
        const xcb_window_t id = xcb_generate_id(m_conn);
        xcb_create_window(m_conn, XCB_COPY_FROM_PARENT, id, parent, 0, 0, 50, 50, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
        xcb_map_window(m_conn, id);
        m_made.push_back(id);
        return id;
    }
    void setNetName(xcb_window_t w, const QByteArray &title, bool utf8 = true)
    {
        xcb_change_property(m_conn, XCB_PROP_MODE_REPLACE, w, m_netWmName,
                            utf8 ? m_utf8 : xcb_atom_t(XCB_ATOM_STRING), 8,
                            std::uint32_t(title.size()), title.constData());
    }
    void setName(xcb_window_t w, const QByteArray &title)
    {
        xcb_change_property(m_conn, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING,
                            8, std::uint32_t(title.size()), title.constData());
    }
    void setClass(xcb_window_t w, const QByteArray &instanceAndClass)
    {
        xcb_change_property(m_conn, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                            std::uint32_t(instanceAndClass.size()), instanceAndClass.constData());
    }
    // Plays a window manager that lists its clients on the root window.
    void setClientList(const std::vector<xcb_window_t> &windows)
    {
        xcb_change_property(m_conn, XCB_PROP_MODE_REPLACE, m_root, m_clientList, XCB_ATOM_WINDOW,
                            32, std::uint32_t(windows.size()), windows.data());
    }
    void clear()
    {
        // The first window made in a row is the outermost; destroying it takes its children.
        for (const xcb_window_t w : m_made)
            xcb_destroy_window(m_conn, w);
        m_made.clear();
        xcb_delete_property(m_conn, m_root, m_clientList);
        sync();
    }
    // Returns once the server has carried out every request sent before.
    void sync()
    {
        xcb_generic_error_t *error = nullptr;
        std::unique_ptr<void, FreeDeleter> reply(
            xcb_get_input_focus_reply(m_conn, xcb_get_input_focus(m_conn), &error));
        std::free(error);
        while (xcb_generic_event_t *e = xcb_poll_for_event(m_conn))
            std::free(e);
    }

private:
    xcb_atom_t atom(const char *name)
    {
        std::unique_ptr<xcb_intern_atom_reply_t, FreeDeleter> reply(xcb_intern_atom_reply(
            m_conn, xcb_intern_atom(m_conn, 0, std::uint16_t(qstrlen(name)), name), nullptr));
        return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    }

    xcb_connection_t *m_conn = nullptr;
    xcb_window_t m_root = 0;
    xcb_atom_t m_netWmName = 0;
    xcb_atom_t m_utf8 = 0;
    xcb_atom_t m_clientList = 0;
    std::vector<xcb_window_t> m_made;
};

} // namespace

class TestGameRunning : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void processWithoutDisplay_data();
    void processWithoutDisplay();
    void processOwner_data();
    void processOwner();
    void windowTitles_data();
    void windowTitles();
    void nativeEngine_data();
    void nativeEngine();
    void standinWindow_data();
    void standinWindow();
    void displayGoesAway();

private:
    void needDisplay();

    std::unique_ptr<QProcess> m_xserver;
    QByteArray m_display; // ":N" of the test's own X server, empty without one
    QString m_xserverError;
};

void TestGameRunning::initTestCase()
{
    QVERIFY2(QFileInfo(standinPath()).isExecutable(), qPrintable(standinPath()));
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty())
        return;
    // The server picks a free display number itself and writes it out once it accepts
    // clients, so parallel runs never fight over one.
    m_xserver = std::make_unique<QProcess>();
    m_xserver->start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"),
                            QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-noreset"),
                            QStringLiteral("-screen"), QStringLiteral("0"),
                            QStringLiteral("640x480x24")});
    QByteArray out;
    if (m_xserver->waitForStarted(10000)) {
        for (int i = 0; i < 300 && !out.contains('\n') && m_xserver->state() == QProcess::Running;
             ++i) {
            m_xserver->waitForReadyRead(100);
            out += m_xserver->readAllStandardOutput();
        }
    }
    // A server that is installed but does not come up fails the display tests, not all.
    if (out.contains('\n'))
        m_display = ':' + out.trimmed();
    else
        m_xserverError = QStringLiteral("Xvfb did not start: ")
                         + QString::fromLocal8Bit(m_xserver->readAllStandardError());
}

void TestGameRunning::cleanupTestCase()
{
    if (m_xserver && m_xserver->state() != QProcess::NotRunning) {
        m_xserver->terminate();
        if (!m_xserver->waitForFinished(10000))
            m_xserver->kill();
    }
}

void TestGameRunning::needDisplay()
{
    if (!m_xserver)
        QSKIP("Xvfb is not installed");
    QVERIFY2(!m_display.isEmpty(), qPrintable(m_xserverError));
    QVERIFY2(m_xserver->state() == QProcess::Running, "the X server has gone");
    qputenv("DISPLAY", m_display);
}

void TestGameRunning::processWithoutDisplay_data()
{
    QTest::addColumn<QString>("exeName");
    QTest::addColumn<int>("gameType");
    QTest::addColumn<bool>("running");

    QTest::newRow("quake2.exe is Quake 2") << QStringLiteral("quake2.exe") << 0 << true;
    QTest::newRow("quake3.exe is Quake 3") << QStringLiteral("quake3.exe") << 1 << true;
    QTest::newRow("quake2.exe is not Quake 3") << QStringLiteral("quake2.exe") << 1 << false;
    QTest::newRow("quake3.exe is not Quake 2") << QStringLiteral("quake3.exe") << 0 << false;
    QTest::newRow("name in capitals") << QStringLiteral("QUAKE2.EXE") << 0 << true;
    QTest::newRow("longer name") << QStringLiteral("quake2.exe.old") << 0 << false;
    QTest::newRow("name with prefix") << QStringLiteral("myquake2.exe") << 0 << false;
    QTest::newRow("name without extension") << QStringLiteral("quake2") << 0 << false;
    QTest::newRow("unknown game type") << QStringLiteral("quake2.exe") << 2 << false;
}

void TestGameRunning::processWithoutDisplay()
{
    QFETCH(QString, exeName);
    QFETCH(int, gameType);
    QFETCH(bool, running);

    qunsetenv("DISPLAY");
    SystemGameRunningCheck check;
    QVERIFY(!check.isRunning(gameType));

    GameProcess game;
    // Names the stand-in does not take for a game need to be told which one to play.
    QVERIFY(game.start(exeName, kRunUntilKilled + QStringList{QStringLiteral("--no-window")},
                       environmentWithout(QStringLiteral("DISPLAY"))));
    QTRY_VERIFY_WITH_TIMEOUT(game.upAndRunning(), 20000);
    QCOMPARE(check.isRunning(gameType), running);
    QVERIFY(!check.lastAnswerFromDisplay());

    QVERIFY(game.stop());
    QVERIFY(!check.isRunning(gameType));
}

void TestGameRunning::processOwner_data()
{
    // "self" stands for this process's own /proc status; the uid asked about is this user's.
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<bool>("owned");

    const QByteArray me = QByteArray::number(::getuid());
    const QByteArray other = QByteArray::number(::getuid() + 1);
    QTest::newRow("this process") << QByteArray("self") << true;
    QTest::newRow("same user") << "Name:\tioq3\nUid:\t" + me + "\t" + me + "\t" + me + "\t" + me + "\nGid:\t5\n"
                               << true;
    QTest::newRow("another user") << "Name:\tioq3\nUid:\t" + other + "\t" + other + "\t" + other + "\t" + other + "\n"
                                  << false;
    QTest::newRow("another user, made this one") << "Uid:\t" + other + "\t" + me + "\t" + me + "\t" + me + "\n"
                                                 << false;
    QTest::newRow("no Uid line") << QByteArray("Name:\tioq3\nGid:\t0\n") << false;
    QTest::newRow("Uid not a number") << QByteArray("Uid:\tme\tme\n") << false;
    QTest::newRow("empty status (process gone)") << QByteArray() << false;
}

void TestGameRunning::processOwner()
{
    QFETCH(QByteArray, status);
    QFETCH(bool, owned);
    if (status == "self") {
        QFile self(QStringLiteral("/proc/self/status"));
        QVERIFY(self.open(QIODevice::ReadOnly));
        status = self.readAll();
    }
    QCOMPARE(arbelon::procStatusOwnedBy(status, uint(::getuid())), owned);
}

void TestGameRunning::windowTitles_data()
{
    QTest::addColumn<QByteArray>("netName"); // _NET_WM_NAME; null: not set
    QTest::addColumn<QByteArray>("name");    // WM_NAME; null: not set
    QTest::addColumn<QString>("placement");
    QTest::addColumn<int>("gameType");
    QTest::addColumn<bool>("found");

    const QString root = QStringLiteral("root child");
    const QByteArray q2("Quake 2");
    const QByteArray q3("Quake 3: Arena");
    QTest::newRow("utf-8 name exact") << q2 << QByteArray() << root << 0 << true;
    QTest::newRow("old name exact") << QByteArray() << q2 << root << 0 << true;
    QTest::newRow("both names exact") << q2 << q2 << root << 0 << true;
    QTest::newRow("trailing blank") << QByteArray("Quake 2 ") << QByteArray("Quake 2 ") << root
                                    << 0 << false;
    QTest::newRow("old name trailing blank") << QByteArray() << QByteArray("Quake 2 ") << root
                                             << 0 << false;
    QTest::newRow("lower case") << QByteArray("quake 2") << QByteArray("quake 2") << root << 0
                                << false;
    QTest::newRow("longer title") << QByteArray("Quake 2 Editor") << QByteArray() << root << 0
                                  << false;
    QTest::newRow("shorter title") << QByteArray("Quake") << QByteArray("Quake") << root << 0
                                   << false;
    QTest::newRow("quake 3 exact") << q3 << q3 << root << 1 << true;
    QTest::newRow("quake 3 old name exact") << QByteArray() << q3 << root << 1 << true;
    QTest::newRow("quake 3 title is not quake 2") << q3 << q3 << root << 0 << false;
    QTest::newRow("quake 2 title is not quake 3") << q2 << q2 << root << 1 << false;
    QTest::newRow("utf-8 name takes precedence") << QByteArray("Quake 2 (paused)") << q2 << root
                                                 << 0 << false;
    // Some toolkits set _NET_WM_NAME as a Latin-1 STRING: it is no UTF-8 name, WM_NAME decides.
    const QString latin1 = QStringLiteral("root child, Latin-1 net name");
    QTest::newRow("net name not utf-8, old name exact") << q2 << q2 << latin1 << 0 << true;
    QTest::newRow("net name not utf-8, no old name") << q2 << QByteArray() << latin1 << 0 << false;
    QTest::newRow("inside a frame") << q2 << QByteArray() << QStringLiteral("frame") << 0 << true;
    QTest::newRow("listed by a window manager") << q2 << QByteArray()
                                                << QStringLiteral("deep listed") << 0 << true;
    QTest::newRow("deep and unlisted") << q2 << QByteArray() << QStringLiteral("deep") << 0
                                       << false;
}

void TestGameRunning::windowTitles()
{
    QFETCH(QByteArray, netName);
    QFETCH(QByteArray, name);
    QFETCH(QString, placement);
    QFETCH(int, gameType);
    QFETCH(bool, found);

    needDisplay();
    WindowMaker maker(m_display);
    QVERIFY(maker.ok());
    SystemGameRunningCheck check;
    QVERIFY(!check.isRunning(gameType));
    QVERIFY(check.lastAnswerFromDisplay());

    // A frame as a reparenting window manager makes; deeper levels as a toolkit might.
    xcb_window_t w = maker.window(maker.root());
    if (!placement.startsWith(QLatin1String("root child")))
        w = maker.window(w);
    if (placement.startsWith(QLatin1String("deep")))
        w = maker.window(w);
    if (placement == QLatin1String("deep listed"))
        maker.setClientList({w});
    if (!netName.isNull())
        maker.setNetName(w, netName, !placement.contains(QLatin1String("Latin-1")));
    if (!name.isNull())
        maker.setName(w, name);
    maker.sync();

    QCOMPARE(check.isRunning(gameType), found);
    QVERIFY(check.lastAnswerFromDisplay());

    maker.clear();
    QVERIFY(!check.isRunning(gameType));
}

void TestGameRunning::nativeEngine_data()
{
    QTest::addColumn<bool>("process");       // a process of the engine's program runs
    QTest::addColumn<QByteArray>("wmClass"); // a window with this WM_CLASS; null: none
    QTest::addColumn<bool>("found");

    QTest::newRow("process, no window") << true << QByteArray() << true;
    QTest::newRow("window of its class") << false << QByteArray("ioquake3\0ioquake3\0", 18) << true;
    QTest::newRow("class part, other case") << false << QByteArray("openarena\0IOQuake3\0", 20) << true;
    QTest::newRow("another program's window") << false << QByteArray("xterm\0XTerm\0", 12) << false;
    QTest::newRow("class prefix only") << false << QByteArray("ioquake\0", 8) << false;
    QTest::newRow("nothing") << false << QByteArray() << false;
}

// Native engines are recognised by their process, else by their window's class; the process
// name is this run's own, so other test runs on the machine do not count.
void TestGameRunning::nativeEngine()
{
    QFETCH(bool, process);
    QFETCH(QByteArray, wmClass);
    QFETCH(bool, found);

    needDisplay();
    const QString exe = QStringLiteral("eng%1").arg(QCoreApplication::applicationPid());
    arbelon::EngineProfile engine = *arbelon::engineprofiles::find(arbelon::engineprofiles::builtIn(), QStringLiteral("ioquake3"));
    engine.processNames = {exe};
    SystemGameRunningCheck check;
    check.setEngine(1, engine);
    QVERIFY(!check.isRunning(1));

    GameProcess game;
    if (process) {
        QVERIFY(game.start(exe, kRunUntilKilled + QStringList{QStringLiteral("--no-window"), QStringLiteral("--game"), QStringLiteral("3")},
                           environmentWithout(QStringLiteral("DISPLAY"))));
        QTRY_VERIFY_WITH_TIMEOUT(game.upAndRunning(), 20000);
    }
    WindowMaker maker(m_display);
    QVERIFY(maker.ok());
    if (!wmClass.isNull()) {
        maker.setClass(maker.window(maker.root()), wmClass);
        maker.sync();
    }
    QCOMPARE(check.isRunning(1), found);
    maker.clear();
    if (process)
        QVERIFY(game.stop());
    QVERIFY(!check.isRunning(1));
}

void TestGameRunning::standinWindow_data()
{
    QTest::addColumn<QString>("exeName");
    QTest::addColumn<bool>("window");
    QTest::addColumn<int>("gameType");
    QTest::addColumn<bool>("running");

    QTest::newRow("quake 2 window") << QStringLiteral("quake2.exe") << true << 0 << true;
    QTest::newRow("quake 3 window") << QStringLiteral("quake3.exe") << true << 1 << true;
    QTest::newRow("quake 3 window is not quake 2") << QStringLiteral("quake3.exe") << true << 0
                                                   << false;
    QTest::newRow("process without a window") << QStringLiteral("quake2.exe") << false << 0
                                              << false;
}

void TestGameRunning::standinWindow()
{
    QFETCH(QString, exeName);
    QFETCH(bool, window);
    QFETCH(int, gameType);
    QFETCH(bool, running);

    needDisplay();
    SystemGameRunningCheck check;
    QVERIFY(!check.isRunning(gameType));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(m_display));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    GameProcess game;
    QVERIFY(game.start(exeName,
                       window ? kRunUntilKilled
                              : kRunUntilKilled + QStringList{QStringLiteral("--no-window")},
                       env));
    QTRY_VERIFY_WITH_TIMEOUT(game.upAndRunning(), 20000);
    const int ownGame = exeName == QLatin1String("quake2.exe") ? 0 : 1;
    // The window comes a little after the process: wait for the game's own title first.
    if (window)
        QTRY_VERIFY_WITH_TIMEOUT(check.isRunning(ownGame), 20000);
    QCOMPARE(check.isRunning(gameType), running);
    QVERIFY(check.lastAnswerFromDisplay());

    QVERIFY(game.stop());
    QTRY_VERIFY_WITH_TIMEOUT(!check.isRunning(ownGame), 20000);
}

// Runs last: it takes the test's X server away.
void TestGameRunning::displayGoesAway()
{
    needDisplay();
    SystemGameRunningCheck check;
    GameProcess game;
    QVERIFY(game.start(QStringLiteral("quake2.exe"),
                       kRunUntilKilled + QStringList{QStringLiteral("--no-window")},
                       environmentWithout(QStringLiteral("DISPLAY"))));
    QTRY_VERIFY_WITH_TIMEOUT(game.upAndRunning(), 20000);
    // With the display there, no window means no game.
    QVERIFY(!check.isRunning(0));
    QVERIFY(check.lastAnswerFromDisplay());

    m_xserver->kill();
    QVERIFY(m_xserver->waitForFinished(10000));

    // Without it the process decides, and the check itself keeps working.
    QVERIFY(check.isRunning(0));
    QVERIFY(!check.lastAnswerFromDisplay());
    QVERIFY(game.stop());
    QVERIFY(!check.isRunning(0));
    QVERIFY(!check.lastAnswerFromDisplay());
}

QTEST_GUILESS_MAIN(TestGameRunning)
#include "tst_gamerunning.moc"
