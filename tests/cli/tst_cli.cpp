// arbelon-cli against the real relay, all as processes: the game list, a game filmed from the
// stand-in game and watched through to a byte-identical demo file, and the ways a run fails.
// The client's ports are fixed, so the relays listen on loopback addresses of their own.

#include "common/fakerelay.h"
#include "common/gamefolders.h"
#include "common/testaddress.h"
#include "common/testfiles.h"
#include "zlibcomp.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/types.h>

using arbelon::test::readFile;
using arbelon::test::writeFile;

namespace {

const QString kRelay = arbelon::test::loopbackAddress(61);       // anyone may film
const QString kLockedRelay = arbelon::test::loopbackAddress(62); // filming needs kFilmPassword
const QString kNobody = arbelon::test::loopbackAddress(63);      // nothing listens here
const QString kScripted = arbelon::test::loopbackAddress(64);    // a relay played by the test
const QString kFilmPassword = QStringLiteral("letmein");
constexpr int kStartMs = 30000; // a process started, connected, in a lobby
constexpr int kDemoMs = 90000;  // a small demo recorded, uploaded and received
constexpr qint64 kDemoSize = 30000;

QString binDir()
{
    return qEnvironmentVariable("ARBELON_BIN_DIR");
}

// Children never see a display: the Filmer then knows the game runs by its process, and the
// stand-in game opens no window.
QProcessEnvironment childEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

// A child process whose output is collected while it runs; it is ended when the test ends.
class Child {
public:
    explicit Child(const QString &program, const QStringList &args,
                   const QString &workingDir = QString(),
                   const QProcessEnvironment &env = childEnvironment())
    {
        m_process.setProcessEnvironment(env);
        if (!workingDir.isEmpty())
            m_process.setWorkingDirectory(workingDir);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                         [this] { m_out += m_process.readAllStandardOutput(); });
        QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process,
                         [this] { m_err += m_process.readAllStandardError(); });
        m_process.start(program, args);
    }
    ~Child()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool started() { return m_process.waitForStarted(kStartMs); }
    bool running() const { return m_process.state() != QProcess::NotRunning; }
    qint64 pid() const { return m_process.processId(); }
    // Ctrl-C, as a user ends a command.
    void interrupt() { ::kill(pid_t(m_process.processId()), SIGINT); }
    bool finish(int ms = kStartMs)
    {
        const bool done = m_process.state() == QProcess::NotRunning || m_process.waitForFinished(ms);
        m_out += m_process.readAllStandardOutput();
        m_err += m_process.readAllStandardError();
        return done;
    }
    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }
    QString out() const { return QString::fromUtf8(m_out); }
    QString err() const { return QString::fromUtf8(m_err); }
    QString all() const { return out() + err(); }

private:
    QProcess m_process;
    QByteArray m_out;
    QByteArray m_err;
};

std::unique_ptr<Child> cli(const QStringList &args)
{
    return std::make_unique<Child>(QDir(binDir()).filePath(QStringLiteral("arbelon-cli")), args);
}

QString dataTag()
{
    return QString::fromLatin1(QTest::currentDataTag());
}

// The first capture of the pattern in the text, or empty.
QString capture(const QString &text, const QString &pattern)
{
    const QRegularExpression re(pattern, QRegularExpression::MultilineOption);
    return re.match(text).captured(1);
}

// Whether the process holds the file open (the Filmer keeps the console log open).
bool holdsOpen(qint64 pid, const QString &path)
{
    const QString wanted = QFileInfo(path).canonicalFilePath();
    if (wanted.isEmpty())
        return false;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    const QFileInfoList entries = fds.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &fd : entries) {
        if (fd.symLinkTarget() == wanted)
            return true;
    }
    return false;
}

bool inLobby(const Child &c)
{
    return c.out().contains(QLatin1String("in the lobby"));
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void gamesListsFilmedGame_data();
    void gamesListsFilmedGame();
    void untrustedTextEscaped_data();
    void untrustedTextEscaped();
    void watchReceivesFilmedDemo_data();
    void watchReceivesFilmedDemo();
    void filmPassword_data();
    void filmPassword();
    void failsWithMessage_data();
    void failsWithMessage();
    void reportsWhatHappens_data();
    void reportsWhatHappens();
    void gameOutputHasItsOwnFile_data();
    void gameOutputHasItsOwnFile();
    void enginesFileTextEscaped();

private:
    std::unique_ptr<Child> startRelay(const QString &address, const QStringList &extra);
    // A film command on the open relay; it prints "in the lobby" once the game is announced.
    std::unique_ptr<Child> startFilm(const QString &name, int game, const QString &dir,
                                     const QString &mod);

    QTemporaryDir m_tmp;
    std::unique_ptr<Child> m_relay;
    std::unique_ptr<Child> m_lockedRelay;
};

std::unique_ptr<Child> TestCli::startRelay(const QString &address, const QStringList &extra)
{
    return std::make_unique<Child>(QDir(binDir()).filePath(QStringLiteral("arbelon-relay")),
                                   QStringList{QStringLiteral("--listen"), address} + extra);
}

void TestCli::initTestCase()
{
    QVERIFY2(!binDir().isEmpty(), "ARBELON_BIN_DIR is not set");
    for (const char *program : {"arbelon-cli", "arbelon-relay", "arbelon-standin-game"})
        QVERIFY2(QFileInfo(QDir(binDir()).filePath(QString::fromLatin1(program))).isExecutable(), program);
    QVERIFY(m_tmp.isValid());
    QVERIFY(arbelon::test::makeGameFolders(m_tmp.path())); // the rows that name %TMP% as a game folder
    // The log line tells that both ports are open; a relay that cannot bind ends instead.
    const QString listening = QStringLiteral("listening viewer=38962 filmer=38963");
    m_relay = startRelay(kRelay, {});
    m_lockedRelay = startRelay(kLockedRelay, {QStringLiteral("--film-password"), kFilmPassword});
    for (Child *relay : {m_relay.get(), m_lockedRelay.get()}) {
        QTRY_VERIFY_WITH_TIMEOUT(relay->err().contains(listening) || !relay->running(), kStartMs);
        QVERIFY2(relay->running(), qPrintable(relay->err()));
    }
}

void TestCli::cleanupTestCase()
{
    for (auto *relay : {m_relay.get(), m_lockedRelay.get()}) {
        if (relay && relay->running()) {
            relay->interrupt();
            relay->finish();
        }
    }
}

std::unique_ptr<Child> TestCli::startFilm(const QString &name, int game, const QString &dir,
                                          const QString &mod)
{
    QStringList args{QStringLiteral("film"), QStringLiteral("--server"), kRelay,
                     QStringLiteral("--name"), name, QStringLiteral("--game"), QString::number(game),
                     QStringLiteral("--dir"), dir, QStringLiteral("--rate"), QStringLiteral("10000"),
                     QStringLiteral("--user"), QStringLiteral("filmer")};
    if (!mod.isEmpty())
        args << QStringLiteral("--mod") << mod;
    return cli(args);
}

// ---- games ----------------------------------------------------------------------------

void TestCli::gamesListsFilmedGame_data()
{
    QTest::addColumn<int>("game");
    QTest::addColumn<QString>("mod"); // --mod given to film; empty: none
    QTest::addColumn<QString>("listedMod");
    QTest::addColumn<bool>("listFirst"); // games runs before the game is announced

    QTest::newRow("quake 2, announced while listing") << 2 << QString() << QStringLiteral("baseq2") << true;
    QTest::newRow("quake 2 ctf, listed at sign-in") << 2 << QStringLiteral("ctf") << QStringLiteral("ctf") << false;
    QTest::newRow("quake 3, listed at sign-in") << 3 << QString() << QStringLiteral("baseq3") << false;
}

void TestCli::gamesListsFilmedGame()
{
    QFETCH(int, game);
    QFETCH(QString, mod);
    QFETCH(QString, listedMod);
    QFETCH(bool, listFirst);

    const QString name = QStringLiteral("list %1").arg(dataTag()).left(31);
    const QString dir = m_tmp.filePath(QStringLiteral("games-%1").arg(dataTag()));
    QVERIFY(arbelon::test::makeGameFolders(dir));
    const QStringList gamesArgs{QStringLiteral("games"), QStringLiteral("--server"), kRelay};

    std::unique_ptr<Child> games;
    if (listFirst) {
        games = cli(gamesArgs);
        QTRY_VERIFY_WITH_TIMEOUT(games->out().contains(QLatin1String("connected to")), kStartMs);
    }
    auto film = startFilm(name, game, dir, mod);
    QTRY_VERIFY_WITH_TIMEOUT(inLobby(*film) || !film->running(), kStartMs);
    QVERIFY2(film->running(), qPrintable(film->all()));
    if (!listFirst)
        games = cli(gamesArgs);

    const QString line = QStringLiteral("^game (\\d+) \"%1\" Quake %2 %3 users=1$")
                             .arg(QRegularExpression::escape(name))
                             .arg(game)
                             .arg(listedMod);
    QTRY_VERIFY_WITH_TIMEOUT(!capture(games->out(), line).isEmpty(), kStartMs);
    const QString id = capture(games->out(), line);

    // The game goes when its Filmer does.
    film->interrupt();
    QVERIFY(film->finish());
    QTRY_VERIFY_WITH_TIMEOUT(games->out().contains(QStringLiteral("removed game %1\n").arg(id)), kStartMs);

    games->interrupt();
    QVERIFY(games->finish());
    QCOMPARE(games->exitStatus(), QProcess::NormalExit);
    QVERIFY2(games->out().contains(QLatin1String("interrupted")), qPrintable(games->all()));
}

// A Filmer names its game; every Viewer's terminal shows the name. Control characters reach
// it only escaped, so a name can neither steer the terminal nor forge a line.
void TestCli::untrustedTextEscaped_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");

    QTest::newRow("clear screen") << QStringLiteral("a\x1b[2Jb") << QStringLiteral("a\\x1b[2Jb");
    QTest::newRow("window title") << QStringLiteral("\x1b]0;pwned\x07x") << QStringLiteral("\\x1b]0;pwned\\x07x");
    QTest::newRow("forged line") << QStringLiteral("g\r\ngame 1 \"fake\"") << QStringLiteral("g\\x0d\\x0agame 1 \"fake\"");
    QTest::newRow("one-byte CSI") << (QStringLiteral("c") + QChar(0x9b) + QStringLiteral("2J")) << QStringLiteral("c\\x9b2J");
}

void TestCli::untrustedTextEscaped()
{
    QFETCH(QString, name);
    QFETCH(QString, shown);
    const QString dir = m_tmp.filePath(QStringLiteral("escape-") + dataTag().replace(QLatin1Char(' '), QLatin1Char('-')));
    QVERIFY(arbelon::test::makeGameFolders(dir));
    auto film = startFilm(name, 2, dir, QString());
    QTRY_VERIFY_WITH_TIMEOUT(inLobby(*film) || !film->running(), kStartMs);
    QVERIFY2(film->running(), qPrintable(film->all()));
    auto games = cli({QStringLiteral("games"), QStringLiteral("--server"), kRelay});
    const QString listed = QStringLiteral("\"") + shown + QStringLiteral("\" Quake 2 baseq2 users=1\n");
    QTRY_VERIFY_WITH_TIMEOUT(games->out().contains(listed), kStartMs);
    games->interrupt();
    film->interrupt();
    QVERIFY(games->finish());
    QVERIFY(film->finish());
    for (const Child *c : {games.get(), film.get()}) {
        for (const QChar ch : c->all()) {
            QVERIFY2(ch == QLatin1Char('\n') || ch.category() != QChar::Other_Control,
                     qPrintable(QStringLiteral("raw U+%1 printed").arg(ch.unicode(), 4, 16, QLatin1Char('0'))));
        }
    }
}

// ---- watch ----------------------------------------------------------------------------

void TestCli::watchReceivesFilmedDemo_data()
{
    QTest::addColumn<int>("game");
    QTest::addColumn<QString>("mod"); // the game's data folder
    QTest::addColumn<bool>("byId");   // watch --game ID instead of the name
    // A real match instead of random bytes, played from here (--from): games --details tells
    // what is on, and the watch plays from its third event (a frag) or a game time.
    QTest::addColumn<QString>("from");

    QTest::newRow("quake 2 by name") << 2 << QStringLiteral("baseq2") << false << QString();
    QTest::newRow("quake 2 ctf by id") << 2 << QStringLiteral("ctf") << true << QString();
    QTest::newRow("quake 3 by name") << 3 << QStringLiteral("baseq3") << false << QString();
    QTest::newRow("quake 3 match, from its third event") << 3 << QStringLiteral("baseq3") << false << QStringLiteral("3");
    QTest::newRow("quake 3 match, from a game time") << 3 << QStringLiteral("baseq3") << false << QStringLiteral("0:40");
}

void TestCli::watchReceivesFilmedDemo()
{
    QFETCH(int, game);
    QFETCH(QString, mod);
    QFETCH(bool, byId);
    QFETCH(QString, from);
    const bool match = !from.isEmpty();

    const QString tag = dataTag().replace(QLatin1Char(' '), QLatin1Char('-'));
    const QString name = QStringLiteral("watch %1").arg(dataTag()).left(31);
    const QString filmDir = m_tmp.filePath(QStringLiteral("film-") + tag);
    const QString viewDir = m_tmp.filePath(QStringLiteral("view-") + tag);
    const QString exe = game == 3 ? QStringLiteral("quake3.exe") : QStringLiteral("quake2.exe");
    QVERIFY(arbelon::test::makeGameFolders(filmDir));
    QVERIFY(arbelon::test::makeGameFolders(viewDir));
    QVERIFY(QFile::copy(QDir(binDir()).filePath(QStringLiteral("arbelon-standin-game")),
                        QDir(filmDir).filePath(exe)));
    QVERIFY(QFile::setPermissions(QDir(filmDir).filePath(exe),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    QByteArray source(kDemoSize, Qt::Uninitialized);
    QRandomGenerator rng(quint32(game * 100 + int(byId)));
    for (char &c : source)
        c = char(rng.bounded(256));
    if (match) {
        QFile real(QStringLiteral(":/demos/oa_bots.dm_71"));
        QVERIFY(real.open(QIODevice::ReadOnly));
        source = real.readAll();
        QVERIFY(QFile::copy(QDir(binDir()).filePath(QStringLiteral("arbelon-standin-game")), QDir(viewDir).filePath(exe)));
        QVERIFY(QFile::setPermissions(QDir(viewDir).filePath(exe), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    const QString sourcePath = m_tmp.filePath(QStringLiteral("source-") + tag);
    QVERIFY(writeFile(sourcePath, source));

    // The Filmer reads only what the console log gets after it has opened it. The game's
    // configuration makes it append to its log ("logfile 3", the last line wins) so that a
    // second start of the game, the recording one, adds to the log the Filmer already holds.
    // The Filmer sees "logfile 2" and leaves the file alone.
    QVERIFY(writeFile(QDir(filmDir).filePath(mod + QStringLiteral("/autoexec.cfg")),
                      "logfile 2\r\nlogfile 3\r\n"));

    auto film = startFilm(name, game, filmDir, game == 2 ? mod : QString());
    QTRY_VERIFY_WITH_TIMEOUT(inLobby(*film) || !film->running(), kStartMs);
    QVERIFY2(film->running(), qPrintable(film->all()));

    Child running(QDir(filmDir).filePath(exe),
                  {QStringLiteral("--mod"), mod, QStringLiteral("--no-window"),
                   QStringLiteral("--linger"), QStringLiteral("-1")},
                  filmDir);
    QVERIFY(running.started());
    const QString consoleLog = QDir(filmDir).filePath(mod + QStringLiteral("/qconsole.log"));
    QTRY_VERIFY_WITH_TIMEOUT(holdsOpen(film->pid(), consoleLog), kStartMs);

    QString target = name;
    if (byId) {
        auto games = cli({QStringLiteral("games"), QStringLiteral("--server"), kRelay});
        const QString line = QStringLiteral("^game (\\d+) \"%1\"").arg(QRegularExpression::escape(name));
        QTRY_VERIFY_WITH_TIMEOUT(!capture(games->out(), line).isEmpty(), kStartMs);
        target = capture(games->out(), line);
    }
    auto watch = cli(QStringList{QStringLiteral("watch"), QStringLiteral("--server"), kRelay,
                                 QStringLiteral("--game"), target, QStringLiteral("--quake2-dir"), viewDir,
                                 QStringLiteral("--quake3-dir"), viewDir, QStringLiteral("--user"),
                                 QStringLiteral("viewer")}
                     + (match ? QStringList{QStringLiteral("--from"), from} : QStringList()));
    std::unique_ptr<Child> details;
    if (match)
        details = cli({QStringLiteral("games"), QStringLiteral("--server"), kRelay, QStringLiteral("--details")});
    QTRY_VERIFY_WITH_TIMEOUT(inLobby(*watch) || !watch->running(), kStartMs);
    QVERIFY2(watch->running(), qPrintable(watch->all()));

    Child recording(QDir(filmDir).filePath(exe),
                    {QStringLiteral("--mod"), mod, QStringLiteral("--no-window"),
                     QStringLiteral("--source"), sourcePath, QStringLiteral("--rate"),
                     QStringLiteral("20000"), QStringLiteral("--block"), QStringLiteral("5000"),
                     QStringLiteral("--name"), QStringLiteral("cli_demo"),
                     QStringLiteral("--linger"), QStringLiteral("-1")},
                    filmDir);
    QVERIFY(recording.started());

    QString received;
    QTRY_VERIFY_WITH_TIMEOUT(!(received = capture(watch->out(), QStringLiteral("^receiving demo (.+)$"))).isEmpty()
                                 && QFileInfo(received).size() >= (match ? source.size() : kDemoSize),
                             kDemoMs);
    if (match) {
        // The relay's web page, found through the port it told: the map, the players and the
        // events numbered as the watch numbers them from the demo it receives.
        QTRY_VERIFY2_WITH_TIMEOUT(details->out().contains(QLatin1String(" map=oa_dm1 players=4"))
                                      && details->out().contains(QLatin1String("event 3 ")),
                                  qPrintable(details->all()), kStartMs);
        QVERIFY2(details->out().contains(QRegularExpression(QStringLiteral("event 3 \\d+:\\d\\d Ayumi fragged UnnamedPlayer \\(rocket splash\\)"))),
                 qPrintable(details->out()));
        const QString playing = from.contains(u':') ? QStringLiteral("playing from game time ") + from
                                                    : QStringLiteral("playing from 10 s before event 3 (0:21, Ayumi fragged UnnamedPlayer (rocket splash))");
        QTRY_VERIFY2_WITH_TIMEOUT(watch->out().contains(playing), qPrintable(watch->all()), kStartMs);
        details->interrupt();
        QVERIFY(details->finish());
    }

    // Ending the Filmer ends the game; the watch then ends by itself, successfully.
    film->interrupt();
    QVERIFY(film->finish());
    QVERIFY2(watch->finish(), "watch did not end with its game");
    QCOMPARE(watch->exitStatus(), QProcess::NormalExit);
    QVERIFY2(watch->exitCode() == 0, qPrintable(watch->all()));
    QVERIFY(watch->out().contains(QLatin1String("the game ended")));

    const QString demoDir = QDir(viewDir).filePath(game == 3 ? QStringLiteral("baseq3/demos")
                                                             : mod + QStringLiteral("/demos"));
    QCOMPARE(QFileInfo(received).absolutePath(), QFileInfo(demoDir).absoluteFilePath());
    QCOMPARE(QFileInfo(received).suffix(), game == 3 ? QStringLiteral("dm3") : QStringLiteral("dm2"));
    QCOMPARE(QDir(demoDir).entryList(QDir::Files).size(), 1);
    QVERIFY2(readFile(received) == source, "the received demo differs from the recorded one");
}

// ---- film password ----------------------------------------------------------------------

void TestCli::filmPassword_data()
{
    QTest::addColumn<QStringList>("passwordArgs");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("right") << QStringList{QStringLiteral("--password"), kFilmPassword} << true;
    QTest::newRow("wrong") << QStringList{QStringLiteral("--password"), QStringLiteral("letmeout")} << false;
    QTest::newRow("missing") << QStringList{} << false;
}

void TestCli::filmPassword()
{
    QFETCH(QStringList, passwordArgs);
    QFETCH(bool, accepted);

    const QString dir = m_tmp.filePath(QStringLiteral("password-%1").arg(dataTag()));
    QVERIFY(arbelon::test::makeGameFolders(dir));
    auto film = cli(QStringList{QStringLiteral("film"), QStringLiteral("--server"), kLockedRelay,
                                QStringLiteral("--name"), QStringLiteral("locked"),
                                QStringLiteral("--game"), QStringLiteral("2"),
                                QStringLiteral("--dir"), dir}
                    + passwordArgs);
    if (accepted) {
        QTRY_VERIFY_WITH_TIMEOUT(inLobby(*film) || !film->running(), kStartMs);
        QVERIFY2(film->running(), qPrintable(film->all()));
        film->interrupt();
        QVERIFY(film->finish());
        QCOMPARE(film->exitStatus(), QProcess::NormalExit);
        return;
    }
    QVERIFY(film->finish());
    QCOMPARE(film->exitStatus(), QProcess::NormalExit);
    QVERIFY(film->exitCode() != 0);
    QVERIFY(!inLobby(*film));
    QVERIFY2(film->err().contains(QLatin1String("refused")), qPrintable(film->err()));
}

// ---- failures -------------------------------------------------------------------------------

void TestCli::failsWithMessage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message"); // a part of what stderr must say

    const QString missing = QStringLiteral("No such game");
    QTest::newRow("unresolvable server")
        << QStringList{QStringLiteral("games"), QStringLiteral("--server"), QStringLiteral("no-such-host.invalid")}
        << QStringLiteral("no-such-host.invalid");
    QTest::newRow("nothing listening")
        << QStringList{QStringLiteral("games"), QStringLiteral("--server"), kNobody} << kNobody;
    QTest::newRow("film, nothing listening")
        << QStringList{QStringLiteral("film"), QStringLiteral("--server"), kNobody, QStringLiteral("--name"),
                       QStringLiteral("x"), QStringLiteral("--game"), QStringLiteral("2"), QStringLiteral("--dir"),
                       QStringLiteral("%TMP%")}
        << kNobody;
    QTest::newRow("missing game by name")
        << QStringList{QStringLiteral("watch"), QStringLiteral("--server"), kRelay, QStringLiteral("--game"),
                       missing, QStringLiteral("--quake2-dir"), QStringLiteral("%TMP%")}
        << missing;
    QTest::newRow("missing game by id")
        << QStringList{QStringLiteral("watch"), QStringLiteral("--server"), kRelay, QStringLiteral("--game"),
                       QStringLiteral("4000000000"), QStringLiteral("--quake2-dir"), QStringLiteral("%TMP%")}
        << QStringLiteral("4000000000");
    QTest::newRow("no server given")
        << QStringList{QStringLiteral("games")} << QStringLiteral("--server");
}

void TestCli::failsWithMessage()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);

    args.replaceInStrings(QStringLiteral("%TMP%"), m_tmp.path());
    auto run = cli(args);
    QVERIFY2(run->finish(), "arbelon-cli did not end");
    QCOMPARE(run->exitStatus(), QProcess::NormalExit);
    QVERIFY2(run->exitCode() != 0, qPrintable(run->all()));
    QVERIFY2(run->err().contains(message), qPrintable(run->err()));
    QVERIFY(!inLobby(*run));
}

// ---- what a scripted relay makes happen ---------------------------------------------------------

void TestCli::reportsWhatHappens_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("status");   // -1: runs until interrupted
    QTest::addColumn<QString>("said"); // a line of the output (stdout and stderr)
    QTest::addColumn<int>("times");    // how often it is said

    QTest::newRow("games prints changes") << "games" << -1 << "game 2 \"b\"" << 2;
    QTest::newRow("two short demos") << "demos" << 0 << "receiving demo " << 2;
    QTest::newRow("bad data") << "bad data" << 1 << "Bad data from the relay: " << 1;
    QTest::newRow("refused block") << "refused block" << 3 << "filming stopped" << 1;
}

void TestCli::reportsWhatHappens()
{
    using namespace arbelon;
    QFETCH(QString, script);
    QFETCH(int, status);
    QFETCH(QString, said);
    QFETCH(int, times);
    const bool filming = script == QLatin1String("refused block");
    test::FakeRelay relay;
    QVERIFY(relay.listen(kScripted, filming ? kFilmerPort : kViewerPort));
    const auto block = [](char fill) {
        const CompressedBlock b = compressBlock(QByteArray(3000, fill));
        return buildDemoPacket(b.crc, 0, b.data);
    };
    QObject::connect(&relay, &test::FakeRelay::recordArrived, &relay, [&](const QByteArray &r) {
        const qint32 type = packetType(r);
        if (type == ACKNAK)
            return;
        relay.ack(type == DEMOPACKET ? 1 : 0);
        if (type == USERINFO && script == QLatin1String("games")) {
            relay.send(buildGameInfoDetailed(1, "a", 0, 1, "baseq2") + buildGameInfoDetailed(2, "b", 0, 1, "baseq2")
                       + buildGameInfoDetailed(3, "c", 0, 1, "baseq2") + buildGameInfoDetailed(2, "b", 0, 7, "baseq2"));
        } else if (type == USERINFO) {
            relay.send(buildGameInfoDetailed(5, "short", 0, 1, "baseq2"));
        } else if (type == WAITFORGAME && script == QLatin1String("demos")) {
            // Both demos and the game's end arrive well within one progress tick.
            relay.send(buildDemoRestart(0) + block('a') + buildDemoRestart(1) + block('b') + buildGameRemoved(5));
        } else if (type == WAITFORGAME) {
            QByteArray bad(rec::kHeaderSize, '\0');
            bad[0] = char(DEMOPACKET);
            bad[4] = 8; // shorter than any block
            relay.send(bad);
        }
    });

    const QString dir = m_tmp.filePath(QStringLiteral("scripted-") + dataTag().replace(QLatin1Char(' '), QLatin1Char('-')));
    QVERIFY(arbelon::test::makeGameFolders(dir));
    std::unique_ptr<Child> game;
    std::unique_ptr<Child> recording;
    std::unique_ptr<Child> run;
    if (filming) {
        // A game that runs and records, so that a block goes out and is refused.
        const QString exe = QDir(dir).filePath(QStringLiteral("quake2.exe"));
        QVERIFY(QFile::copy(QDir(binDir()).filePath(QStringLiteral("arbelon-standin-game")), exe));
        QVERIFY(QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(writeFile(QDir(dir).filePath(QStringLiteral("baseq2/autoexec.cfg")), "logfile 2\r\nlogfile 3\r\n"));
        QVERIFY(writeFile(QDir(dir).filePath(QStringLiteral("source")), QByteArray(20000, 'x')));
        run = cli({QStringLiteral("film"), QStringLiteral("--server"), kScripted, QStringLiteral("--name"),
                   QStringLiteral("refused"), QStringLiteral("--game"), QStringLiteral("2"), QStringLiteral("--dir"), dir});
        QTRY_VERIFY_WITH_TIMEOUT(inLobby(*run) || !run->running(), kStartMs);
        // The Filmer reads the log from where it opened it: the recording starts after that.
        game = std::make_unique<Child>(exe, QStringList{QStringLiteral("--no-window"), QStringLiteral("--linger"), QStringLiteral("-1")},
                                       dir);
        QVERIFY(game->started());
        QTRY_VERIFY_WITH_TIMEOUT(holdsOpen(run->pid(), QDir(dir).filePath(QStringLiteral("baseq2/qconsole.log"))),
                                 kStartMs);
        recording = std::make_unique<Child>(exe, QStringList{QStringLiteral("--no-window"), QStringLiteral("--source"), QDir(dir).filePath(QStringLiteral("source")), QStringLiteral("--name"), QStringLiteral("refused"), QStringLiteral("--linger"), QStringLiteral("-1")},
                                            dir);
        QVERIFY(recording->started());
    } else if (script == QLatin1String("games")) {
        run = cli({QStringLiteral("games"), QStringLiteral("--server"), kScripted});
    } else {
        run = cli({QStringLiteral("watch"), QStringLiteral("--server"), kScripted, QStringLiteral("--game"),
                   QStringLiteral("5"), QStringLiteral("--quake2-dir"), dir});
    }

    if (status < 0) {
        QTRY_COMPARE_WITH_TIMEOUT(relay.count(ACKNAK), 4, kStartMs); // each game record answered
        run->interrupt();
    }
    // The relay lives in this process: the event loop runs while the command works.
    const int allowedMs = filming ? kDemoMs : kStartMs;
    QTRY_VERIFY_WITH_TIMEOUT(!run->running(), allowedMs);
    QVERIFY2(run->finish(), qPrintable(run->all()));
    if (status >= 0)
        QVERIFY2(run->exitCode() == status, qPrintable(run->all()));
    QVERIFY2(run->all().count(said) == times, qPrintable(run->all()));
}

// The game started with --play writes its console to game-output.log beside the settings,
// emptied at each start; --verbose leaves it on the command's own output.
void TestCli::gameOutputHasItsOwnFile_data()
{
    QTest::addColumn<bool>("verbose");
    QTest::newRow("quiet") << false;
    QTest::newRow("verbose") << true;
}

void TestCli::gameOutputHasItsOwnFile()
{
    using namespace arbelon;
    QFETCH(bool, verbose);
    test::FakeRelay relay;
    QVERIFY(relay.listen(kScripted, kViewerPort));
    QObject::connect(&relay, &test::FakeRelay::recordArrived, &relay, [&](const QByteArray &r) {
        if (packetType(r) == ACKNAK)
            return;
        relay.ack(0);
        if (packetType(r) == USERINFO)
            relay.send(buildGameInfoDetailed(5, "played", 0, 1, "baseq2"));
        if (packetType(r) != WAITFORGAME)
            return;
        // One demo, large enough to be listed while it grows.
        const CompressedBlock b = compressBlock(QByteArray(3000, 'a'));
        relay.send(buildDemoRestart(0) + buildDemoPacket(b.crc, 1, b.data).repeated(8));
    });

    const QString dir = m_tmp.filePath(QStringLiteral("played-") + dataTag());
    const QString config = m_tmp.filePath(QStringLiteral("config-") + dataTag());
    const QString exe = dir + QStringLiteral("/quake2.exe");
    QVERIFY(arbelon::test::makeGameFolders(dir));
    QVERIFY(QFile::copy(QDir(binDir()).filePath(QStringLiteral("arbelon-standin-game")), exe));
    QVERIFY(QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QString output = config + QStringLiteral("/Arbelon/game-output.log");
    QVERIFY(writeFile(output, "from an earlier start\n"));

    QProcessEnvironment env = childEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    QStringList args{QStringLiteral("watch"), QStringLiteral("--server"), kScripted, QStringLiteral("--game"),
                     QStringLiteral("5"), QStringLiteral("--quake2-dir"), dir, QStringLiteral("--play")};
    if (verbose)
        args << QStringLiteral("--verbose");
    Child run(QDir(binDir()).filePath(QStringLiteral("arbelon-cli")), args, QString(), env);
    QTRY_VERIFY_WITH_TIMEOUT(run.out().contains(QLatin1String("playing demo")) || !run.running(), kStartMs);
    QVERIFY2(run.running(), qPrintable(run.all()));

    // The stand-in's first console line.
    const QString banner = QStringLiteral("Arbelon stand-in game: Quake 2");
    QTRY_VERIFY_WITH_TIMEOUT(readFile(output).contains(banner.toLatin1()) || run.out().contains(banner), kStartMs);
    QCOMPARE(readFile(output).contains("from an earlier start"), verbose);
    QCOMPARE(run.out().contains(QDir::toNativeSeparators(output)), !verbose);
    run.interrupt();
    QVERIFY(run.finish());
    QCOMPARE(run.all().contains(banner), verbose);
    QCOMPARE(readFile(output).contains(banner.toLatin1()), !verbose);
}

// The profile file is anyone's text: "engines" prints it, and what is wrong in it, escaped.
void TestCli::enginesFileTextEscaped()
{
    const QString config = m_tmp.filePath(QStringLiteral("config-engines"));
    QVERIFY(writeFile(config + QStringLiteral("/Arbelon/engines.conf"),
                      "[engine ioquake3]\ntitle = a\x1b[2Jb\nprogram = /opt/x\x1b]0;t\x07y\n"
                      "[engine \x1b[31mred]\ntitle = r\n"));
    QProcessEnvironment env = childEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    Child run(QDir(binDir()).filePath(QStringLiteral("arbelon-cli")), {QStringLiteral("engines")}, QString(), env);
    QVERIFY(run.finish());
    QCOMPARE(run.exitCode(), 0);
    QVERIFY2(run.out().contains(QLatin1String("ioquake3\ta\\x1b[2Jb (Quake 3")), qPrintable(run.out()));
    QVERIFY2(run.err().contains(QLatin1String("\\x1b[31mred")), qPrintable(run.err()));
    for (const QChar ch : run.all()) {
        QVERIFY2(ch == QLatin1Char('\n') || ch == QLatin1Char('\t') || ch.category() != QChar::Other_Control,
                 qPrintable(QStringLiteral("raw U+%1 printed").arg(ch.unicode(), 4, 16, QLatin1Char('0'))));
    }
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
