// The client's receive loop with every handler wired, as a Viewer whose game directories are
// fresh temporary folders. What a relay sends may end the session (an exception, as the socket
// would catch it) but must never crash it, grow the receive buffer past one record, write
// outside the game directories, or start a game with a mod that is not a plain folder name.
//
// Input: one byte of settings, then steps of [action][length, 2 bytes][bytes]. Each step hands
// the bytes to the dispatcher as one data event, then carries out the user action the action
// byte names (watch a listed game, leave, chat, play a listed demo, or nothing).

#include "clientcore.h"
#include "demolistmodel.h"
#include "fuzzsupport.h"
#include "gamelayout.h"
#include "gamelistmodel.h"
#include "gamerunning.h"
#include "programstarter.h"
#include "userprompts.h"
#include "writeguard.h"
#include "common/sessiondriving.h"

#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>

using namespace arbelon;
using arbelon::fuzz::fail;
using arbelon::fuzz::InputStream;

namespace {

// The record at the front may wait for at most its own largest size; one data event adds
// at most what the step carried.
constexpr qsizetype kBufferBound = qsizetype(rec::kMaxDemoPacketSize);

class SilentPrompts : public UserPrompts {
public:
    bool runConnectDialog(ConnectValues &) override { return false; }
    void showMessage(const QString &) override {}
    void showError(const QString &) override {}
    bool confirm(const QString &) override { return true; }
};

// Checks every launch instead of starting anything.
class CheckingStarter : public ProgramStarter {
public:
    QString root;
    bool start(const QString &program, const QStringList &arguments, const QString &workingDirectory) override
    {
        if (!program.startsWith(root) || !workingDirectory.startsWith(root))
            fail(QStringLiteral("game started outside its directory: ") + program);
        // Quake 2: +set game MOD +map NAME.dm2; Quake 3: +demo NAME.dm3. Only the keywords
        // may look like commands to the game; the mod must be one plain folder name.
        const QStringList keywords{QStringLiteral("+set"), QStringLiteral("+map"), QStringLiteral("+demo")};
        for (const QString &a : arguments) {
            if (a.isEmpty() || (!keywords.contains(a) && a.startsWith(QLatin1Char('+'))))
                fail(QStringLiteral("unexpected game argument: ") + a);
        }
        if (arguments.size() == 5 && !gamelayout::isPlainFolderName(arguments.at(2)))
            fail(QStringLiteral("game started with the mod ") + arguments.at(2));
        return false;
    }
};

// Files and folders under root that are not inside one of the game directories.
QStringList strayEntries(const QString &root, const QStringList &gameDirs)
{
    QStringList stray;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        bool inside = false;
        for (const QString &dir : gameDirs)
            inside = inside || path.startsWith(dir) || dir.startsWith(path + QLatin1Char('/'));
        if (!inside)
            stray.append(path);
    }
    return stray;
}

void userAction(ClientCore &core, quint8 action)
{
    const int which = action >> 3;
    switch (action & 7) {
    case 1:
        if (core.gameList()->rowCount() > 0) {
            arbelon::test::selectRow(core, which % core.gameList()->rowCount());
            arbelon::test::watchSelected(core);
        }
        break;
    case 2: core.leaveLobby(); break;
    case 3: core.sendChat(QStringLiteral("gg")); break;
    case 4: core.playDemo(which, arbelon::PlayFrom::Auto); break;
    default: break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    arbelon::fuzz::ensureApplication();
    // One scratch folder for the run (TMPDIR; a RAM disk keeps the run fast), emptied per input.
    static QTemporaryDir root;
    if (!root.isValid())
        fail(QStringLiteral("no scratch folder"));
    const QString games = root.path() + QStringLiteral("/games/");
    const QString q2 = games + QStringLiteral("q2/");
    const QString q3 = games + QStringLiteral("q3/");
    QDir(games).removeRecursively();
    QDir().mkpath(q2 + QStringLiteral("baseq2"));
    QDir().mkpath(q3 + QStringLiteral("baseq3"));

    InputStream in(data, size);
    const quint8 settings = in.byte();
    qsizetype sent = 0;
    {
        SilentPrompts prompts;
        CheckingStarter starter;
        starter.root = games;
        FakeGameRunningCheck running;
        ClientCore core;
        core.setPrompts(&prompts);
        core.setProgramStarter(&starter);
        core.setGameRunningCheck(&running);
        // One second for all: demos announced together get the same name.
        core.setClock([] { return QDateTime(QDate(2026, 12, 6), QTime(21, 47, 5)); });
        core.settings().userName = QStringLiteral("fuzz");
        core.settings().quake2Dir = q2;
        core.settings().quake3Dir = (settings & 1) ? QString() : q3;
        PacketDispatcher &d = core.dispatcher();
        d.setConnectedFunction([] { return true; });
        d.setSendFunction([&sent](const QByteArray &r) { sent += r.size(); });
        d.trace().setEnabled((settings & 2) != 0);
        // The state after the hello was answered: the game list is shown.
        core.setState(ssIdle);

        arbelon::fuzz::armWriteGuard({q2.toStdString(), q3.toStdString()});
        try {
            while (!in.atEnd()) {
                const quint8 action = in.byte();
                const QByteArrayView bytes = in.take(in.word());
                d.dataAvailable(bytes);
                if (d.buffer().size() > kBufferBound + bytes.size())
                    fail(QStringLiteral("receive buffer grew to %1 bytes").arg(d.buffer().size()));
                userAction(core, action);
            }
        } catch (...) {
            // The socket catches every error of a data event and ends the session.
        }
        arbelon::fuzz::disarmWriteGuard();
    }
    const std::string refused = arbelon::fuzz::writeGuardViolation();
    if (!refused.empty())
        fail(QStringLiteral("write attempted outside the game directories: ") + QString::fromStdString(refused));
    const QStringList stray = strayEntries(root.path(), {q2, q3});
    if (!stray.isEmpty())
        fail(QStringLiteral("file outside the game directories: ") + stray.first());
    return 0;
}
