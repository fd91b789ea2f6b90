#include "folderselect.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QShowEvent>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

namespace arbelon {

TFolderSelectForm::TFolderSelectForm(QWidget *parent)
    : QDialog(parent),
      m_model(new QFileSystemModel(this))
{
    setObjectName(QStringLiteral("FolderSelectForm"));
    resize(517, 361);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // First line, only when the folder it was given has gone: a dialog that opens by itself
    // at start says why. It wraps rather than widen the dialog for a long path.
    MissingLabel = new QLabel(this);
    MissingLabel->setObjectName(QStringLiteral("MissingLabel"));
    MissingLabel->setTextFormat(Qt::PlainText);
    MissingLabel->setWordWrap(true);
    MissingLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    MissingLabel->setContentsMargins(10, 6, 10, 0);
    MissingLabel->hide();
    layout->addWidget(MissingLabel);

    // Top strip: the path of the folder selected in the tree.
    FolderCaption = new QLabel(this);
    FolderCaption->setObjectName(QStringLiteral("FolderCaption"));
    QFont bold = FolderCaption->font();
    bold.setBold(true);
    FolderCaption->setFont(bold);
    FolderCaption->setFixedHeight(25);
    FolderCaption->setContentsMargins(10, 0, 10, 0);
    FolderCaption->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(FolderCaption);

    // Middle: the folder tree in a panel with a 10-pixel border.
    auto *treePanel = new QFrame(this);
    treePanel->setObjectName(QStringLiteral("TreePanel"));
    auto *treeLayout = new QVBoxLayout(treePanel);
    treeLayout->setContentsMargins(10, 10, 10, 10);
    m_model->setFilter(QDir::AllDirs | QDir::Drives | QDir::Hidden | QDir::NoDotAndDotDot);
    m_model->setRootPath(QDir::rootPath());
    DirectoryTreeView = new QTreeView(treePanel);
    DirectoryTreeView->setObjectName(QStringLiteral("DirectoryTreeView"));
    DirectoryTreeView->setModel(m_model);
    DirectoryTreeView->setHeaderHidden(true);
    for (int c = 1; c < m_model->columnCount(); ++c)
        DirectoryTreeView->hideColumn(c);
    DirectoryTreeView->setSelectionMode(QAbstractItemView::SingleSelection);
    DirectoryTreeView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // The file system's root is the one top item; open it at start.
    DirectoryTreeView->expand(m_model->index(QDir::rootPath()));
    treeLayout->addWidget(DirectoryTreeView);
    layout->addWidget(treePanel, 1);

    // Bottom strip: "I Dont have" on the left, OK and Cancel on the right.
    auto *buttons = new QWidget(this);
    buttons->setObjectName(QStringLiteral("ButtonPanel"));
    buttons->setFixedHeight(30);
    auto *buttonLayout = new QHBoxLayout(buttons);
    buttonLayout->setContentsMargins(10, 0, 10, 4);
    DontHaveButton = new QPushButton(buttons);
    DontHaveButton->setObjectName(QStringLiteral("DontHaveButton"));
    DontHaveButton->setFixedWidth(193);
    OKButton = new QPushButton(QStringLiteral("&OK"), buttons);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setDefault(true);
    CancelButton = new QPushButton(QStringLiteral("&Cancel"), buttons);
    CancelButton->setObjectName(QStringLiteral("CancelButton"));
    buttonLayout->addWidget(DontHaveButton);
    buttonLayout->addStretch(1);
    buttonLayout->addWidget(OKButton);
    buttonLayout->addWidget(CancelButton);
    layout->addWidget(buttons);

    connect(DirectoryTreeView->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { DirectoryTreeViewChange(); });
    // Rows read, sorted or added later (other programs make folders too) move the chosen
    // folder: it is brought back into view until the user scrolls or chooses another.
    const auto follow = [this] {
        if (m_scrollTarget.isValid() && m_scrollTarget == DirectoryTreeView->currentIndex())
            QTimer::singleShot(0, this, [this] {
                if (m_scrollTarget.isValid() && m_scrollTarget == DirectoryTreeView->currentIndex())
                    DirectoryTreeView->scrollTo(m_scrollTarget, QAbstractItemView::PositionAtCenter);
            });
    };
    connect(m_model, &QFileSystemModel::directoryLoaded, this, follow);
    connect(m_model, &QAbstractItemModel::layoutChanged, this, follow);
    connect(m_model, &QAbstractItemModel::rowsInserted, this, follow);
    connect(DirectoryTreeView->verticalScrollBar(), &QAbstractSlider::actionTriggered, this,
            [this] { m_scrollTarget = QPersistentModelIndex(); });
    // Tab runs as the eye reads: the tree, then the buttons from left to right.
    setTabOrder(DirectoryTreeView, DontHaveButton);
    setTabOrder(DontHaveButton, OKButton);
    setTabOrder(OKButton, CancelButton);
    connect(OKButton, &QPushButton::clicked, this, &TFolderSelectForm::OKButtonClick);
    connect(DontHaveButton, &QPushButton::clicked, this, &TFolderSelectForm::DontHaveButtonClick);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

bool TFolderSelectForm::run(QWidget *parent, QString &folder, const QString &executableName,
                            const QString &gameTitle)
{
    TFolderSelectForm dialog(parent);
    dialog.setFolder(folder);
    dialog.setExecutableName(executableName);
    dialog.setGameTitle(gameTitle);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    folder = dialog.folder();
    return true;
}

QString TFolderSelectForm::withTrailingSeparator(const QString &path)
{
    if (path.endsWith(QLatin1Char('/')))
        return path;
    return path + QLatin1Char('/');
}

bool TFolderSelectForm::folderAccepts(const QString &path, const QString &executableName)
{
    if (executableName.isEmpty())
        return false;
    return QFileInfo(withTrailingSeparator(path) + executableName).isFile();
}

QString TFolderSelectForm::refusalText(const QString &executableName)
{
    return QStringLiteral("Cannot find ") + executableName
           + QStringLiteral(" in that directory, please select another directory");
}

QString TFolderSelectForm::missingText(const QString &gameTitle, const QString &folder)
{
    return QStringLiteral("The %1 folder %2 is no longer there: choose the folder that %1 is in, "
                          "or tell that you do not have it.")
        .arg(gameTitle, QDir::toNativeSeparators(folder));
}

QString TFolderSelectForm::selectedPath() const
{
    const QModelIndex current = DirectoryTreeView->currentIndex();
    if (!current.isValid())
        return {};
    return m_model->filePath(current);
}

bool TFolderSelectForm::selectPath(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    if (!info.isDir())
        return false;
    const QModelIndex index = m_model->index(info.absoluteFilePath());
    if (!index.isValid())
        return false;
    // The folders down to it are opened, so that it is seen, not only named in the caption.
    for (QModelIndex up = index.parent(); up.isValid(); up = up.parent())
        DirectoryTreeView->expand(up);
    DirectoryTreeView->setCurrentIndex(index);
    DirectoryTreeView->scrollTo(index, QAbstractItemView::PositionAtCenter);
    // The model reads folders in the background: rows above it that arrive later push it
    // down, so it is brought into view again as each folder on its way is read.
    m_scrollTarget = QPersistentModelIndex(index);
    return true;
}

void TFolderSelectForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FolderSelectFormShow();
}

void TFolderSelectForm::FolderSelectFormShow()
{
    setWindowTitle(m_executableName.isEmpty() ? QStringLiteral("Select the game's data folder")
                                              : QStringLiteral("Select Folder that contains ") + m_executableName);
    DontHaveButton->setText(QStringLiteral("I Dont have ") + m_gameTitle + QStringLiteral(" installed"));
    const bool missing = !m_folder.isEmpty() && !QFileInfo(m_folder).isDir();
    MissingLabel->setText(missing ? missingText(m_gameTitle, m_folder) : QString());
    MissingLabel->setVisible(missing);
    // A folder that no longer exists leaves the tree as it is.
    // The keyboard starts where the choice is made; without a folder, focus would choose one.
    if (selectPath(m_folder))
        DirectoryTreeView->setFocus();
    DirectoryTreeViewChange();
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect r = frameGeometry();
        r.moveCenter(screen->availableGeometry().center());
        move(r.topLeft());
    }
}

void TFolderSelectForm::DirectoryTreeViewChange()
{
    FolderCaption->setText(QDir::toNativeSeparators(selectedPath()));
}

void TFolderSelectForm::OKButtonClick()
{
    const QString path = withTrailingSeparator(selectedPath());
    if (!folderAccepts(path, m_executableName)) {
        const QString text = refusalText(m_executableName);
        if (m_messageHook)
            m_messageHook(this, text);
        else
            QMessageBox::critical(this, QStringLiteral("Error"), text, QMessageBox::Ok);
        return;
    }
    m_folder = path;
    accept();
}

void TFolderSelectForm::DontHaveButtonClick()
{
    m_folder.clear();
    accept();
}

} // namespace arbelon
