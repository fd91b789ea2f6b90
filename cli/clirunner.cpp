#include "clirunner.h"

#include "demolistmodel.h"
#include "gamelistmodel.h"
#include "relaydetails.h"
#include "settingsstore.h"
#include "twsocket.h"

#include <QDir>
#include <QFileInfo>
#include <QStringListModel>

#include <unistd.h>

namespace arbelon {

namespace {
constexpr int kProgressMs = 500;
constexpr int kGameWaitMs = 5000;

QString withSlash(const QString &dir)
{
    if (dir.isEmpty())
        return dir;
    const QString abs = QFileInfo(dir).absoluteFilePath();
    return abs.endsWith(QLatin1Char('/')) ? abs : abs + QLatin1Char('/');
}
} // namespace

CliRunner::CliRunner(const CliOptions &options, QTextStream &out, QTextStream &err, QObject *parent)
    : QObject(parent), m_opt(options), m_out(out), m_err(err)
{
    m_tty = ::isatty(STDOUT_FILENO) == 1;
    m_core.setPrompts(this);
    m_core.settings().userName = m_opt.user.left(ClientSettings::kMaxUserName);
    if (!m_opt.verbose) {
        m_gameOutput = SettingsStore().folder() + QLatin1Char('/') + QLatin1String(SettingsStore::kGameOutputFile);
        m_core.setGameOutputFile(m_gameOutput);
    }

    m_progress.setInterval(kProgressMs);
    connect(&m_progress, &QTimer::timeout, this, &CliRunner::onProgressTick);
    m_gameWait.setSingleShot(true);
    m_gameWait.setInterval(kGameWaitMs);
    connect(&m_gameWait, &QTimer::timeout, this, [this] {
        if (!m_watchSent)
            fail(2, QStringLiteral("no game \"%1\" on %2").arg(m_opt.game, m_opt.server));
    });

    connect(&m_core, &ClientCore::connectionFailed, this,
            [this](const QString &reason) { fail(1, reason); });
    connect(&m_core, &ClientCore::sessionStarted, this, [this] {
        line(QStringLiteral("connected to %1 as %2").arg(m_opt.server, m_opt.command == CliOptions::Film ? QStringLiteral("Filmer") : QStringLiteral("Viewer")));
        if (m_opt.command == CliOptions::Watch)
            m_gameWait.start();
    });
    connect(&m_core, &ClientCore::sessionEnded, this, [this] {
        if (m_done)
            return;
        const QString why = m_core.sessionEndReason();
        fail(1, why.isEmpty() ? QStringLiteral("connection to %1 closed").arg(m_opt.server) : why);
    });
    connect(&m_core, &ClientCore::recordRefused, this, [this](int state) {
        if (state == ssGameInfo)
            fail(3, QStringLiteral("the relay refused the game (wrong film password or name)"));
        else if (state == ssWaitForGame)
            fail(2, QStringLiteral("the relay refused to let us watch game %1").arg(m_watchedId));
        else if (state == ssDemoPacket) {
            // The upload does not go on after a refused block: nothing more will happen.
            onProgressTick();
            fail(3, QStringLiteral("the relay refused a demo block: filming stopped"));
        }
    });
    connect(&m_core, &ClientCore::lobbyEntered, this, [this] {
        m_inLobby = true;
        line(QStringLiteral("in the lobby of \"%1\"").arg(m_opt.command == CliOptions::Film ? m_opt.name : m_core.demo().watchedGameName));
        m_progress.start();
    });
    // Each block written: a demo is never missed between two progress ticks.
    connect(&m_core, &ClientCore::dataInChanged, this, [this] {
        if (m_opt.command == CliOptions::Watch)
            noteDemo();
    });
    connect(&m_core, &ClientCore::chatLineAdded, this,
            [this](const QString &l) { line(QStringLiteral("chat: ") + l); });
    connect(&m_core, &ClientCore::noticeLine, this, [this](const QString &l) { line(QStringLiteral("note: ") + l); });
    connect(m_core.demoList(), &QAbstractItemModel::rowsInserted, this, &CliRunner::onDemoListed);
    connect(m_core.relayDetails(), &RelayDetails::detailsRead, this, &CliRunner::onDetailsRead);
    connect(&m_core, &ClientCore::factsChanged, this, &CliRunner::tryPlayFrom);

    GameListModel *games = m_core.gameList();
    connect(games, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) { onGameRowsChanged(first, last); });
    connect(games, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &from, const QModelIndex &to) { onGameRowsChanged(from.row(), to.row()); });
    connect(games, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this, games](const QModelIndex &, int first, int last) {
                for (int r = first; r <= last; ++r) {
                    const GameRow &row = games->row(r);
                    if (m_opt.command == CliOptions::Games)
                        line(QStringLiteral("removed game %1").arg(row.id));
                    if (m_opt.command == CliOptions::Watch && m_inLobby && row.id == m_watchedId) {
                        onProgressTick();
                        line(QStringLiteral("the game ended"));
                        // Not from inside the model's removal: closing the session empties
                        // the game list while the model is still taking the row out.
                        QMetaObject::invokeMethod(
                            this, [this] { finish(0); }, Qt::QueuedConnection);
                        return;
                    }
                }
            });
}

void CliRunner::start()
{
    m_clock.start();
    m_values.serverAddress = m_opt.server;
    m_values.serverPort = m_opt.serverPort;
    if (m_opt.command == CliOptions::Film) {
        m_values.role = Role::Filmer;
        m_values.gameName = m_opt.name;
        m_values.password = m_opt.password;
        m_values.gameType = m_opt.gameType;
        const QString dir = withSlash(m_opt.dir);
        const QString engine = m_opt.engine.isEmpty() ? engineprofiles::original(m_opt.gameType).id : m_opt.engine;
        if (m_opt.gameType == gtQuake3) {
            m_core.settings().quake3Dir = dir;
            m_core.settings().quake3Engine = engine;
        } else {
            m_core.settings().quake2Dir = dir;
            m_core.settings().quake2Engine = engine;
        }
        m_values.mod = engineprofiles::gameFolder(m_core.gameInstall(gameTypeOf(m_opt.gameType)).engine, m_opt.mod);
        m_core.settings().transferRate = qBound(0, m_opt.rate, ClientSettings::kMaxTransferRate);
    } else {
        m_values.role = Role::Viewer;
        m_values.gameType = 0;
        m_values.mod = QStringLiteral("baseq2");
        m_core.settings().quake2Dir = withSlash(m_opt.quake2Dir);
        m_core.settings().quake3Dir = withSlash(m_opt.quake3Dir);
        m_core.settings().quake2Engine = m_opt.quake2Engine;
        m_core.settings().quake3Engine = m_opt.quake3Engine;
    }
    if (const QString refusal = m_core.connectRefusal(m_values); !refusal.isEmpty()) {
        fail(64, refusal);
        return;
    }
    try {
        m_core.connectTo(m_values);
    } catch (const std::exception &e) {
        fail(1, QStringLiteral("cannot connect to %1: %2").arg(m_opt.server, QString::fromUtf8(e.what())));
        return;
    }
    if (m_opt.command == CliOptions::Games && m_opt.listSeconds > 0)
        QTimer::singleShot(m_opt.listSeconds * 1000, this, [this] { finish(0); });
}

void CliRunner::interrupt()
{
    line(QStringLiteral("interrupted"));
    finish(130);
}

bool CliRunner::runConnectDialog(ConnectValues &values)
{
    if (m_dialogAnswered)
        return false;
    m_dialogAnswered = true;
    values = m_values;
    return true;
}

void CliRunner::showMessage(const QString &text)
{
    m_err << printable(text) << Qt::endl;
}

void CliRunner::showError(const QString &text)
{
    m_err << "error: " << printable(text) << Qt::endl;
}

QString CliRunner::gameLine(int r) const
{
    const GameRow &row = m_core.gameList()->row(r);
    QString text = QStringLiteral("game %1 \"%2\" %3 %4 users=%5")
                       .arg(row.id)
                       .arg(decodeText(row.name), row.gameType ? GameListModel::gameText(row.gameType) : QStringLiteral("-"),
                            decodeText(row.mod))
                       .arg(row.users);
    // What is on, once the relay's web page has told it.
    const GameDetails d = m_core.gameList()->details(row.id);
    if (!d.map.isEmpty())
        text += QStringLiteral(" map=%1 players=%2").arg(d.map).arg(d.players);
    return text;
}

void CliRunner::onGameRowsChanged(int first, int last)
{
    if (m_opt.command == CliOptions::Games) {
        // Only the rows that came or changed: a long list is not printed again for each.
        for (int r = qMax(0, first); r <= last && r < m_core.gameList()->rowCount(); ++r)
            line(gameLine(r));
        return;
    }
    if (m_opt.command == CliOptions::Watch)
        tryWatch();
}

void CliRunner::tryWatch()
{
    if (m_watchSent || m_core.state() != ssIdle)
        return;
    GameListModel *games = m_core.gameList();
    bool isNumber = false;
    const quint32 id = m_opt.game.toUInt(&isNumber);
    for (int r = 0; r < games->rowCount(); ++r) {
        const GameRow &row = games->row(r);
        const bool match = isNumber ? row.id == id
                                    : decodeText(row.name) == m_opt.game;
        if (!match)
            continue;
        m_core.selectGame(row.id);
        if (const QString refusal = m_core.watchRefusal(row.id); !refusal.isEmpty()) {
            fail(2, refusal);
            return;
        }
        if (m_core.watchGame(row.id)) {
            m_watchSent = true;
            m_watchedId = row.id;
            m_gameWait.stop();
            line(QStringLiteral("watching ") + gameLine(r));
        }
        return;
    }
}

void printEngines(const QList<EngineProfile> &engines, QTextStream &out)
{
    const QStringList path = engineprofiles::pathFolders();
    const QString home = QDir::homePath();
    for (const EngineProfile &e : engines) {
        const QString program = engineprofiles::findProgram(e, path);
        QString where;
        if (e.dataDir.isEmpty())
            where = QStringLiteral("program and data in the game folder you name");
        else if (program.isEmpty())
            where = QStringLiteral("not installed");
        else
            where = QStringLiteral("installed: %1, data %2").arg(program, engineprofiles::dataPath(e, home, program));
        // A profile file is anyone's text: its fields reach the terminal only as printable text.
        out << CliRunner::printable(e.id) << "\t" << CliRunner::printable(e.title) << " (Quake "
            << (e.gameType == 1 ? "3" : "2") << ", demos " << CliRunner::printable(e.viewerExtension) << ")"
            << (e.builtIn ? "" : " [profile file]") << "\t" << CliRunner::printable(where) << "\n";
    }
    out.flush();
}

void CliRunner::onDemoListed()
{
    // As a double-click on the first row: once, when the first demo is listed.
    if (!m_opt.play || m_played || m_opt.command != CliOptions::Watch || m_core.demoList()->rowCount() == 0)
        return;
    m_played = true;
    const QString program = m_core.gameInstall(m_core.demo().watchedGameType).program;
    line(QStringLiteral("playing demo %1 with %2").arg(m_core.demo().listedNames.value(0), program));
    if (!m_gameOutput.isEmpty())
        line(QStringLiteral("the game's console output goes to %1 (--verbose shows it here)")
                 .arg(QDir::toNativeSeparators(m_gameOutput)));
    m_core.playDemo(0, PlayFrom::Auto);
}

void CliRunner::onProgressTick()
{
    const qint64 elapsed = m_clock.elapsed();
    if (m_opt.command == CliOptions::Film) {
        const QString demo = QFileInfo(m_core.demo().currentDemoPath).fileName();
        if (!demo.isEmpty() && demo != m_lastDemo) {
            m_lastDemo = demo;
            line(QStringLiteral("uploading demo %1").arg(demo));
        }
        if (m_core.goodLabel() != m_lastGood || m_core.badLabel() != m_lastBad) {
            m_lastGood = m_core.goodLabel();
            m_lastBad = m_core.badLabel();
            line(QStringLiteral("records accepted %1, blocks refused %2").arg(m_lastGood, m_lastBad));
        }
        return;
    }
    noteDemo();
    const QString path = m_core.demo().currentDemoPath;
    if (path.isEmpty())
        return;
    const qint64 bytes = QFileInfo(path).size();
    if (bytes == m_lastBytes)
        return;
    const bool firstSample = m_lastBytes < 0;
    m_lastBytes = bytes;
    if (firstSample) {
        // The rate is measured from here: what arrived before has no known duration.
        m_rateBytes = bytes;
        m_rateMs = elapsed;
        line(QStringLiteral("demo %1: %2 bytes").arg(QFileInfo(path).fileName()).arg(bytes));
        return;
    }
    const double seconds = qMax<qint64>(1, elapsed - m_rateMs) / 1000.0;
    const double rate = (bytes - m_rateBytes) / seconds;
    line(QStringLiteral("demo %1: %2 bytes, %3 B/s").arg(QFileInfo(path).fileName()).arg(bytes).arg(qRound64(rate)));
}

void CliRunner::noteDemo()
{
    const QString path = m_core.demo().currentDemoPath;
    if (path.isEmpty() || path == m_lastDemo)
        return;
    m_lastDemo = path;
    m_lastBytes = -1;
    m_rateBytes = 0;
    m_rateMs = m_clock.elapsed();
    line(QStringLiteral("receiving demo %1").arg(QDir::toNativeSeparators(path)));
}

QString CliRunner::printable(const QString &text)
{
    // Game names, user names and chat come from any peer of the relay: a control character
    // reaching the terminal could move the cursor, set its title or forge a whole line.
    return escapeControls(text);
}

void CliRunner::line(const QString &text)
{
    if (m_tty)
        m_out << "\r\033[K";
    m_out << printable(text) << Qt::endl;
}

void CliRunner::fail(int status, const QString &text)
{
    if (m_done)
        return;
    m_err << "arbelon-cli: " << printable(text) << Qt::endl;
    finish(status);
}

void CliRunner::finish(int status)
{
    if (m_done)
        return;
    m_done = true;
    m_progress.stop();
    m_gameWait.stop();
    if (m_core.connected())
        m_core.DemoClient().Close();
    emit finished(status);
}

} // namespace arbelon
