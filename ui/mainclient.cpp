#include "mainclient.h"

#include "arbelonversion.h"

#include "connectform.h"
#include "folderselect.h"
#include "gamelistmodel.h"
#include "linkwatch.h"
#include "mainformparts.h"
#include "records.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#ifndef QT_NO_SESSIONMANAGER
#include <QSessionManager>
#endif
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace arbelon {

namespace {

constexpr int kPageRole = Qt::UserRole + 1; // the node's page number
constexpr int kTraceLineLimit = 5000;

} // namespace

TMainForm::TMainForm(MainFormHooks hooks, QWidget *parent)
    : QMainWindow(parent),
      m_core(new ClientCore(this)),
      m_linkWatch(new LinkWatch(*m_core, this)),
      m_widgetPrompts(this),
      m_prompts(hooks.prompts ? hooks.prompts : &m_widgetPrompts),
      m_hooks(std::move(hooks)),
      m_store(m_hooks.store ? *m_hooks.store : SettingsStore())
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Arbelon Client version " ARBELON_VERSION_SHORT));
    setWindowIcon(toolIcon(ToolPicture::WatchGame));
    resize(713, 433);

    if (!m_hooks.askUserName) {
        // Every box after the first follows one that ended without a name: it says why it is back.
        m_hooks.askUserName = [asked = 0](QWidget *parent, const QString &current) mutable {
            return WidgetPrompts::askUserName(parent, current, asked++ > 0);
        };
    }
    if (!m_hooks.runFolderDialog)
        m_hooks.runFolderDialog = TFolderSelectForm::run;
    // Each connect attempt gets a dialog of its own, made for that one use, offering the
    // servers of the last attempts.
    const WidgetPrompts::ConnectDialog offering = [this](QWidget *parent, ConnectValues &values) {
        return runConnectDialogOffering(parent, values, m_core->settings().recentServers);
    };
    m_widgetPrompts.setConnectDialog(m_hooks.connectDialog ? m_hooks.connectDialog : offering);
    m_core->setPrompts(m_prompts);
    m_core->setSaveSettings([this] { m_store.SaveSettings(m_core->settings()); });

    buildToolbar();

    // Work area: option tree | splitter | pages; the hidden diagnostic pane below.
    auto *central = new QWidget(this);
    auto *centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);
    centralLayout->setSpacing(0);

    VerticalSplitter = named(new QSplitter(Qt::Horizontal, central), "VerticalSplitter");
    VerticalSplitter->setHandleWidth(3);
    VerticalSplitter->setChildrenCollapsible(false);

    OptionTree = named(new QTreeWidget(VerticalSplitter), "OptionTree");
    OptionTree->setHeaderHidden(true);
    OptionTree->setIndentation(19);
    OptionTree->setColumnCount(1);
    OptionTree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    auto *root = new QTreeWidgetItem(OptionTree, {QStringLiteral("Arbelon")});
    root->setData(0, kPageRole, int(ClientCore::NodeArbelon));
    auto *gamesNode = new QTreeWidgetItem(root, {QStringLiteral("Games List")});
    gamesNode->setData(0, kPageRole, int(ClientCore::NodeGamesList));
    auto *setupNode = new QTreeWidgetItem(root, {QStringLiteral("Setup")});
    setupNode->setData(0, kPageRole, int(ClientCore::NodeSetup));
    // At the window's smallest the tree still shows its labels whole.
    const QFontMetrics metrics(OptionTree->font());
    int widest = 0;
    for (const QTreeWidgetItem *item : {root, gamesNode, setupNode}) {
        const int depth = item->parent() ? 2 : 1;
        widest = qMax(widest, depth * OptionTree->indentation() + metrics.horizontalAdvance(item->text(0)));
    }
    OptionTree->setMinimumWidth(widest + 2 * OptionTree->frameWidth() + metrics.averageCharWidth() * 2);

    // The pages, in the core's page order; no tabs: the tree and the lobby choose.
    InfoPageControl = named(new QStackedWidget(VerticalSplitter), "InfoPageControl");
    InfoPageControl->insertWidget(ClientCore::IntroSheet, buildIntroSheet());
    InfoPageControl->insertWidget(ClientCore::GameListSheet, buildGameListSheet());
    InfoPageControl->insertWidget(ClientCore::SetupSheet, buildSetupSheet());
    InfoPageControl->insertWidget(ClientCore::LobbySheet, buildLobbySheet());

    VerticalSplitter->addWidget(OptionTree);
    VerticalSplitter->addWidget(InfoPageControl);
    VerticalSplitter->setStretchFactor(0, 0);
    VerticalSplitter->setStretchFactor(1, 1);
    VerticalSplitter->setSizes({153, 557});
    centralLayout->addWidget(VerticalSplitter, 1);

    LogMemo = named(new QPlainTextEdit(central), "LogMemo");
    LogMemo->setReadOnly(true);
    QFont courier(QStringLiteral("Courier New"));
    courier.setStyleHint(QFont::Monospace);
    LogMemo->setFont(courier);
    LogMemo->setFixedHeight(89);
    LogMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    LogMemo->setMaximumBlockCount(kTraceLineLimit);
    LogMemo->hide();
    LogMemo->installEventFilter(this);
    centralLayout->addWidget(LogMemo);
    setCentralWidget(central);

    QStatusBar *bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar"));
    StatusPanel = named(new QLabel(bar), "StatusPanel");
    StatusPanel->setTextFormat(Qt::PlainText); // status lines may quote a server's name
    bar->addWidget(StatusPanel, 1);
    // Shown while an attempt waits for its answer ("Connecting to HOST...").
    CancelConnectButton = named(new QPushButton(QStringLiteral("Cancel"), bar), "CancelConnectButton");
    CancelConnectButton->hide();
    bar->addPermanentWidget(CancelConnectButton);
    connect(CancelConnectButton, &QPushButton::clicked, this, [this] { CancelConnectClick(); });

    connectCore();
    m_core->setTraceEnabled(false);

    // The game list's widths are read once the window is built, before FormCreate.
    applyColumnWidths(m_store.readColumnWidths());
    refresh();
    centreOnScreen();
    // The application ends from outside the window (the desktop session ends: on Windows
    // WM_QUERYENDSESSION, then WM_ENDSESSION quits the loop): saved as at a close, unasked.
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
#ifndef QT_NO_SESSIONMANAGER
        connect(app, &QGuiApplication::commitDataRequest, this, [this](QSessionManager &) { sessionEnding(); });
#endif
        connect(app, &QCoreApplication::aboutToQuit, this, &TMainForm::sessionEnding);
    }

    FormCreate();
}

TMainForm::~TMainForm()
{
    // The edit loses its focus while the widgets go; this object is no longer there to check it.
    disconnect(UserNameEdit, nullptr, this, nullptr);
    FormDestroy();
}

void TMainForm::connectCore()
{
    connect(m_core, &ClientCore::changed, this, &TMainForm::refresh);
    connect(m_core, &ClientCore::chatLineAdded, LobbyMemo, &QPlainTextEdit::appendPlainText);
    connect(m_core, &ClientCore::chatCleared, LobbyMemo, &QPlainTextEdit::clear);
    connect(m_core, &ClientCore::traceLine, LogMemo, &QPlainTextEdit::appendPlainText);
    // What the demo work found (where it watches, a start that failed): in the lobby, where
    // it stays, and in the status bar.
    connect(m_core, &ClientCore::noticeLine, this, [this](const QString &text) {
        LobbyMemo->appendPlainText(QLatin1Char('(') + text + QLatin1Char(')'));
        statusBar()->showMessage(text, 10000);
    });
    connect(m_core, &ClientCore::sessionLost, this, &TMainForm::tellSessionLost);
    // A refusal within the session covers the session's panel for a while, not for good.
    connect(m_core, &ClientCore::notice, this, [this](const QString &text) { statusBar()->showMessage(text, 15000); });
    // A question about the session has no subject once the session is gone.
    connect(m_core, &ClientCore::sessionEnded, this, [this] { m_widgetPrompts.dismissQuestion(); });
    // The program's own selections (session up, session down, lobby left) open the whole tree.
    connect(m_core, &ClientCore::sessionStarted, this, &TMainForm::expandOptionTree);
    connect(m_core, &ClientCore::sessionEnded, this, &TMainForm::expandOptionTree);
    connect(m_core, &ClientCore::lobbyLeft, this, &TMainForm::expandOptionTree);
    connect(OptionTree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem *current) { OptionTreeChange(current); });
    for (const QString &line : m_core->chatLines())
        LobbyMemo->appendPlainText(line);
    // Not inside the socket's event: a modal box would run the next events meanwhile.
    connect(m_linkWatch, &LinkWatch::failed, this, [this](const QString &text) {
        statusBar()->showMessage(text, 15000);
        QMetaObject::invokeMethod(
            this, [this, text] { m_prompts->showMessage(text); }, Qt::QueuedConnection);
    });
}

void TMainForm::openWatchLink(const QString &text)
{
    WatchLink link;
    QString error;
    if (!parseWatchLink(text, &link, &error)) {
        m_prompts->showMessage(QStringLiteral("Cannot open the link: ") + error);
        return;
    }
    guarded([this, &link] { m_linkWatch->open(link); });
}

void TMainForm::centreOnScreen()
{
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect r = frameGeometry();
        r.moveCenter(screen->availableGeometry().center());
        move(r.topLeft());
    }
}

// ---- start and end ------------------------------------------------------------------------

void TMainForm::FormCreate()
{
    ClientSettings &s = m_core->settings();
    // The engines: built in, and the user's profile file beside the settings.
    if (m_hooks.engines) {
        m_core->setEngines(*m_hooks.engines);
    } else {
        const QString settingsFolder = QFileInfo(m_store.filePath()).absolutePath();
        const auto fromFile = engineprofiles::loadFile(settingsFolder + QStringLiteral("/engines.conf"));
        m_core->setEngines(engineprofiles::merged(fromFile.profiles));
        if (!fromFile.errors.isEmpty())
            m_prompts->showMessage(QStringLiteral("Engine profiles not taken:\n") + fromFile.errors.join(QLatin1Char('\n')));
    }
    // The game's console output beside the settings, not on the terminal the client came from.
    m_core->setGameOutputFile(m_store.folder() + QLatin1Char('/') + QLatin1String(SettingsStore::kGameOutputFile));
    const bool firstStart = !QFileInfo::exists(m_store.filePath());
    try {
        m_store.LoadSettings(s);
    } catch (const ERegistryException &e) {
        refresh();
        m_prompts->showError(e.message());
        return;
    }
    refresh();
    restoreWindowPlace();

    // A stored directory that has gone is asked for again; an empty one means "not installed".
    if (!s.quake2Dir.isEmpty() && !QFileInfo(s.quake2Dir).isDir())
        Quake2BrowseButtonClick();
    if (!s.quake3Dir.isEmpty() && !QFileInfo(s.quake3Dir).isDir())
        Quake3BrowseButtonClick();

    if (firstStart)
        proposeInstalledEngines();

    // Cancelling leaves the name empty, so the box comes back until a name is given; the relay
    // refuses a blank one too. A termination signal ends the asking.
    while (!ClientCore::userNameRefusal(s.userName).isEmpty() && !(m_hooks.quitting && m_hooks.quitting())) {
        const std::optional<QString> answer = m_hooks.askUserName(this, s.userName);
        s.userName = answer.value_or(QString()).left(ClientSettings::kMaxUserName);
    }
    refresh();

    OptionTree->expandAll();
    m_core->selectNode(ClientCore::NodeArbelon);
}

void TMainForm::FormDestroy()
{
    if (m_destroyed)
        return;
    m_destroyed = true;
    keepWindowPlace();
    m_core->shutdown();
    try {
        m_store.writeColumnWidths(columnWidths());
    } catch (const ERegistryException &e) {
        m_prompts->showError(e.message());
    }
}

void TMainForm::restoreWindowPlace()
{
    const ClientSettings &s = m_core->settings();
    if (s.windowGeometry.isNull())
        return;
    QList<QRect> areas;
    if (const QScreen *primary = QGuiApplication::primaryScreen())
        areas << primary->availableGeometry();
    for (const QScreen *screen : QGuiApplication::screens()) {
        if (screen != QGuiApplication::primaryScreen())
            areas << screen->availableGeometry();
    }
    // Kept: the frame's corner and the inner size. The frame's own width is known only once
    // shown (nothing before), so it is added when there is one to add.
    const QSize frame = frameGeometry().size() - size();
    const QRect placed = fitOnScreens(QRect(s.windowGeometry.topLeft(), s.windowGeometry.size() + frame), areas);
    resize((placed.size() - frame).expandedTo(minimumSizeHint()));
    move(placed.topLeft());
    if (s.windowMaximized)
        setWindowState(windowState() | Qt::WindowMaximized);
}

void TMainForm::keepWindowPlace()
{
    ClientSettings &s = m_core->settings();
    s.windowMaximized = isMaximized();
    s.windowGeometry = s.windowMaximized ? normalGeometry() : QRect(pos(), size());
}

void TMainForm::sessionEnding()
{
    m_core->disconnectFromServer();
    FormDestroy();
}

void TMainForm::closeEvent(QCloseEvent *event)
{
    // Quitting ends the session as Disconnect does, and asks as it does; the system's request
    // to end (a logout's SIGTERM) is not asked about, as nothing would wait for the answer.
    // A question whose session died while it was open has nothing left to ask about.
    const bool systemEnds = m_hooks.quitting && m_hooks.quitting();
    if (!m_destroyed && !systemEnds && m_core->quitNeedsConfirmation()
        && !m_prompts->confirm(QStringLiteral("Are you sure you wish to quit? Quitting disconnects."))
        && m_core->quitNeedsConfirmation()) {
        event->ignore();
        return;
    }
    m_core->disconnectFromServer();
    FormDestroy();
    event->accept();
}

bool TMainForm::eventFilter(QObject *watched, QEvent *event)
{
    // Trace lines are made only while the diagnostic pane is shown.
    if (watched == LogMemo && (event->type() == QEvent::ShowToParent || event->type() == QEvent::HideToParent))
        m_core->setTraceEnabled(!LogMemo->isHidden());
    if (watched == GamesListBox && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            // The row under the keyboard's cursor is the one meant, selected or not yet.
            const QModelIndex current = GamesListBox->currentIndex();
            if (current.isValid())
                GamesListBox->selectionModel()->select(current, QItemSelectionModel::ClearAndSelect
                                                                    | QItemSelectionModel::Rows);
            GamesListBoxSelectionChange();
            WatchGameClick();
            return true;
        }
    }
    if (watched == DemoList && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            // Enter plays the row under the cursor, as a double-click does.
            const QModelIndex current = DemoList->currentIndex();
            if (current.isValid()) {
                DemoList->selectionModel()->select(current, QItemSelectionModel::ClearAndSelect
                                                                | QItemSelectionModel::Rows);
                DemoListDblClick(current.row());
            }
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---- the game directories ---------------------------------------------------------------------

void TMainForm::Quake2BrowseButtonClick()
{
    browse(GameType::Quake2);
}

void TMainForm::Quake3BrowseButtonClick()
{
    browse(GameType::Quake3);
}

void TMainForm::browse(GameType gameType)
{
    ClientSettings &s = m_core->settings();
    QString &dir = gameType == GameType::Quake2 ? s.quake2Dir : s.quake3Dir;
    QString folder = dir;
    const QString title = gameType == GameType::Quake2 ? QStringLiteral("Quake 2") : QStringLiteral("Quake 3");
    // A Windows program's folder must hold it; a native engine's data folder holds no program.
    const EngineProfile engine = m_core->gameInstall(gameType).engine;
    const QString program = engine.dataDir.isEmpty() ? engine.programs.value(0) : QString();
    if (m_hooks.runFolderDialog(this, folder, program, title))
        dir = folder;
    refresh();
}

// ---- keeping in step with the core ---------------------------------------------------------------

void TMainForm::refresh()
{
    const ClientCore &c = *m_core;
    // The toolbar's buttons show these actions.
    ConnectAction->setEnabled(c.connectEnabled());
    CancelConnectAction->setEnabled(c.connecting());
    DisconnectAction->setEnabled(c.disconnectEnabled());
    LeaveRoomAction->setEnabled(c.leaveRoomEnabled());
    WatchGameAction->setEnabled(c.watchGameEnabled());
    GamesListAction->setEnabled(c.optionTreeVisible());
    SetupAction->setEnabled(c.optionTreeVisible());
    CancelConnectButton->setVisible(c.connecting());
    if (StatusPanel->text() != c.statusText()) {
        StatusPanel->setText(c.statusText());
        // A failed attempt's note would otherwise hide the panel of the session that followed.
        if (!c.statusText().isEmpty())
            statusBar()->clearMessage();
    }
    OptionTree->setVisible(c.optionTreeVisible());
    syncTree();
    InfoPageControl->setCurrentIndex(c.page());
    GameNameLabel->setText(c.gameNameLabel());
    ModTypeLabel->setText(c.modTypeLabel());
    GoodLabel->setText(c.goodLabel());
    BadLabel->setText(c.badLabel());
    DataInLabel->setText(c.dataInLabel());

    // The setup page shows the settings; only differences are written, so typing is not
    // disturbed.
    const ClientSettings &s = c.settings();
    m_syncing = true;
    if (UserNameEdit->text() != s.userName)
        UserNameEdit->setText(s.userName);
    if (TransferRateSpin->textValue() != s.transferRate || TransferRateSpin->text().isEmpty())
        TransferRateSpin->setValue(s.transferRate);
    if (Quake2DirectoryEdit->text() != s.quake2Dir)
        Quake2DirectoryEdit->setText(s.quake2Dir);
    if (Quake3DirectoryEdit->text() != s.quake3Dir)
        Quake3DirectoryEdit->setText(s.quake3Dir);
    syncEngines();
    m_syncing = false;
}

QTreeWidgetItem *TMainForm::itemForNode(int node) const
{
    QTreeWidgetItem *root = OptionTree->topLevelItem(0);
    if (root->data(0, kPageRole).toInt() == node)
        return root;
    for (int i = 0; i < root->childCount(); ++i) {
        if (root->child(i)->data(0, kPageRole).toInt() == node)
            return root->child(i);
    }
    return root;
}

void TMainForm::syncTree()
{
    // The core has already moved (and saved if Setup was left): only the widget follows.
    QTreeWidgetItem *item = itemForNode(m_core->selectedNode());
    if (OptionTree->currentItem() == item)
        return;
    const bool was = m_syncing;
    m_syncing = true;
    OptionTree->setCurrentItem(item);
    m_syncing = was;
}

void TMainForm::OptionTreeChange(QTreeWidgetItem *current)
{
    if (m_syncing || !current)
        return;
    guarded([this, current] { m_core->selectNode(current->data(0, kPageRole).toInt()); });
}

void TMainForm::expandOptionTree()
{
    OptionTree->expandAll();
}

void TMainForm::GamesListBoxSelectionChange()
{
    // Only the user's selections count; rows that go take their selection with them without
    // a click, and the core follows that on its own.
    if (m_syncing || m_gameListChanging > 0)
        return;
    const QModelIndexList rows = GamesListBox->selectionModel()->selectedRows();
    const int row = rows.isEmpty() ? -1 : rows.first().row();
    guarded([this, row] { m_core->gameList()->setSelectedRow(row); m_core->selectGame(m_core->gameList()->selectedId()); });
}

void TMainForm::ConnectButtonClick()
{
    guarded([this] { m_core->connectWithDialog(); });
}

void TMainForm::CancelConnectClick()
{
    guarded([this] { m_core->cancelConnecting(); });
}

void TMainForm::DisconnectButtonClick()
{
    guarded([this] { m_core->confirmAndDisconnect(); });
}

void TMainForm::WatchGameClick()
{
    // The core's selection, not the view's: it follows the rows as the relay changes them.
    const std::optional<GameId> id = m_core->selectedGame();
    if (id)
        guarded([this, id] { m_core->watchGame(*id); });
}

void TMainForm::LeaveRoomClick()
{
    guarded([this] { m_core->leaveLobby(); });
}

void TMainForm::DemoListDblClick(int row)
{
    guarded([this, row] { m_core->playDemo(row, PlayFrom::Auto); });
}

void TMainForm::syncGameSelection(int row)
{
    const QModelIndexList rows = GamesListBox->selectionModel()->selectedRows();
    const int shown = rows.isEmpty() ? -1 : rows.first().row();
    if (shown == row)
        return;
    const bool was = m_syncing;
    m_syncing = true;
    if (row < 0)
        GamesListBox->selectionModel()->clearSelection();
    else
        GamesListBox->selectionModel()->select(m_core->gameList()->index(row, 0),
                                               QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    m_syncing = was;
}

void TMainForm::LobbyEditReturn()
{
    guarded([this] {
        if (m_core->sendChat(LobbyEdit->text()))
            LobbyEdit->clear();
    });
}

void TMainForm::UserNameEditFinished()
{
    const QString refusal = ClientCore::userNameRefusal(UserNameEdit->text());
    if (refusal.isEmpty())
        return;
    // The name kept is the last one that was not blank.
    UserNameEdit->setText(m_core->settings().userName);
    m_prompts->showMessage(refusal);
}

void TMainForm::tellSessionLost(const QString &reason, bool tellUser)
{
    statusBar()->showMessage(reason);
    if (!tellUser)
        return;
    // Not inside the socket's event: a modal box would run the next events meanwhile.
    QMetaObject::invokeMethod(
        this, [this, reason] { if (isVisible()) m_prompts->showMessage(reason); }, Qt::QueuedConnection);
}

void TMainForm::WatchGame1Click()
{
    // The pop-up item plays the selected demo, as a double-click does; without a selected
    // row it does nothing.
    const QModelIndexList rows = DemoList->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    const int row = rows.first().row();
    DemoListDblClick(row);
}

void TMainForm::playSelected(bool live)
{
    const QModelIndexList rows = DemoList->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    const int row = rows.first().row();
    guarded([this, row, live] { m_core->playDemo(row, live ? PlayFrom::Live : PlayFrom::Start); });
}

void TMainForm::guarded(const std::function<void()> &fn)
{
    try {
        fn();
    } catch (const std::exception &e) {
        m_prompts->showError(QString::fromUtf8(e.what()));
    }
}

// ---- column widths ----------------------------------------------------------------------------------

void TMainForm::applyColumnWidths(const QList<int> &widths)
{
    QHeaderView *header = GamesListBox->header();
    for (int i = 0; i < widths.size(); ++i) {
        // A stored width beyond the designed columns brings its own column ("S. 6").
        if (i >= m_core->gameList()->columnCount())
            m_core->gameList()->ensureColumnCount(i + 1);
        if (widths.at(i) >= 0)
            header->resizeSection(i, widths.at(i));
    }
}

QList<int> TMainForm::columnWidths() const
{
    QList<int> widths;
    const QHeaderView *header = GamesListBox->header();
    for (int i = 0; i < header->count(); ++i)
        widths.append(header->sectionSize(i));
    return widths;
}

} // namespace arbelon
