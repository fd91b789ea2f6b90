#include "windowrig.h"

#include "gamelistmodel.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>

namespace arbelon::test {

bool FormPrompts::runConnectDialog(ConnectValues &values)
{
    return dialogs && dialogs->runConnectDialog(values);
}

bool FormPrompts::confirm(const QString &question)
{
    questions << question;
    if (realQuestions && dialogs)
        return dialogs->confirm(question);
    return confirmAnswer;
}

void Relay::give(const QByteArray &records)
{
    QByteArrayView rest(records);
    cutRecords(&rest, [this](QByteArrayView r) {
        owed += packetType(r) == ACKNAK ? 0 : 1;
        return true;
    });
    send(records);
}

DialogDriver::DialogDriver()
{
    m_timer.setInterval(5);
    connect(&m_timer, &QTimer::timeout, this, &DialogDriver::poll);
    m_timer.start();
}

void DialogDriver::poll()
{
    auto *dialog = qobject_cast<TConnectForm *>(QApplication::activeModalWidget());
    if (!dialog || dialog == m_current || !dialog->isVisible())
        return;
    m_current = dialog;
    ++opened;
    if (scripts.isEmpty()) {
        QTest::mouseClick(inDialog<QPushButton>(*dialog, "cancelButton"), Qt::LeftButton);
        return;
    }
    scripts.takeFirst()(*dialog);
}

void typeInto(QLineEdit *edit, const QString &text)
{
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}

// ---- the window -------------------------------------------------------------------------

WindowRig::WindowRig(const QString &userName) : m_userName(userName)
{
    QDir(m_dir.path()).mkpath(QStringLiteral("q2/baseq2"));
    QDir(m_dir.path()).mkpath(QStringLiteral("q3/baseq3"));
}

WindowRig::~WindowRig() = default;

TMainForm &WindowRig::make()
{
    MainFormHooks hooks;
    hooks.prompts = &prompts;
    // Only the Windows programs: what this machine has installed must not ask questions.
    hooks.engines = QList<EngineProfile>{engineprofiles::original(0), engineprofiles::original(1)};
    hooks.store = SettingsStore(m_dir.filePath(QStringLiteral("settings.reg")));
    hooks.quitting = quitting;
    hooks.askUserName = [name = m_userName](QWidget *, const QString &) { return std::optional<QString>(name); };
    if (!realDialog) {
        hooks.connectDialog = [this](QWidget *, ConnectValues &values) {
            if (answers.isEmpty())
                return false;
            values = answers.takeFirst();
            return true;
        };
    }
    m_form = std::make_unique<TMainForm>(hooks);
    prompts.dialogs = &m_form->widgetPrompts();
    ClientCore &c = m_form->core();
    c.settings().quake2Dir = m_dir.filePath(QStringLiteral("q2/"));
    c.settings().quake3Dir = m_dir.filePath(QStringLiteral("q3/"));
    c.setGameRunningCheck(&running);
    c.setProgramStarter(&starter);
    m_form->setWindowTitle(m_userName);
    m_form->show();
    if (!QTest::qWaitForWindowExposed(m_form.get()))
        qWarning("the window was not exposed");
    return *m_form;
}

QToolButton *WindowRig::tool(const char *name) const
{
    return control<QToolButton>(name);
}

void WindowRig::clickTool(const char *name)
{
    QTest::mouseClick(tool(name), Qt::LeftButton);
}

void WindowRig::clickRow(const char *viewName, int row, bool twice)
{
    auto *view = control<QTreeView>(viewName);
    const QRect r = view->visualRect(view->model()->index(row, 0));
    QVERIFY2(r.isValid(), viewName);
    // A double-click is a click followed by the second press, reported as a double-click.
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, r.center());
    if (twice) {
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, r.center());
        QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, r.center());
    }
}

void WindowRig::say(const QString &text)
{
    auto *edit = control<QLineEdit>("LobbyEdit");
    edit->setFocus();
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
}

QString WindowRig::shown() const
{
    const auto on = [this](const char *name) {
        return tool(name)->isEnabled() ? QStringLiteral("1") : QStringLiteral("0");
    };
    const auto *tree = control<QTreeWidget>("OptionTree");
    QString treeText = QStringLiteral("hidden");
    if (tree->isVisible())
        treeText = tree->currentItem() ? tree->currentItem()->text(0) : QStringLiteral("none");
    return QStringLiteral("CDLW=%1%2%3%4 page=%5 tree=%6 status=%7")
        .arg(on("ConnectButton"), on("DisconnectButton"), on("LeaveRoom"), on("WatchGame"))
        .arg(page(), treeText, control<QLabel>("StatusPanel")->text());
}

QString WindowRig::page() const
{
    return control<QStackedWidget>("InfoPageControl")->currentWidget()->objectName();
}

QString WindowRig::cell(int row, int column) const
{
    return control<QTreeView>("GamesListBox")->model()->index(row, column).data().toString();
}

int WindowRig::gameRows() const
{
    return control<QTreeView>("GamesListBox")->model()->rowCount();
}

int WindowRig::gameRow(const QString &name) const
{
    for (int i = 0; i < gameRows(); ++i) {
        if (cell(i, GameListModel::ColName) == name)
            return i;
    }
    return -1;
}

QStringList WindowRig::users() const
{
    QStringList out;
    const QAbstractItemModel *m = control<QTreeView>("ViewerListBox")->model();
    for (int i = 0; i < m->rowCount(); ++i)
        out << m->index(i, 0).data().toString();
    return out;
}

QString WindowRig::chat() const
{
    return control<QPlainTextEdit>("LobbyMemo")->toPlainText();
}

ConnectValues WindowRig::viewerValues(const QString &serverAddress)
{
    ConnectValues v;
    v.serverAddress = serverAddress;
    v.role = Role::Viewer;
    v.gameType = gtQuake2;
    v.mod = QStringLiteral("baseq2");
    return v;
}

} // namespace arbelon::test
