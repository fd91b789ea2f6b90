// The main window: its controls, the start-up steps, navigation and the saves it causes,
// the game list's kept widths, and the Browse buttons. Settings live in a temporary
// XDG_CONFIG_HOME; every modal question is answered by the test.

#include "connectform.h"
#include "folderselect.h"
#include "gamelistmodel.h"
#include "mainclient.h"
#include "quitsignals.h"
#include "regfile.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QScreen>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>

#include <csignal>

using namespace arbelon;

namespace {

class RecordingPrompts : public UserPrompts {
public:
    bool runConnectDialog(ConnectValues &) override { return false; }
    void showMessage(const QString &text) override { messages << text; }
    void showError(const QString &text) override { errors << text; }
    bool confirm(const QString &question) override
    {
        questions << question;
        return confirmAnswer;
    }
    QStringList questions;
    bool confirmAnswer = false;

    QStringList messages;
    QStringList errors;
};

struct FolderCall {
    QString folder;
    QString executable;
    QString title;
    bool windowVisible;
};

const QByteArray kHeader = "Windows Registry Editor Version 5.00\n\n";
const QString kSetup = QStringLiteral("HKEY_CURRENT_USER\\Arbelon Client\\Setup");

} // namespace

class TestMainForm : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void namedControls_data();
    void namedControls();
    void firstStart();
    void userNamePromptRepeats_data();
    void userNamePromptRepeats();
    void userNameBoxSaysWhy();
    void deletedDirectoryAsksForFolder_data();
    void deletedDirectoryAsksForFolder();
    void realFolderDialogAtStart();
    void loadErrorSkipsStartSteps_data();
    void loadErrorSkipsStartSteps();
    void leavingSetupSaves();
    void programMovesTreeFromSetup();
    void emptiedRateSavesZero();
    void closingSavesSettings();
    void terminationSignalSaves_data();
    void terminationSignalSaves();
    void fitsSmallScreen_data();
    void fitsSmallScreen();
    void windowPlaceKept_data();
    void windowPlaceKept();
    void columnWidthsKept_data();
    void columnWidthsKept();
    void browseButtons();
    void engineSetup_data();
    void engineSetup();
    void traceFollowsLogMemo();

private:
    QString settingsPath() const { return m_dir->filePath(QStringLiteral("Arbelon/settings.reg")); }
    void writeSettings(const QByteArray &setupLines, const QByteArray &extra = {});
    RegFile readSettings() const;
    std::unique_ptr<TMainForm> makeForm();
    QTreeWidgetItem *node(TMainForm &form, const QString &text) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    RecordingPrompts m_prompts;
    QList<std::optional<QString>> m_nameAnswers; // answered in turn; then "Player"
    int m_nameAsked = 0;
    QList<FolderCall> m_folderCalls;
    // Only the Windows programs unless a test adds engines: what this machine has installed
    // must not change what the window does.
    QList<EngineProfile> m_engines{engineprofiles::original(0), engineprofiles::original(1)};
    std::optional<QString> m_folderAnswer; // empty: Cancel
    bool m_realPrompts = false;            // the window's own message boxes, not m_prompts
    bool m_realNameBox = false;            // the window's own "Enter user name" box
};

void TestMainForm::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    qputenv("XDG_CONFIG_HOME", m_dir->path().toLocal8Bit());
    m_prompts = RecordingPrompts();
    m_nameAnswers.clear();
    m_nameAsked = 0;
    m_folderCalls.clear();
    m_folderAnswer.reset();
    m_realPrompts = false;
    m_realNameBox = false;
    m_engines = {engineprofiles::original(0), engineprofiles::original(1)};
}

void TestMainForm::cleanup()
{
    m_dir.reset();
}

void TestMainForm::writeSettings(const QByteArray &setupLines, const QByteArray &extra)
{
    QVERIFY(QDir().mkpath(QFileInfo(settingsPath()).absolutePath()));
    QFile f(settingsPath());
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(kHeader + "[HKEY_CURRENT_USER\\Arbelon Client\\Setup]\n" + setupLines + "\n" + extra);
}

RegFile TestMainForm::readSettings() const
{
    QFile f(settingsPath());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return RegFile::parse(f.readAll(), nullptr).value_or(RegFile());
}

std::unique_ptr<TMainForm> TestMainForm::makeForm()
{
    MainFormHooks hooks;
    hooks.prompts = m_realPrompts ? nullptr : &m_prompts;
    if (!m_realNameBox) {
        hooks.askUserName = [this](QWidget *, const QString &) -> std::optional<QString> {
            const int i = m_nameAsked++;
            if (i < m_nameAnswers.size())
                return m_nameAnswers.at(i);
            return QStringLiteral("Player");
        };
    }
    hooks.runFolderDialog = [this](QWidget *, QString &folder, const QString &exe, const QString &title) {
        bool visible = false;
        for (QWidget *w : QApplication::topLevelWidgets())
            visible |= qobject_cast<TMainForm *>(w) && w->isVisible();
        m_folderCalls.append({folder, exe, title, visible});
        if (!m_folderAnswer)
            return false;
        folder = *m_folderAnswer;
        return true;
    };
    hooks.engines = m_engines;
    return std::make_unique<TMainForm>(hooks);
}

QTreeWidgetItem *TestMainForm::node(TMainForm &form, const QString &text) const
{
    const QList<QTreeWidgetItem *> items =
        form.findChild<QTreeWidget *>(QStringLiteral("OptionTree"))->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
    return items.isEmpty() ? nullptr : items.first();
}

void TestMainForm::namedControls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    const QList<std::pair<const char *, const char *>> controls = {
        {"MainCoolBar", "QFrame"},
        {"MainToolbar", "QToolBar"},
        {"ConnectButton", "QToolButton"},
        {"DisconnectButton", "QToolButton"},
        {"LeaveRoom", "QToolButton"},
        {"WatchGame", "QToolButton"},
        {"OptionTree", "QTreeWidget"},
        {"VerticalSplitter", "QSplitter"},
        {"InfoPageControl", "QStackedWidget"},
        {"IntroSheet", "QWidget"},
        {"GameListSheet", "QWidget"},
        {"GamesListBox", "QTreeView"},
        {"SetupSheet", "QWidget"},
        {"UserNameEdit", "QLineEdit"},
        {"TransferRateSpin", "QSpinBox"},
        {"Quake2DirectoryEdit", "QLineEdit"},
        {"Quake3DirectoryEdit", "QLineEdit"},
        {"Quake2BrowseButton", "QPushButton"},
        {"Quake3BrowseButton", "QPushButton"},
        {"LobbySheet", "QWidget"},
        {"DetailsPanel", "QFrame"},
        {"GameNameLabel", "QLabel"},
        {"ModTypeLabel", "QLabel"},
        {"DemoList", "QTreeView"},
        {"WatchGame1", "QAction"},
        {"Splitter1", "QSplitter"},
        {"LobbyMemo", "QPlainTextEdit"},
        {"ViewerListBox", "QTreeView"},
        {"ScoresPanel", "QFrame"},
        {"GoodLabel", "QLabel"},
        {"BadLabel", "QLabel"},
        {"OutBuffer", "QLabel"},
        {"DataInLabel", "QLabel"},
        {"EditBoxPanel", "QFrame"},
        {"LobbyEdit", "QLineEdit"},
        {"LogMemo", "QPlainTextEdit"},
        {"StatusBar", "QStatusBar"},
    };
    for (const auto &[name, cls] : controls)
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(cls);
}

void TestMainForm::namedControls()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    auto form = makeForm();
    const QList<QObject *> found = form->findChildren<QObject *>(name);
    QCOMPARE(found.size(), 1);
    QVERIFY2(found.first()->inherits(className.toLatin1().constData()), found.first()->metaObject()->className());
}

void TestMainForm::firstStart()
{
    auto form = makeForm();
    QCOMPARE(form->windowTitle(), QStringLiteral("Arbelon Client version 1.3"));
    QCOMPARE(form->size(), QSize(713, 433));
    QCOMPARE(m_nameAsked, 1);
    QVERIFY(m_folderCalls.isEmpty()); // the root exists
    QVERIFY(m_prompts.errors.isEmpty());

    QCOMPARE(form->findChild<QLineEdit *>(QStringLiteral("UserNameEdit"))->text(), QStringLiteral("Player"));
    QCOMPARE(form->findChild<QSpinBox *>(QStringLiteral("TransferRateSpin"))->value(), 3000);
    QCOMPARE(form->findChild<QLineEdit *>(QStringLiteral("Quake2DirectoryEdit"))->text(), QDir::rootPath());
    QCOMPARE(form->findChild<QLineEdit *>(QStringLiteral("Quake3DirectoryEdit"))->text(), QDir::rootPath());

    auto *tree = form->findChild<QTreeWidget *>(QStringLiteral("OptionTree"));
    QCOMPARE(tree->currentItem(), node(*form, QStringLiteral("Arbelon")));
    QVERIFY(tree->currentItem()->isExpanded());
    auto *pages = form->findChild<QStackedWidget *>(QStringLiteral("InfoPageControl"));
    QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("IntroSheet"));

    QVERIFY(form->findChild<QToolButton *>(QStringLiteral("ConnectButton"))->isEnabled());
    QVERIFY(!form->findChild<QToolButton *>(QStringLiteral("DisconnectButton"))->isEnabled());
    QVERIFY(!form->findChild<QToolButton *>(QStringLiteral("LeaveRoom"))->isEnabled());
    QVERIFY(!form->findChild<QToolButton *>(QStringLiteral("WatchGame"))->isEnabled());
    // One action per command: each button shows the menu's action, with its shortcut.
    for (const auto &[button, action] : {std::pair{"ConnectButton", "ConnectAction"}, {"DisconnectButton", "DisconnectAction"}, {"LeaveRoom", "LeaveRoomAction"}, {"WatchGame", "WatchGameAction"}})
        QCOMPARE(form->findChild<QToolButton *>(QLatin1String(button))->defaultAction(), form->findChild<QAction *>(QLatin1String(action)));
    QVERIFY(form->findChild<QWidget *>(QStringLiteral("LogMemo"))->isHidden());
    QVERIFY(form->findChild<QWidget *>(QStringLiteral("ScoresPanel"))->isHidden());
}

void TestMainForm::userNamePromptRepeats_data()
{
    QTest::addColumn<QList<std::optional<QString>>>("answers");
    QTest::addColumn<int>("asked");
    QTest::addColumn<QString>("name");
    const std::optional<QString> cancel;
    QTest::newRow("name at once") << QList<std::optional<QString>>{QStringLiteral("Bob")} << 1 << "Bob";
    QTest::newRow("cancel twice") << QList<std::optional<QString>>{cancel, cancel, QStringLiteral("Bob")} << 3 << "Bob";
    QTest::newRow("empty answers") << QList<std::optional<QString>>{QString(), QString(), QStringLiteral("Bob")} << 3
                                   << "Bob";
    QTest::newRow("long name cut") << QList<std::optional<QString>>{QStringLiteral("A very long user name")} << 1
                                   << "A very long use";
}

void TestMainForm::userNamePromptRepeats()
{
    QFETCH(QList<std::optional<QString>>, answers);
    QFETCH(int, asked);
    QFETCH(QString, name);
    m_nameAnswers = answers;
    auto form = makeForm();
    QCOMPARE(m_nameAsked, asked);
    QCOMPARE(form->core().settings().userName, name);
    QCOMPARE(form->findChild<QLineEdit *>(QStringLiteral("UserNameEdit"))->text(), name);
}

// The real box: its caption and prompt, and after a Cancel the line that says why it is back.
void TestMainForm::userNameBoxSaysWhy()
{
    m_realNameBox = true;
    QStringList seen;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (auto *box = qobject_cast<QInputDialog *>(QApplication::activeModalWidget())) {
            seen << box->windowTitle() + QLatin1Char('|') + box->labelText();
            box->setTextValue(QStringLiteral("Bob"));
            seen.size() == 1 ? box->reject() : box->accept();
        }
    });
    poll.start(10);
    auto form = makeForm();
    const QString box = QStringLiteral("Enter user name|Your name, as others see it in lobbies:");
    QCOMPARE(seen, (QStringList{box, box + QStringLiteral("\nA name is needed to go on.")}));
    QCOMPARE(form->core().settings().userName, QStringLiteral("Bob"));
}

void TestMainForm::deletedDirectoryAsksForFolder_data()
{
    QTest::addColumn<QString>("quake2");
    QTest::addColumn<QString>("quake3");
    QTest::addColumn<QStringList>("asked"); // executables, in order
    QTest::addColumn<std::optional<QString>>("answer");
    QTest::addColumn<QString>("quake2After");

    // @TMP@ is the test's own folder, @FILE@ a file in it.
    const QString gone = QStringLiteral("@TMP@/gone/q2/");
    const QString gone3 = QStringLiteral("@TMP@/gone/q3/");
    const QStringList q2{QStringLiteral("quake2.exe")};
    QTest::newRow("quake 2 gone, cancelled") << gone << QString() << q2 << std::optional<QString>() << gone;
    QTest::newRow("quake 2 gone, not installed")
        << gone << QString() << q2 << std::optional<QString>(QString()) << QString();
    QTest::newRow("quake 2 gone, chosen again")
        << gone << QString() << q2 << std::optional<QString>(QStringLiteral("@TMP@/")) << "@TMP@/";
    QTest::newRow("both gone, quake 2 first")
        << gone << gone3 << QStringList{QStringLiteral("quake2.exe"), QStringLiteral("quake3.exe")}
        << std::optional<QString>() << gone;
    QTest::newRow("both empty") << QString() << QString() << QStringList() << std::optional<QString>() << QString();
    QTest::newRow("both exist") << "@TMP@/"
                                << "/" << QStringList() << std::optional<QString>() << "@TMP@/";
    QTest::newRow("a file is no directory") << "@FILE@" << QString() << q2 << std::optional<QString>() << "@FILE@";
}

void TestMainForm::deletedDirectoryAsksForFolder()
{
    QFETCH(QString, quake2);
    QFETCH(QString, quake3);
    QFETCH(QStringList, asked);
    QFETCH(std::optional<QString>, answer);
    QFETCH(QString, quake2After);
    const QString file = m_dir->filePath(QStringLiteral("afile"));
    QFile(file).open(QIODevice::WriteOnly);
    const auto fill = [&](QString s) {
        return s.replace(QLatin1String("@TMP@"), m_dir->path()).replace(QLatin1String("@FILE@"), file);
    };
    writeSettings("\"UserNameEdit\"=\"Ann\"\n\"Quake2DirectoryEdit\"=\"" + fill(quake2).toUtf8()
                  + "\"\n\"Quake3DirectoryEdit\"=\"" + fill(quake3).toUtf8() + "\"");
    if (answer)
        m_folderAnswer = fill(*answer);
    auto form = makeForm();

    QStringList executables;
    for (const FolderCall &c : m_folderCalls) {
        executables << c.executable;
        QVERIFY2(!c.windowVisible, "the folder dialog must come before the window shows");
    }
    QCOMPARE(executables, asked);
    if (!m_folderCalls.isEmpty()) {
        QCOMPARE(m_folderCalls.first().title, QStringLiteral("Quake 2"));
        QCOMPARE(m_folderCalls.first().folder, fill(quake2));
    }
    QCOMPARE(form->core().settings().quake2Dir, fill(quake2After));
    QCOMPARE(form->findChild<QLineEdit *>(QStringLiteral("Quake2DirectoryEdit"))->text(), fill(quake2After));
}

void TestMainForm::realFolderDialogAtStart()
{
    // Without a folder hook the real dialog opens, modally, with its caption.
    writeSettings("\"UserNameEdit\"=\"Ann\"\n\"Quake2DirectoryEdit\"=\"/nonexistent-arbelon-dir/\"\n"
                  "\"Quake3DirectoryEdit\"=\"\"");
    QString caption;
    QTimer poll;
    int attempts = 0;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (auto *dialog = qobject_cast<TFolderSelectForm *>(QApplication::activeModalWidget())) {
            caption = dialog->windowTitle();
            dialog->findChild<QPushButton *>(QStringLiteral("CancelButton"))->click();
        } else if (++attempts > 500) {
            poll.stop();
        }
    });
    poll.start(10);
    MainFormHooks hooks;
    hooks.prompts = &m_prompts;
    TMainForm form(hooks);
    poll.stop();
    QCOMPARE(caption, QStringLiteral("Select Folder that contains quake2.exe"));
    QCOMPARE(form.core().settings().quake2Dir, QStringLiteral("/nonexistent-arbelon-dir/"));
}

void TestMainForm::loadErrorSkipsStartSteps_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("serverIP");
    QTest::newRow("wrong type")
        << QByteArray(kHeader + "[HKEY_CURRENT_USER\\Arbelon Client\\Setup]\n\"ServerIP\"=\"relay.test\"\n"
                                "\"UserNameEdit\"=dword:00000001\n\"Quake2DirectoryEdit\"=\"/nonexistent-arbelon-dir/\"\n")
        << "Invalid data type for 'UserNameEdit'"
        << "relay.test";
    QTest::newRow("damaged file") << QByteArray("\x01\x02 not a settings file") << "damaged" << QString();
}

void TestMainForm::loadErrorSkipsStartSteps()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, error);
    QFETCH(QString, serverIP);
    QVERIFY(QDir().mkpath(QFileInfo(settingsPath()).absolutePath()));
    QFile f(settingsPath());
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(file);
    f.close();

    auto form = makeForm();
    QCOMPARE(m_prompts.errors.size(), 1);
    QVERIFY2(m_prompts.errors.first().contains(error), qPrintable(m_prompts.errors.first()));
    QCOMPARE(m_nameAsked, 0);
    QVERIFY(m_folderCalls.isEmpty());
    QCOMPARE(form->core().settings().serverIP, serverIP);
    QCOMPARE(form->core().settings().transferRate, 3000);
    // The window still opens.
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
}

void TestMainForm::leavingSetupSaves()
{
    writeSettings("\"UserNameEdit\"=\"Ann\"");
    auto form = makeForm();
    auto *tree = form->findChild<QTreeWidget *>(QStringLiteral("OptionTree"));
    auto *pages = form->findChild<QStackedWidget *>(QStringLiteral("InfoPageControl"));

    tree->setCurrentItem(node(*form, QStringLiteral("Setup")));
    QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("SetupSheet"));
    QVERIFY(QFile::remove(settingsPath()));
    QTest::keyClicks(form->findChild<QLineEdit *>(QStringLiteral("UserNameEdit")), QStringLiteral("ie"));
    auto *rate = form->findChild<QSpinBox *>(QStringLiteral("TransferRateSpin"));
    rate->setValue(4500);

    tree->setCurrentItem(node(*form, QStringLiteral("Games List")));
    QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("GameListSheet"));
    const RegFile saved = readSettings();
    for (const char *name : {"ServerIP", "UserNameEdit", "TransferRateSpin", "LastEnteredName", "ModTypeSystem",
                             "GameTypeSystem", "Quake2DirectoryEdit", "Quake3DirectoryEdit"})
        QVERIFY2(saved.value(kSetup, QLatin1String(name)), name);
    QCOMPARE(saved.value(kSetup, QStringLiteral("UserNameEdit"))->text(), QStringLiteral("Annie"));
    QCOMPARE(saved.value(kSetup, QStringLiteral("TransferRateSpin"))->dword(), 4500u);

    // Moving between the other nodes writes nothing.
    QVERIFY(QFile::remove(settingsPath()));
    tree->setCurrentItem(node(*form, QStringLiteral("Arbelon")));
    QCOMPARE(pages->currentWidget()->objectName(), QStringLiteral("IntroSheet"));
    tree->setCurrentItem(node(*form, QStringLiteral("Games List")));
    QVERIFY(!QFile::exists(settingsPath()));
}

void TestMainForm::programMovesTreeFromSetup()
{
    writeSettings("\"UserNameEdit\"=\"Ann\"");
    auto form = makeForm();
    auto *tree = form->findChild<QTreeWidget *>(QStringLiteral("OptionTree"));
    tree->setCurrentItem(node(*form, QStringLiteral("Setup")));
    QVERIFY(QFile::remove(settingsPath()));

    // The core moves the selection (as a session start does): the tree follows and the
    // settings are saved as for a click.
    form->core().selectNode(ClientCore::NodeGamesList);
    QCOMPARE(tree->currentItem(), node(*form, QStringLiteral("Games List")));
    QCOMPARE(form->findChild<QStackedWidget *>(QStringLiteral("InfoPageControl"))->currentWidget()->objectName(),
             QStringLiteral("GameListSheet"));
    QVERIFY(QFile::exists(settingsPath()));
}

void TestMainForm::emptiedRateSavesZero()
{
    writeSettings("\"UserNameEdit\"=\"Ann\"");
    auto form = makeForm();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    auto *tree = form->findChild<QTreeWidget *>(QStringLiteral("OptionTree"));
    tree->setCurrentItem(node(*form, QStringLiteral("Setup")));
    auto *rate = form->findChild<QSpinBox *>(QStringLiteral("TransferRateSpin"));
    rate->setFocus();
    rate->selectAll();
    QTest::keyClick(rate, Qt::Key_Delete);
    QCOMPARE(rate->cleanText(), QString());
    tree->setFocus(); // the edit ends
    QCOMPARE(rate->text(), QStringLiteral("0"));
    tree->setCurrentItem(node(*form, QStringLiteral("Arbelon")));
    QCOMPARE(readSettings().value(kSetup, QStringLiteral("TransferRateSpin"))->dword(), 0u);
}

void TestMainForm::closingSavesSettings()
{
    writeSettings("\"UserNameEdit\"=\"Ann\"");
    auto form = makeForm();
    form->show();
    form->core().settings().serverIP = QStringLiteral("new.relay.test");
    form->close();
    QCOMPARE(readSettings().value(kSetup, QStringLiteral("ServerIP"))->text(), QStringLiteral("new.relay.test"));
}

// A desktop logout sends SIGTERM: the window ends as when closed, so the name given at the
// prompt is kept.
void TestMainForm::terminationSignalSaves_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestMainForm::terminationSignalSaves()
{
    QFETCH(int, signal);
    m_nameAnswers = {QStringLiteral("Zed")};
    QuitSignals quit;
    auto form = makeForm();
    form->show();
    connect(&quit, &QuitSignals::quitRequested, form.get(), &QWidget::close);
    QCOMPARE(::raise(signal), 0);
    QTRY_VERIFY(quit.requested());
    QVERIFY(!form->isVisible());
    QCOMPARE(readSettings().value(kSetup, QStringLiteral("UserNameEdit"))->text(), QStringLiteral("Zed"));
}

// Every window's smallest size fits a 1280x720 laptop screen less 20x40 for frame and panel,
// in device pixels (logical size times the scale). Another scale than this process's is
// measured by a run of this suite under QT_SCALE_FACTOR, which must be set before start.
void TestMainForm::fitsSmallScreen_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<int>("scale");
    for (const int scale : {1, 2})
        for (const char *window : {"MainForm", "ConnectForm", "FolderSelectForm", "UserNameBox"})
            QTest::addRow("%s at %d", window, scale) << QString::fromLatin1(window) << scale;
}

void TestMainForm::fitsSmallScreen()
{
    QFETCH(QString, window);
    QFETCH(int, scale);
    if (scale != qMax(1, qEnvironmentVariableIntValue("QT_SCALE_FACTOR"))) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_SCALE_FACTOR"), QString::number(scale));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("fitsSmallScreen:") + QLatin1String(QTest::currentDataTag())});
        QVERIFY(child.waitForFinished(120000));
        const QByteArray output = child.readAll();
        QVERIFY2(child.exitCode() == 0 && output.contains("PASS   : TestMainForm::fitsSmallScreen("), output.constData());
        return;
    }
    QSizeF device;
    const auto measure = [&](QWidget *w) {
        QCOMPARE(w->devicePixelRatioF(), qreal(scale));
        device = QSizeF(w->minimumSizeHint().expandedTo(w->minimumSize())) * w->devicePixelRatioF();
    };
    auto form = makeForm();
    TConnectForm connectForm;
    TFolderSelectForm folderForm; // with its line about a folder that has gone
    folderForm.setFolder(m_dir->filePath(QStringLiteral("a/long/way/down/to/a/folder/that/has/gone/")));
    ConnectValues filming; // the wider of the dialog's two widths
    filming.role = Role::Filmer;
    connectForm.setValues(filming);
    QWidget *shown = window == QLatin1String("MainForm")      ? static_cast<QWidget *>(form.get())
                     : window == QLatin1String("ConnectForm") ? static_cast<QWidget *>(&connectForm)
                                                              : static_cast<QWidget *>(&folderForm);
    if (window == QLatin1String("UserNameBox")) {
        QTimer::singleShot(0, this, [&] { measure(QApplication::activeModalWidget()); QApplication::activeModalWidget()->close(); });
        WidgetPrompts::askUserName(nullptr, QString(), true);
    } else {
        shown->show();
        measure(shown);
    }
    QVERIFY2(device.width() <= 1260 && device.height() <= 680,
             qPrintable(QStringLiteral("%1x%2 device pixels").arg(device.width()).arg(device.height())));
}

// The window comes back where and as large as it was left, fitted onto a screen that is there,
// and leaves its place in the settings.
void TestMainForm::windowPlaceKept_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<bool>("centred"); // else at 120,90
    QTest::addColumn<bool>("maximized");
    QTest::newRow("as it was left") << QByteArray("120,90,600,400") << false << false;
    QTest::newRow("maximized") << QByteArray("120,90,600,400,maximized") << false << true;
    QTest::newRow("off every screen: centred") << QByteArray("5000,5000,600,400") << true << false;
}

void TestMainForm::windowPlaceKept()
{
    QFETCH(QByteArray, stored);
    QFETCH(bool, centred);
    QFETCH(bool, maximized);
    writeSettings("\"UserNameEdit\"=\"Ann\"\n\"WindowGeometry\"=\"" + stored + "\"");
    auto form = makeForm();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint middle = area.topLeft() + QPoint((area.width() - 600) / 2, (area.height() - 400) / 2);
    QCOMPARE(form->size(), QSize(600, 400));
    QCOMPARE(form->pos(), centred ? middle : QPoint(120, 90));
    QCOMPARE(form->isMaximized(), maximized);
    form->show();
    form->showNormal();
    form->move(40, 30);
    form->close();
    QCOMPARE(readSettings().value(kSetup, QStringLiteral("WindowGeometry"))->text(), QStringLiteral("40,30,600,400"));
}

void TestMainForm::columnWidthsKept_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QList<int>>("shown");
    QTest::addColumn<QString>("lastHeader");
    QTest::newRow("designed") << QByteArray() << QList<int>{50, 200, 70, 70, 50, 100, 60} << "Players";
    // A value stored before the map and players columns: the new ones keep their widths.
    QTest::newRow("five stored") << QByteArray("60,210,80,80,60") << QList<int>{60, 210, 80, 80, 60, 100, 60} << "Players";
    QTest::newRow("seven stored") << QByteArray("60,210,80,80,60,90,40") << QList<int>{60, 210, 80, 80, 60, 90, 40} << "Players";
    QTest::newRow("eighth column") << QByteArray("60,210,80,80,60,90,40,30") << QList<int>{60, 210, 80, 80, 60, 90, 40, 30} << "S. 8";
    QTest::newRow("word keeps the column") << QByteArray("60,abc,80") << QList<int>{60, 200, 80, 70, 50, 100, 60} << "Players";
    QTest::newRow("fewer stored") << QByteArray("90") << QList<int>{90, 200, 70, 70, 50, 100, 60} << "Players";
}

void TestMainForm::columnWidthsKept()
{
    QFETCH(QByteArray, stored);
    QFETCH(QList<int>, shown);
    QFETCH(QString, lastHeader);
    writeSettings("\"UserNameEdit\"=\"Ann\"", stored.isEmpty() ? QByteArray()
                                                               : "\n[HKEY_CURRENT_USER\\Arbelon\\Common]\n"
                                                                 "\"GamesListBoxClient\"=\""
                                                                     + stored + "\"\n");
    auto form = makeForm();
    auto *list = form->findChild<QTreeView *>(QStringLiteral("GamesListBox"));
    QHeaderView *header = list->header();
    QList<int> widths;
    for (int i = 0; i < header->count(); ++i)
        widths << header->sectionSize(i);
    QCOMPARE(widths, shown);
    QCOMPARE(list->model()->headerData(header->count() - 1, Qt::Horizontal).toString(), lastHeader);

    header->resizeSection(1, 150);
    form->close();
    shown[1] = 150;
    QString expected;
    for (int w : shown)
        expected += (expected.isEmpty() ? QString() : QStringLiteral(",")) + QString::number(w);
    QCOMPARE(readSettings().value(QStringLiteral("HKEY_CURRENT_USER\\Arbelon\\Common"), QStringLiteral("GamesListBoxClient"))->text(),
             expected);
}

void TestMainForm::browseButtons()
{
    writeSettings("\"UserNameEdit\"=\"Ann\"\n\"Quake3DirectoryEdit\"=\"/\"");
    auto form = makeForm();
    auto *edit = form->findChild<QLineEdit *>(QStringLiteral("Quake3DirectoryEdit"));
    auto *browse = form->findChild<QPushButton *>(QStringLiteral("Quake3BrowseButton"));
    QVERIFY(edit->isReadOnly());

    m_folderAnswer.reset(); // Cancel keeps the text
    browse->click();
    QCOMPARE(m_folderCalls.size(), 1);
    QCOMPARE(m_folderCalls.last().folder, QStringLiteral("/"));
    QCOMPARE(m_folderCalls.last().executable, QStringLiteral("quake3.exe"));
    QCOMPARE(m_folderCalls.last().title, QStringLiteral("Quake 3"));
    QCOMPARE(edit->text(), QStringLiteral("/"));

    m_folderAnswer = m_dir->path() + QLatin1Char('/');
    browse->click();
    QCOMPARE(edit->text(), m_dir->path() + QLatin1Char('/'));
    QCOMPARE(form->core().settings().quake3Dir, m_dir->path() + QLatin1Char('/'));

    m_folderAnswer = QString(); // "I Dont have" empties it
    browse->click();
    QCOMPARE(edit->text(), QString());
}

void TestMainForm::traceFollowsLogMemo()
{
    auto form = makeForm();
    auto *memo = form->findChild<QPlainTextEdit *>(QStringLiteral("LogMemo"));
    QVERIFY(!form->core().dispatcher().trace().enabled());
    memo->show();
    QVERIFY(form->core().dispatcher().trace().enabled());
    memo->hide();
    QVERIFY(!form->core().dispatcher().trace().enabled());
}

// A native engine installed here is offered on a first start; choosing one, by the question
// or in Setup, sets its data folder and program, and Browse then asks for no program.
void TestMainForm::engineSetup_data()
{
    QTest::addColumn<bool>("settingsExist");
    QTest::addColumn<bool>("accept");
    QTest::addColumn<QString>("engine");
    QTest::addColumn<bool>("realBox"); // the window's own question box, answered with Enter
    QTest::newRow("first start, accepted") << false << true << QStringLiteral("testq3") << false;
    QTest::newRow("first start, declined") << false << false << QStringLiteral("quake3") << false;
    QTest::newRow("settings there: no question") << true << true << QStringLiteral("quake3") << false;
    QTest::newRow("first start, Enter takes the engine found") << false << true << QStringLiteral("testq3") << true;
}

void TestMainForm::engineSetup()
{
    QFETCH(bool, settingsExist);
    QFETCH(bool, accept);
    QFETCH(QString, engine);
    QFETCH(bool, realBox);
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(m_dir->path()));
    const QString program = m_dir->filePath(QStringLiteral("bin/testq3"));
    QVERIFY(QDir().mkpath(m_dir->filePath(QStringLiteral("bin"))));
    QFile exe(program);
    QVERIFY(exe.open(QIODevice::WriteOnly));
    exe.close();
    QVERIFY(exe.setPermissions(exe.permissions() | QFileDevice::ExeOwner));
    EngineProfile native = *engineprofiles::find(engineprofiles::builtIn(), QStringLiteral("ioquake3"));
    native.id = QStringLiteral("testq3");
    native.title = QStringLiteral("Test Q3");
    native.programs = {program};
    native.dataDir = QStringLiteral("~/.testq3");
    m_engines << native;
    if (settingsExist)
        writeSettings("\"UserNameEdit\"=\"Ann\"");
    m_prompts.confirmAnswer = accept;
    m_realPrompts = realBox;
    int boxes = 0;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            ++boxes;
            QTest::keyClick(box, Qt::Key_Return);
        }
    });
    poll.start(10);

    auto form = makeForm();
    poll.stop();
    qputenv("HOME", home);
    QCOMPARE(m_prompts.questions.size() + boxes, settingsExist ? 0 : 1);
    const ClientSettings &s = form->core().settings();
    QCOMPARE(s.quake3Engine, engine);
    auto *combo = form->findChild<QComboBox *>(QStringLiteral("Quake3EngineCombo"));
    QCOMPARE(combo->currentData().toString(), engine);
    auto *programEdit = form->findChild<QLineEdit *>(QStringLiteral("Quake3ProgramEdit"));
    if (engine == QLatin1String("testq3")) {
        QCOMPARE(s.quake3Dir, m_dir->filePath(QStringLiteral(".testq3/")));
        QCOMPARE(programEdit->text(), program);
    } else {
        QVERIFY(!programEdit->isEnabled());
        // Chosen in Setup instead.
        combo->activated(combo->findData(QStringLiteral("testq3")));
        QCOMPARE(s.quake3Engine, QStringLiteral("testq3"));
        QCOMPARE(s.quake3Program, program);
        QVERIFY(programEdit->isEnabled());
    }
    // The data folder holds no program: the folder dialog asks for none.
    m_folderAnswer = m_dir->path();
    form->Quake3BrowseButtonClick();
    QCOMPARE(m_folderCalls.last().executable, QString());
    QCOMPARE(form->core().gameInstall(GameType::Quake3).demosFolder(QString()), m_dir->path() + QStringLiteral("/baseq3/demos/"));
}

QTEST_MAIN(TestMainForm)
#include "tst_mainform.moc"
