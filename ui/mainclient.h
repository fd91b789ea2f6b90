#pragma once
// The main window: shows the core's state (toolbar, option tree, pages, lists, status bar)
// and forwards the user's actions to it. The logic lives in ClientCore; this class only
// builds the widgets, keeps them in step with the core, and runs the start and the end.

#include "clientcore.h"
#include "settingsstore.h"
#include "widgetprompts.h"

#include <QMainWindow>
#include <functional>
#include <optional>

class QCloseEvent;
class QComboBox;
class QFrame;
class QGridLayout;
class QGroupBox;
class QLabel;
class QAction;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class QStackedWidget;
class QToolBar;
class QToolButton;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

namespace arbelon {

class LinkWatch;
class RateSpinBox;

// The modal questions of the start, replaceable so that tests answer them without a screen.
struct MainFormHooks {
    // Message boxes and the connect dialog; null for the window's own boxes.
    UserPrompts *prompts = nullptr;
    // The connect dialog behind the window's own prompts; null for TConnectForm.
    WidgetPrompts::ConnectDialog connectDialog;
    // The input box "Enter user name" holding the current name; an empty optional when
    // cancelled. Null for the real input box (WidgetPrompts::askUserName).
    std::function<std::optional<QString>(QWidget *parent, const QString &current)> askUserName;
    // The game folder dialog; true (folder changed) on OK. Null for TFolderSelectForm.
    std::function<bool(QWidget *parent, QString &folder, const QString &executableName,
                       const QString &gameTitle)>
        runFolderDialog;
    // The file chooser for an engine's program: the chosen path, or empty when cancelled. Null
    // for the real file dialog.
    std::function<QString(QWidget *parent, const QString &current, const QString &title)> runProgramDialog;
    // The engines known; unset for the built-in ones and the profile file beside the settings.
    std::optional<QList<EngineProfile>> engines;
    // True once the program is to end (a termination signal): the user-name prompt stops
    // asking. Null: never.
    std::function<bool()> quitting;
    // Where the settings live; unset for the current user's store.
    std::optional<SettingsStore> store;
};

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    // Builds the window, reads the game list's column widths and runs FormCreate: all of it
    // before the window is first shown.
    explicit TMainForm(MainFormHooks hooks = {}, QWidget *parent = nullptr);
    ~TMainForm() override;

    ClientCore &core() { return *m_core; }
    const SettingsStore &store() const { return m_store; }
    // The window's own prompts, where the connect dialog is hooked in.
    WidgetPrompts &widgetPrompts() { return m_widgetPrompts; }
    UserPrompts &prompts() { return *m_prompts; }
    LinkWatch &linkWatch() { return *m_linkWatch; }

    // Watches the game of a watch link (from the command line or a second start); a bad link
    // or any failure on the way is told in a message box.
    void openWatchLink(const QString &text);

    // ---- handlers ----
    void FormCreate();
    // Saves the settings and then the column widths; runs once (close, or destruction).
    void FormDestroy();
    // The desktop session ends (Windows: WM_QUERYENDSESSION): what closing does, without the
    // question, since the system does not wait for an answer.
    void sessionEnding();
    void Quake2BrowseButtonClick();
    void Quake3BrowseButtonClick();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // ---- building ----
    void buildToolbar();
    // The menu bar: every toolbar action and the pages, each with its shortcut.
    QMenuBar *buildMenu(QWidget *parent);
    QWidget *buildIntroSheet();
    QWidget *buildGameListSheet();
    QWidget *buildSetupSheet();
    QWidget *buildLobbySheet();
    QWidget *buildScoresPanel(QWidget *parent);
    void connectCore();
    void centreOnScreen();
    // The window's place and size: from the settings (fitted onto a screen that is there),
    // and into them at the end.
    void restoreWindowPlace();
    void keepWindowPlace();

    // ---- keeping in step with the core ----
    void refresh();
    void syncTree();
    void syncGameSelection(int row);
    QTreeWidgetItem *itemForNode(int node) const;
    void OptionTreeChange(QTreeWidgetItem *current);
    void GamesListBoxSelectionChange();
    // The window's commands, each onto the session's own call.
    void ConnectButtonClick();
    void CancelConnectClick();
    void DisconnectButtonClick();
    void WatchGameClick();
    void LeaveRoomClick();
    void DemoListDblClick(int row);
    void expandOptionTree();
    void LobbyEditReturn();
    void UserNameEditFinished();
    void tellSessionLost(const QString &reason, bool tellUser);
    void WatchGame1Click();
    void playSelected(bool live);
    // The lobby's scoreboard and event feed beside the chat (mainclientfacts.cpp).
    QWidget *buildFactsPanel(QWidget *parent);
    void EventFeedDblClick(int row);

    // ---- column widths ----
    void applyColumnWidths(const QList<int> &widths);
    QList<int> columnWidths() const;

    void browse(GameType gameType);

    // ---- engines (mainclientengines.cpp) ----
    void addEngineRows(QGridLayout *grid, int row, GameType gameType);
    void syncEngines();
    void EngineComboChange(GameType gameType, int index);
    void ProgramButtonClick(GameType gameType);
    // First start: offers the native engines found on this machine.
    void proposeInstalledEngines();
    // Runs a user action; an error is shown in the error box and the program goes on.
    void guarded(const std::function<void()> &fn);

    ClientCore *m_core;
    LinkWatch *m_linkWatch;
    WidgetPrompts m_widgetPrompts;
    UserPrompts *m_prompts;
    MainFormHooks m_hooks;
    SettingsStore m_store;
    bool m_syncing = false;
    // Rows of the game list are being removed or reset: the view's selection follows the
    // model then, which is no click of the user's.
    int m_gameListChanging = 0;
    bool m_destroyed = false;

    // ---- controls ----
    QFrame *MainCoolBar = nullptr;
    QToolBar *MainToolbar = nullptr;
    QToolButton *ConnectButton = nullptr;
    QToolButton *DisconnectButton = nullptr;
    QToolButton *LeaveRoom = nullptr;
    QToolButton *WatchGame = nullptr;
    QMenuBar *MainMenu = nullptr;
    QAction *ConnectAction = nullptr;
    QAction *CancelConnectAction = nullptr;
    QAction *DisconnectAction = nullptr;
    QAction *LeaveRoomAction = nullptr;
    QAction *WatchGameAction = nullptr;
    QAction *GamesListAction = nullptr;
    QAction *SetupAction = nullptr;
    QPushButton *CancelConnectButton = nullptr;
    QSplitter *VerticalSplitter = nullptr;
    QTreeWidget *OptionTree = nullptr;
    QStackedWidget *InfoPageControl = nullptr;
    QTreeView *GamesListBox = nullptr;
    QLineEdit *UserNameEdit = nullptr;
    RateSpinBox *TransferRateSpin = nullptr;
    QLineEdit *Quake2DirectoryEdit = nullptr;
    QLineEdit *Quake3DirectoryEdit = nullptr;
    QPushButton *Quake2BrowseButton = nullptr;
    QPushButton *Quake3BrowseButton = nullptr;
    QComboBox *Quake2EngineCombo = nullptr;
    QComboBox *Quake3EngineCombo = nullptr;
    QLineEdit *Quake2ProgramEdit = nullptr;
    QLineEdit *Quake3ProgramEdit = nullptr;
    QPushButton *Quake2ProgramButton = nullptr;
    QPushButton *Quake3ProgramButton = nullptr;
    QComboBox *Quake3DemoExtensionCombo = nullptr;
    QLabel *GameNameLabel = nullptr;
    QLabel *ModTypeLabel = nullptr;
    QTreeView *DemoList = nullptr;
    QMenu *DemoListMenu = nullptr;
    QPlainTextEdit *LobbyMemo = nullptr;
    QTreeView *ViewerListBox = nullptr;
    QLabel *FactsLabel = nullptr;
    QTreeView *ScoreBoard = nullptr;
    QTreeView *EventFeed = nullptr;
    QLabel *GoodLabel = nullptr;
    QLabel *BadLabel = nullptr;
    QLabel *DataInLabel = nullptr;
    QLineEdit *LobbyEdit = nullptr;
    QPlainTextEdit *LogMemo = nullptr;
    QLabel *StatusPanel = nullptr;
};

} // namespace arbelon
