// The main window's toolbar and pages: built once, then kept in step by refresh().
#include "mainclient.h"

#include "demolistmodel.h"
#include "gamelistmodel.h"
#include "mainformparts.h"

#include <QAction>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QStringListModel>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

namespace arbelon {

namespace {

constexpr int kChatLineLimit = 20000;
const int kDefaultWidths[GameListModel::kBaseColumns] = {50, 200, 70, 70, 50, 100, 60};

QLabel *counterLabel(QWidget *parent, const char *name)
{
    auto *label = named(new QLabel(QStringLiteral("0"), parent), name);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

} // namespace

void TMainForm::buildToolbar()
{
    // The menu bar above the toolbar band, both in the window's menu area.
    auto *menuArea = named(new QWidget(this), "MenuArea");
    auto *menuLayout = new QVBoxLayout(menuArea);
    menuLayout->setContentsMargins(0, 0, 0, 0);
    menuLayout->setSpacing(0);
    menuLayout->addWidget(buildMenu(menuArea));
    MainCoolBar = named(new QFrame(menuArea), "MainCoolBar");
    menuLayout->addWidget(MainCoolBar);
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
    setMenuWidget(menuArea);

    // One action per command: the button, the menu item and the shortcut are the same
    // action, so they are enabled together and run the same handler.
    const auto addButton = [this](const char *name, QAction *action, const char *hint, ToolPicture picture) {
        action->setIcon(toolIcon(picture));
        action->setToolTip(QLatin1String(hint));
        auto *b = named(new QToolButton(MainToolbar), name);
        b->setDefaultAction(action);
        b->setAutoRaise(true);
        b->setFixedSize(25, 24);
        MainToolbar->addWidget(b);
        return b;
    };
    ConnectButton = addButton("ConnectButton", ConnectAction, "Connect", ToolPicture::Connect);
    DisconnectButton = addButton("DisconnectButton", DisconnectAction, "Disconnect", ToolPicture::Disconnect);
    LeaveRoom = addButton("LeaveRoom", LeaveRoomAction, "Leave Lobby", ToolPicture::LeaveRoom);
    WatchGame = addButton("WatchGame", WatchGameAction, "Watch Game", ToolPicture::WatchGame);
}

QMenuBar *TMainForm::buildMenu(QWidget *parent)
{
    MainMenu = named(new QMenuBar(parent), "MainMenu");
    const auto add = [this](QMenu *menu, const char *name, const char *text, const QKeySequence &keys,
                            const std::function<void()> &fn) {
        QAction *a = menu->addAction(QLatin1String(text));
        a->setObjectName(QLatin1String(name));
        a->setShortcut(keys);
        connect(a, &QAction::triggered, this, [this, fn] { guarded(fn); });
        return a;
    };
    QMenu *session = MainMenu->addMenu(QStringLiteral("&Session"));
    ConnectAction = add(session, "ConnectAction", "&Connect...", QKeySequence(Qt::CTRL | Qt::Key_K),
                        [this] { ConnectButtonClick(); });
    CancelConnectAction = add(session, "CancelConnectAction", "C&ancel Connecting", QKeySequence(Qt::Key_Escape),
                              [this] { CancelConnectClick(); });
    DisconnectAction = add(session, "DisconnectAction", "&Disconnect", QKeySequence(Qt::CTRL | Qt::Key_D),
                           [this] { DisconnectButtonClick(); });
    session->addSeparator();
    add(session, "QuitAction", "&Quit", QKeySequence(Qt::CTRL | Qt::Key_Q), [this] { close(); });

    QMenu *game = MainMenu->addMenu(QStringLiteral("&Game"));
    WatchGameAction = add(game, "WatchGameAction", "&Watch Game", QKeySequence(Qt::CTRL | Qt::Key_W),
                          [this] { WatchGameClick(); });
    LeaveRoomAction = add(game, "LeaveRoomAction", "&Leave Lobby", QKeySequence(Qt::CTRL | Qt::Key_L),
                          [this] { LeaveRoomClick(); });

    QMenu *view = MainMenu->addMenu(QStringLiteral("&View"));
    GamesListAction = add(view, "GamesListAction", "&Games List", QKeySequence(Qt::CTRL | Qt::Key_G),
                          [this] { m_core->selectNode(ClientCore::NodeGamesList); });
    SetupAction = add(view, "SetupAction", "&Setup", QKeySequence(Qt::CTRL | Qt::Key_P),
                      [this] { m_core->selectNode(ClientCore::NodeSetup); });
    return MainMenu;
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
    // Marks the model's removals and resets: connected before the view's own connections so
    // that the mark is set before the view's selection follows the rows, and cleared after.
    GameListModel *games = m_core->gameList();
    const auto beginChange = [this] { ++m_gameListChanging; };
    const auto endChange = [this] { --m_gameListChanging; };
    connect(games, &QAbstractItemModel::rowsAboutToBeRemoved, this, beginChange);
    connect(games, &QAbstractItemModel::modelAboutToBeReset, this, beginChange);
    GamesListBox->setModel(games);
    connect(games, &QAbstractItemModel::rowsRemoved, this, endChange);
    connect(games, &QAbstractItemModel::modelReset, this, endChange);
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
    // A click on the row that is still selected changes no selection, yet it is a click.
    connect(GamesListBox, &QTreeView::clicked, this, [this] { GamesListBoxSelectionChange(); });
    connect(GamesListBox, &QTreeView::doubleClicked, this,
            [this] { WatchGameClick(); });
    GamesListBox->installEventFilter(this); // Enter on a row watches it
    connect(m_core->gameList(), &GameListModel::selectionChanged, this, &TMainForm::syncGameSelection);
    return page;
}

QWidget *TMainForm::buildSetupSheet()
{
    // The page scrolls rather than set the window's smallest height: on a small screen at a
    // high scale the window still fits. It is as wide as its controls, so only up and down.
    auto *sheet = named(new QScrollArea(this), "SetupSheet");
    sheet->setFrameShape(QFrame::NoFrame);
    sheet->setWidgetResizable(true);
    sheet->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    sheet->setFocusPolicy(Qt::NoFocus); // Tab goes to the controls, which it scrolls into view
    auto *page = named(new QWidget(sheet), "SetupPage");
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
    addEngineRows(dirLayout, 2, GameType::Quake2);
    addDirectory(4, "Quake 3 Directory", "Quake3DirectoryEdit", "Quake3BrowseButton", Quake3DirectoryEdit,
                 Quake3BrowseButton);
    addEngineRows(dirLayout, 6, GameType::Quake3);
    layout->addWidget(dirs);
    layout->addStretch(1);

    // The page writes into the settings as it is edited; saving takes them from there.
    // A blank name never reaches the settings; it is refused when the edit ends.
    connect(UserNameEdit, &QLineEdit::textEdited, this, [this](const QString &text) {
        if (ClientCore::userNameRefusal(text).isEmpty())
            m_core->settings().userName = text;
    });
    connect(UserNameEdit, &QLineEdit::editingFinished, this, &TMainForm::UserNameEditFinished);
    connect(TransferRateSpin, &QSpinBox::textChanged, this, [this] {
        if (!m_syncing)
            m_core->settings().transferRate = TransferRateSpin->textValue();
    });
    connect(Quake2BrowseButton, &QPushButton::clicked, this, &TMainForm::Quake2BrowseButtonClick);
    connect(Quake3BrowseButton, &QPushButton::clicked, this, &TMainForm::Quake3BrowseButtonClick);
    sheet->setWidget(page);
    sheet->setMinimumWidth(page->minimumSizeHint().width() + sheet->verticalScrollBar()->sizeHint().width());
    return sheet;
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
        l->setTextFormat(Qt::PlainText); // the mod comes from the relay: never markup
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
    DemoList->header()->setSectionResizeMode(2, QHeaderView::Fixed);
    DemoList->header()->resizeSection(2, 90);
    DemoList->setContextMenuPolicy(Qt::CustomContextMenu);
    DemoListMenu = named(new QMenu(this), "DemoListMenu");
    QAction *watch = DemoListMenu->addAction(QStringLiteral("Watch Game"));
    watch->setObjectName(QStringLiteral("WatchGame1"));
    connect(watch, &QAction::triggered, this, &TMainForm::WatchGame1Click);
    QAction *live = DemoListMenu->addAction(QStringLiteral("Play live"));
    live->setObjectName(QStringLiteral("PlayLive"));
    connect(live, &QAction::triggered, this, [this] { playSelected(true); });
    QAction *fromStart = DemoListMenu->addAction(QStringLiteral("Play from the start"));
    fromStart->setObjectName(QStringLiteral("PlayFromStart"));
    connect(fromStart, &QAction::triggered, this, [this] { playSelected(false); });
    connect(DemoList, &QWidget::customContextMenuRequested, this, [this, live](const QPoint &pos) {
        const QModelIndexList rows = DemoList->selectionModel()->selectedRows();
        live->setEnabled(!rows.isEmpty() && m_core->liveOffered(rows.first().row()));
        DemoListMenu->popup(DemoList->viewport()->mapToGlobal(pos));
    });
    DemoList->installEventFilter(this); // Enter on a row plays it
    connect(DemoList, &QTreeView::doubleClicked, this, [this](const QModelIndex &index) {
        DemoListDblClick(index.row());
    });

    auto *middle = new QWidget(split);
    auto *middleLayout = new QHBoxLayout(middle);
    middleLayout->setContentsMargins(0, 0, 0, 0);
    middleLayout->setSpacing(0);
    LobbyMemo = named(new QPlainTextEdit(middle), "LobbyMemo");
    LobbyMemo->setReadOnly(true);
    LobbyMemo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    LobbyMemo->setMaximumBlockCount(kChatLineLimit);
    LobbyMemo->setTabChangesFocus(true); // read from the keyboard, and left with Tab
    QWidget *facts = buildFactsPanel(middle); // made here so that Tab meets it before the users
    ViewerListBox = named(new QTreeView(middle), "ViewerListBox");
    ViewerListBox->setModel(new TitledListModel(QStringLiteral("Users"), ViewerListBox));
    static_cast<TitledListModel *>(ViewerListBox->model())->setSourceModel(m_core->users());
    ViewerListBox->setRootIsDecorated(false);
    ViewerListBox->setItemsExpandable(false);
    ViewerListBox->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ViewerListBox->header()->setSectionsClickable(false);
    ViewerListBox->header()->setSectionResizeMode(QHeaderView::Stretch);
    // A name wider than the list is cut short with "..." rather than given a scroll bar.
    ViewerListBox->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ViewerListBox->setFixedWidth(100);
    // The chat and what is on share the width; the events are long lines too.
    middleLayout->addWidget(LobbyMemo, 1);
    middleLayout->addWidget(facts, 1);
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

} // namespace arbelon
