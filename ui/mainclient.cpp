#include "mainclient.h"

#include "connectform.h"
#include "folderselect.h"
#include "gamelayout.h"
#include "gamelistmodel.h"
#include "mainformparts.h"
#include "records.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
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

std::optional<QString> askUserNameBox(QWidget *parent, const QString &current)
{
    bool ok = false;
    const QString text = QInputDialog::getText(parent, QStringLiteral("Enter user name"),
                                               QStringLiteral("Prompt"), QLineEdit::Normal, current, &ok);
    if (!ok)
        return std::nullopt;
    return text;
}

} // namespace

TMainForm::TMainForm(MainFormHooks hooks, QWidget *parent)
    : QMainWindow(parent),
      m_core(new ClientCore(this)),
      m_widgetPrompts(this),
      m_prompts(hooks.prompts ? hooks.prompts : &m_widgetPrompts),
      m_hooks(std::move(hooks)),
      m_store(m_hooks.store ? *m_hooks.store : SettingsStore())
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Arbelon Client version 1.3"));
    setWindowIcon(toolIcon(ToolPicture::WatchGame));
    resize(713, 433);

    if (!m_hooks.askUserName)
        m_hooks.askUserName = askUserNameBox;
    if (!m_hooks.runFolderDialog)
        m_hooks.runFolderDialog = TFolderSelectForm::run;
    // Each connect attempt gets a dialog of its own, made for that one use.
    m_widgetPrompts.setConnectDialog(m_hooks.connectDialog ? m_hooks.connectDialog
                                                           : WidgetPrompts::ConnectDialog(runConnectDialog));
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
    OptionTree->setMinimumWidth(60);
    auto *root = new QTreeWidgetItem(OptionTree, {QStringLiteral("Arbelon")});
    root->setData(0, kPageRole, int(ClientCore::NodeArbelon));
    auto *gamesNode = new QTreeWidgetItem(root, {QStringLiteral("Games List")});
    gamesNode->setData(0, kPageRole, int(ClientCore::NodeGamesList));
    auto *setupNode = new QTreeWidgetItem(root, {QStringLiteral("Setup")});
    setupNode->setData(0, kPageRole, int(ClientCore::NodeSetup));

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

    connectCore();
    m_core->setTraceEnabled(false);

    // The game list's widths are read once the window is built, before FormCreate.
    applyColumnWidths(m_store.readColumnWidths());
    refresh();
    centreOnScreen();

    FormCreate();
}

TMainForm::~TMainForm()
{
    FormDestroy();
}

void TMainForm::connectCore()
{
    connect(m_core, &ClientCore::changed, this, &TMainForm::refresh);
    connect(m_core, &ClientCore::chatLineAdded, LobbyMemo, &QPlainTextEdit::appendPlainText);
    connect(m_core, &ClientCore::chatCleared, LobbyMemo, &QPlainTextEdit::clear);
    connect(m_core, &ClientCore::traceLine, LogMemo, &QPlainTextEdit::appendPlainText);
    connect(m_core, &ClientCore::connectionFailed, this,
            [this](const QString &reason) { statusBar()->showMessage(reason, 10000); });
    // The program's own selections (session up, session down, lobby left) open the whole tree.
    connect(m_core, &ClientCore::sessionStarted, this, &TMainForm::expandOptionTree);
    connect(m_core, &ClientCore::sessionEnded, this, &TMainForm::expandOptionTree);
    connect(m_core, &ClientCore::lobbyLeft, this, &TMainForm::expandOptionTree);
    connect(OptionTree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem *current) { OptionTreeChange(current); });
    for (const QString &line : m_core->chatLines())
        LobbyMemo->appendPlainText(line);
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
    try {
        m_store.LoadSettings(s);
    } catch (const ERegistryException &e) {
        refresh();
        m_prompts->showError(e.message());
        return;
    }
    refresh();

    // A stored directory that has gone is asked for again; an empty one means "not installed".
    if (!s.quake2Dir.isEmpty() && !QFileInfo(s.quake2Dir).isDir())
        Quake2BrowseButtonClick();
    if (!s.quake3Dir.isEmpty() && !QFileInfo(s.quake3Dir).isDir())
        Quake3BrowseButtonClick();

    // Cancelling leaves the name empty, so the box comes back until a name is given.
    while (s.userName.isEmpty() && !(m_hooks.quitting && m_hooks.quitting())) {
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
    m_core->shutdown();
    try {
        m_store.writeColumnWidths(columnWidths());
    } catch (const ERegistryException &e) {
        m_prompts->showError(e.message());
    }
}

void TMainForm::closeEvent(QCloseEvent *event)
{
    FormDestroy();
    event->accept();
}

bool TMainForm::eventFilter(QObject *watched, QEvent *event)
{
    // Trace lines are made only while the diagnostic pane is shown.
    if (watched == LogMemo && (event->type() == QEvent::ShowToParent || event->type() == QEvent::HideToParent))
        m_core->setTraceEnabled(!LogMemo->isHidden());
    return QMainWindow::eventFilter(watched, event);
}

// ---- the game directories ---------------------------------------------------------------------

void TMainForm::Quake2BrowseButtonClick()
{
    browse(gtQuake2);
}

void TMainForm::Quake3BrowseButtonClick()
{
    browse(gtQuake3);
}

void TMainForm::browse(int gameType)
{
    ClientSettings &s = m_core->settings();
    QString &dir = gameType == gtQuake2 ? s.quake2Dir : s.quake3Dir;
    QString folder = dir;
    const QString title = gameType == gtQuake2 ? QStringLiteral("Quake 2") : QStringLiteral("Quake 3");
    if (m_hooks.runFolderDialog(this, folder, gamelayout::executableName(gameType), title))
        dir = folder;
    refresh();
}

// ---- keeping in step with the core ---------------------------------------------------------------

void TMainForm::refresh()
{
    const ClientCore &c = *m_core;
    ConnectButton->setEnabled(c.connectEnabled());
    DisconnectButton->setEnabled(c.disconnectEnabled());
    LeaveRoom->setEnabled(c.leaveRoomEnabled());
    WatchGame->setEnabled(c.watchGameEnabled());
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
    guarded([this, row] { m_core->GamesListBoxClick(row); });
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
        if (m_core->LobbyEditKeyPress(LobbyEdit->text()))
            LobbyEdit->clear();
    });
}

void TMainForm::WatchGame1Click()
{
    // The pop-up item plays the selected demo, as a double-click does; without a selected
    // row it does nothing.
    const QModelIndexList rows = DemoList->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    const int row = rows.first().row();
    guarded([this, row] { m_core->DemoListDblClick(row); });
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
