#pragma once
// The game folder dialog: a tree of the machine's folders that accepts a folder only when the
// game's executable is in it, or lets the user say that the game is not installed.
// Created for one use, shown modally and destroyed.

#include <QDialog>
#include <QPersistentModelIndex>
#include <QString>
#include <functional>

class QFileSystemModel;
class QLabel;
class QPushButton;
class QShowEvent;
class QTreeView;

namespace arbelon {

class TFolderSelectForm : public QDialog {
    Q_OBJECT
public:
    explicit TFolderSelectForm(QWidget *parent = nullptr);

    // ---- the three texts the dialog is given, and the one it hands back ----
    // In: the current directory, selected when the dialog opens. Out: the chosen folder,
    // always ending with "/", or empty when the user does not have the game.
    QString folder() const { return m_folder; }
    void setFolder(const QString &folder) { m_folder = folder; }
    void setExecutableName(const QString &name) { m_executableName = name; }
    QString executableName() const { return m_executableName; }
    void setGameTitle(const QString &title) { m_gameTitle = title; }
    QString gameTitle() const { return m_gameTitle; }

    // Shows the dialog modally; true (with folder changed) when it closed with OK.
    static bool run(QWidget *parent, QString &folder, const QString &executableName,
                    const QString &gameTitle);

    // ---- the check, usable without the dialog ----
    // The path with "/" at its end; an empty path is the root.
    static QString withTrailingSeparator(const QString &path);
    // True when a file (not a folder) of that name is in the folder.
    static bool folderAccepts(const QString &path, const QString &executableName);
    static QString refusalText(const QString &executableName);
    // The dialog's first line when the folder it is given is no longer there.
    static QString missingText(const QString &gameTitle, const QString &folder);

    // The refusal box; replaceable so that tests never block on it.
    using MessageHook = std::function<void(QWidget *parent, const QString &text)>;
    void setMessageHook(MessageHook hook) { m_messageHook = std::move(hook); }

    // ---- the folder tree ----
    // The selected folder's path, empty when nothing is selected.
    QString selectedPath() const;
    // Selects a folder, opening the folders down to it; false (selection unchanged) when
    // there is no such folder.
    bool selectPath(const QString &path);

    // ---- handlers ----
    void FolderSelectFormShow();
    void DirectoryTreeViewChange();
    void OKButtonClick();
    void DontHaveButtonClick();

protected:
    void showEvent(QShowEvent *event) override;

private:
    QString m_folder;
    QString m_executableName;
    QString m_gameTitle;
    MessageHook m_messageHook;
    QPersistentModelIndex m_scrollTarget; // the folder selected at opening

    QFileSystemModel *m_model;
    // Above everything: why the dialog came up by itself (a kept folder that has gone).
    QLabel *MissingLabel;
    QLabel *FolderCaption;
    QTreeView *DirectoryTreeView;
    QPushButton *DontHaveButton;
    QPushButton *OKButton;
    QPushButton *CancelButton;
};

} // namespace arbelon
