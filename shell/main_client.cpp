#include "shell/main_client.h"

#include "demo/demolistmodel.h"
#include "demo/gamelayout.h"
#include "protocol/arbelon_types.h"
#include "session/gamelistmodel.h"
#include "shell/FolderSelect.h"
#include "shell/mainformparts.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStringListModel>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace arbelon {

namespace {

constexpr int kPageRole = Qt::UserRole + 1; // the node's page number
constexpr int kChatLineLimit = 20000;
constexpr int kTraceLineLimit = 5000;

const int kDefaultWidths[GameListModel::kBaseColumns] = {50, 200, 70, 70, 50};

std::optional<QString> askUserNameBox(QWidget *parent, const QString &current)
{
    bool ok = false;
    const QString text = QInputDialog::getText(parent, QStringLiteral("Enter user name"),
                                               QStringLiteral("Prompt"), QLineEdit::Normal, current, &ok);
    if (!ok)
        return std::nullopt;
    return text;
}

template <typename T>
T *named(T *widget, const char *name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QLabel *counterLabel(QWidget *parent, const char *name)
{
    auto *label = named(new QLabel(QStringLiteral("0"), parent), name);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
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

// ---- building -------------------------------------------------------------------------------

void TMainForm::buildToolbar()
{
    MainCoolBar = named(new QFrame(this), "MainCoolBar");
    MainCoolBar->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
    auto *band = new QHBoxLayout(MainCoolBar);
    band->setContentsMargins(2, 1, 2, 1);
    MainToolbar = named(new QToolBar(MainCoolBar), "MainToolbar");
    MainToolbar->setFixedHeight(25);
    MainToolbar->setIconSize(QSize(16, 16));
    MainToolbar->setMovable(false);
    MainToolbar->setFloatable(false);
    band->addWidget(MainToolbar);
    band->addStretch(1);
    setMenuWidget(MainCoolBar);

    const auto addButton = [this](const char *name, const char *hint, ToolPicture picture) {
        auto *b = named(new QToolButton(MainToolbar), name);
        b->setToolTip(QLatin1String(hint));
        b->setIcon(toolIcon(picture));
        b->setAutoRaise(true);
        b->setFixedSize(25, 24);
        MainToolbar->addWidget(b);
        return b;
    };
    ConnectButton = addButton("ConnectButton", "Connect", ToolPicture::Connect);
    DisconnectButton = addButton("DisconnectButton", "Disconnect", ToolPicture::Disconnect);
    LeaveRoom = addButton("LeaveRoom", "Leave Lobby", ToolPicture::LeaveRoom);
    WatchGame = addButton("WatchGame", "Watch Game", ToolPicture::WatchGame);

    connect(ConnectButton, &QToolButton::clicked, this, [this] { guarded([this] { m_core->ConnectButtonClick(); }); });
    connect(DisconnectButton, &QToolButton::clicked, this,
            [this] { guarded([this] { m_core->DisconnectButtonClick(); }); });
    connect(LeaveRoom, &QToolButton::clicked, this, [this] { guarded([this] { m_core->LeaveRoomClick(); }); });
    connect(WatchGame, &QToolButton::clicked, this, [this] { guarded([this] { m_core->WatchGameClick(); }); });
}

QWidget *TMainForm::buildIntroSheet()
{
    auto *page = named(new QWidget(this), "IntroSheet");
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(named(new ArbelonLogo(page), "IntroLogo"), 1);

    auto *panel = named(new QFrame(page), "IntroPanel");
    panel->setFixedHeight(41);
    panel->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    auto *panelLayout = new QHBoxLayout(panel);
    auto *line = named(new QLabel(QStringLiteral("Watch and film Quake 2 and Quake 3 Arena games live"), panel),
                       "IntroLabel");
    QFont arial(QStringLiteral("Arial"));
    arial.setBold(true);
    line->setFont(arial);
    line->setAlignment(Qt::AlignCenter);
    panelLayout->addWidget(line);
    layout->addWidget(panel);
    return page;
}

QWidget *TMainForm::buildGameListSheet()
{
    auto *page = named(new QWidget(this), "GameListSheet");
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    GamesListBox = named(new QTreeView(page), "GamesListBox");
    GamesListBox->setModel(m_core->gameList());
    GamesListBox->setRootIsDecorated(false);
    GamesListBox->setItemsExpandable(false);
    GamesListBox->setUniformRowHeights(true);
    GamesListBox->setAllColumnsShowFocus(true);
    GamesListBox->setSelectionBehavior(QAbstractItemView::SelectRows);
    GamesListBox->setSelectionMode(QAbstractItemView::SingleSelection);
    GamesListBox->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Widths are the user's: the last column does not stretch them away.
    GamesListBox->header()->setStretchLastSection(false);
    GamesListBox->header()->setSectionsMovable(false);
    for (int c = 0; c < GameListModel::kBaseColumns; ++c)
        GamesListBox->header()->resizeSection(c, kDefaultWidths[c]);
    layout->addWidget(GamesListBox);

    connect(GamesListBox->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { GamesListBoxSelectionChange(); });
    connect(GamesListBox, &QTreeView::doubleClicked, this,
            [this] { guarded([this] { m_core->WatchGameClick(); }); });
    connect(m_core->gameList(), &GameListModel::selectionChanged, this, &TMainForm::syncGameSelection);
    return page;
}

QWidget *TMainForm::buildSetupSheet()
{
    auto *page = named(new QWidget(this), "SetupSheet");
    auto *layout = new QVBoxLayout(page);

    auto *user = named(new QGroupBox(QStringLiteral("User Details"), page), "UserDetailsGroup");
    auto *userLayout = new QGridLayout(user);
    UserNameEdit = named(new QLineEdit(user), "UserNameEdit");
    UserNameEdit->setMaxLength(ClientSettings::kMaxUserName);
    TransferRateSpin = named(new RateSpinBox(user), "TransferRateSpin");
    TransferRateSpin->setRange(0, ClientSettings::kMaxTransferRate);
    userLayout->addWidget(new QLabel(QStringLiteral("User Name :"), user), 0, 0);
    userLayout->addWidget(UserNameEdit, 0, 1);
    userLayout->addWidget(new QLabel(QStringLiteral("Transfer Rate :"), user), 1, 0);
    userLayout->addWidget(TransferRateSpin, 1, 1);
    userLayout->setColumnStretch(2, 1);
    UserNameEdit->setMinimumWidth(160);
    layout->addWidget(user);

    auto *dirs = named(new QGroupBox(QStringLiteral("Quake Directories"), page), "QuakeDirectoriesGroup");
    auto *dirLayout = new QGridLayout(dirs);
    const auto addDirectory = [&](int row, const char *label, const char *editName, const char *buttonName,
                                  QLineEdit *&edit, QPushButton *&button) {
        dirLayout->addWidget(new QLabel(QLatin1String(label), dirs), row, 0, 1, 2);
        edit = named(new QLineEdit(dirs), editName);
        edit->setReadOnly(true);
        QPalette grey = edit->palette();
        grey.setColor(QPalette::Base, grey.color(QPalette::Window));
        edit->setPalette(grey);
        button = named(new QPushButton(QStringLiteral("Browse"), dirs), buttonName);
        dirLayout->addWidget(edit, row + 1, 0);
        dirLayout->addWidget(button, row + 1, 1);
    };
    addDirectory(0, "Quake 2 Directory", "Quake2DirectoryEdit", "Quake2BrowseButton", Quake2DirectoryEdit,
                 Quake2BrowseButton);
    addDirectory(2, "Quake 3 Directory", "Quake3DirectoryEdit", "Quake3BrowseButton", Quake3DirectoryEdit,
                 Quake3BrowseButton);
    layout->addWidget(dirs);
    layout->addStretch(1);

    // The page writes into the settings as it is edited; saving takes them from there.
    connect(UserNameEdit, &QLineEdit::textEdited, this, [this](const QString &text) {
        m_core->settings().userName = text;
    });
    connect(TransferRateSpin, &QSpinBox::textChanged, this, [this] {
        if (!m_syncing)
            m_core->settings().transferRate = TransferRateSpin->textValue();
    });
    connect(Quake2BrowseButton, &QPushButton::clicked, this, &TMainForm::Quake2BrowseButtonClick);
    connect(Quake3BrowseButton, &QPushButton::clicked, this, &TMainForm::Quake3BrowseButtonClick);
    return page;
}

QWidget *TMainForm::buildLobbySheet()
{
    auto *page = named(new QWidget(this), "LobbySheet");
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // Header: game on the left, mod on the right, white on dark grey.
    auto *details = named(new QFrame(page), "DetailsPanel");
    details->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    details->setFixedHeight(26);
    details->setAutoFillBackground(true);
    QPalette dark = details->palette();
    dark.setColor(QPalette::Window, dark.color(QPalette::Dark));
    dark.setColor(QPalette::WindowText, Qt::white);
    details->setPalette(dark);
    auto *detailsLayout = new QHBoxLayout(details);
    detailsLayout->setContentsMargins(6, 0, 6, 0);
    QFont heading(QStringLiteral("Arial"));
    heading.setPixelSize(15);
    heading.setBold(true);
    GameNameLabel = named(new QLabel(details), "GameNameLabel");
    ModTypeLabel = named(new QLabel(details), "ModTypeLabel");
    for (QLabel *l : {GameNameLabel, ModTypeLabel}) {
        l->setFont(heading);
        l->setPalette(dark);
    }
    ModTypeLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    detailsLayout->addWidget(GameNameLabel);
    detailsLayout->addStretch(1);
    detailsLayout->addWidget(ModTypeLabel);
    layout->addWidget(details);

    // Demos above the chat; Splitter1 sets the demo list's height.
    auto *split = named(new QSplitter(Qt::Vertical, page), "Splitter1");
    split->setHandleWidth(3);
    split->setChildrenCollapsible(false);
    DemoList = named(new QTreeView(split), "DemoList");
    DemoList->setModel(m_core->demoList());
    DemoList->setRootIsDecorated(false);
    DemoList->setItemsExpandable(false);
    DemoList->setUniformRowHeights(true);
    DemoList->setAllColumnsShowFocus(true);
    DemoList->setSelectionBehavior(QAbstractItemView::SelectRows);
    DemoList->setSelectionMode(QAbstractItemView::SingleSelection);
    DemoList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DemoList->setToolTip(QStringLiteral("Double Click on Game To watch"));
    DemoList->header()->setSectionsClickable(false);
    DemoList->header()->setStretchLastSection(false);
    DemoList->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    DemoList->header()->setSectionResizeMode(1, QHeaderView::Fixed);
    DemoList->header()->resizeSection(1, 100);
    DemoList->setContextMenuPolicy(Qt::CustomContextMenu);
    DemoListMenu = named(new QMenu(this), "DemoListMenu");
    QAction *watch = DemoListMenu->addAction(QStringLiteral("Watch Game"));
    watch->setObjectName(QStringLiteral("WatchGame1"));
    connect(watch, &QAction::triggered, this, &TMainForm::WatchGame1Click);
    connect(DemoList, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { DemoListMenu->popup(DemoList->viewport()->mapToGlobal(pos)); });
    connect(DemoList, &QTreeView::doubleClicked, this, [this](const QModelIndex &index) {
        guarded([this, index] { m_core->DemoListDblClick(index.row()); });
    });

    auto *middle = new QWidget(split);
    auto *middleLayout = new QHBoxLayout(middle);
    middleLayout->setContentsMargins(0, 0, 0, 0);
    middleLayout->setSpacing(0);
    LobbyMemo = named(new QPlainTextEdit(middle), "LobbyMemo");
    LobbyMemo->setReadOnly(true);
    LobbyMemo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    LobbyMemo->setMaximumBlockCount(kChatLineLimit);
    ViewerListBox = named(new QTreeView(middle), "ViewerListBox");
    ViewerListBox->setModel(new TitledListModel(QStringLiteral("Users"), ViewerListBox));
    static_cast<TitledListModel *>(ViewerListBox->model())->setSourceModel(m_core->users());
    ViewerListBox->setRootIsDecorated(false);
    ViewerListBox->setItemsExpandable(false);
    ViewerListBox->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ViewerListBox->header()->setSectionsClickable(false);
    ViewerListBox->setFixedWidth(100);
    middleLayout->addWidget(LobbyMemo, 1);
    middleLayout->addWidget(ViewerListBox);
    middleLayout->addWidget(buildScoresPanel(middle));
    split->addWidget(DemoList);
    split->addWidget(middle);
    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    split->setSizes({72, 240});
    layout->addWidget(split, 1);

    auto *editPanel = named(new QFrame(page), "EditBoxPanel");
    editPanel->setFixedHeight(26);
    auto *editLayout = new QHBoxLayout(editPanel);
    editLayout->setContentsMargins(1, 1, 1, 1);
    LobbyEdit = named(new QLineEdit(editPanel), "LobbyEdit");
    LobbyEdit->setMaxLength(255);
    editLayout->addWidget(LobbyEdit);
    layout->addWidget(editPanel);
    connect(LobbyEdit, &QLineEdit::returnPressed, this, &TMainForm::LobbyEditReturn);
    return page;
}

QWidget *TMainForm::buildScoresPanel(QWidget *parent)
{
    // Counters of the transfer, kept for diagnosis: never shown.
    auto *panel = named(new QFrame(parent), "ScoresPanel");
    panel->setFixedWidth(123);
    auto *grid = new QGridLayout(panel);
    GoodLabel = counterLabel(panel, "GoodLabel");
    BadLabel = counterLabel(panel, "BadLabel");
    DataInLabel = counterLabel(panel, "DataInLabel");
    const QList<std::pair<const char *, QLabel *>> rows = {
        {"Good Packets :", GoodLabel},
        {"Bad Packets :", BadLabel},
        {"OutBuffer", counterLabel(panel, "OutBuffer")},
        {"Data In:", DataInLabel},
    };
    for (int i = 0; i < rows.size(); ++i) {
        grid->addWidget(new QLabel(QLatin1String(rows[i].first), panel), i, 0);
        grid->addWidget(rows[i].second, i, 1);
    }
    grid->setRowStretch(int(rows.size()), 1);
    panel->hide();
    return panel;
}

void TMainForm::connectCore()
{
    connect(m_core, &ClientCore::changed, this, &TMainForm::refresh);
    connect(m_core, &ClientCore::chatLineAdded, LobbyMemo, &QPlainTextEdit::appendPlainText);
    connect(m_core, &ClientCore::chatCleared, LobbyMemo, &QPlainTextEdit::clear);
    connect(m_core, &ClientCore::traceLine, LogMemo, &QPlainTextEdit::appendPlainText);
    connect(m_core, &ClientCore::connectionFailed, this,
            [this](const QString &reason) { statusBar()->showMessage(reason, 10000); });
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
    while (s.userName.isEmpty()) {
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
    StatusPanel->setText(c.statusText());
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

void TMainForm::GamesListBoxSelectionChange()
{
    if (m_syncing)
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
    const QModelIndex current = DemoList->currentIndex();
    if (!current.isValid())
        return;
    guarded([this, current] { m_core->DemoListDblClick(current.row()); });
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
