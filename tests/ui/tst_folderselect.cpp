// The game folder dialog: the executable check, what OK, "I Dont have" and Cancel hand back,
// and the captions it opens with.

#include "folderselect.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

using namespace arbelon;

class TestFolderSelect : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void folderAccepts_data();
    void folderAccepts();
    void okStoresFolderWithSeparator();
    void okRefuses_data();
    void okRefuses();
    void dontHaveEmptiesFolder();
    void cancelKeepsFolder();
    void opensWithCaptionsAndSelection();
    void missingFolderLeavesTreeAlone_data();
    void missingFolderLeavesTreeAlone();
    void emptyFolderSelectsNothing();
    void opensAtTheStoredFolder();
    void tabRunsLeftToRight();

private:
    QString dir(const char *name) const { return m_root.filePath(QLatin1String(name)); }
    // A dialog for Quake 2 whose refusals are counted instead of shown.
    std::unique_ptr<TFolderSelectForm> makeDialog(const QString &folder);

    QTemporaryDir m_root;
    QStringList m_refusals;
};

void TestFolderSelect::initTestCase()
{
    QVERIFY(m_root.isValid());
    // withExe/quake2.exe (a file), without/ (empty), dirNamed/quake2.exe/ (a folder),
    // upper/QUAKE2.EXE (another name on a case-sensitive system).
    QVERIFY(QDir().mkpath(dir("withExe")));
    QFile exe(dir("withExe/quake2.exe"));
    QVERIFY(exe.open(QIODevice::WriteOnly));
    exe.close();
    QVERIFY(QDir().mkpath(dir("without")));
    QVERIFY(QDir().mkpath(dir("dirNamed/quake2.exe")));
    QVERIFY(QDir().mkpath(dir("with space/.hidden")));
    QFile hidden(dir("with space/.hidden/quake2.exe"));
    QVERIFY(hidden.open(QIODevice::WriteOnly));
}

std::unique_ptr<TFolderSelectForm> TestFolderSelect::makeDialog(const QString &folder)
{
    m_refusals.clear();
    auto dialog = std::make_unique<TFolderSelectForm>();
    dialog->setFolder(folder);
    dialog->setExecutableName(QStringLiteral("quake2.exe"));
    dialog->setGameTitle(QStringLiteral("Quake 2"));
    dialog->setMessageHook([this](QWidget *, const QString &text) { m_refusals << text; });
    return dialog;
}

void TestFolderSelect::folderAccepts_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("folder with the executable") << dir("withExe") << true;
    QTest::newRow("same with separator") << dir("withExe") + QLatin1Char('/') << true;
    QTest::newRow("hidden folder with blanks") << dir("with space/.hidden") << true;
    QTest::newRow("folder without") << dir("without") << false;
    QTest::newRow("folder named like the executable") << dir("dirNamed") << false;
    QTest::newRow("folder that does not exist") << dir("gone") << false;
}

void TestFolderSelect::folderAccepts()
{
    QFETCH(QString, path);
    QFETCH(bool, accepted);
    QCOMPARE(TFolderSelectForm::folderAccepts(path, QStringLiteral("quake2.exe")), accepted);
}

void TestFolderSelect::okStoresFolderWithSeparator()
{
    auto dialog = makeDialog(QString());
    dialog->open();
    QVERIFY(dialog->selectPath(dir("withExe")));
    dialog->findChild<QPushButton *>(QStringLiteral("OKButton"))->click();
    QCOMPARE(dialog->result(), int(QDialog::Accepted));
    QCOMPARE(dialog->folder(), dir("withExe") + QLatin1Char('/'));
    QVERIFY(m_refusals.isEmpty());
}

void TestFolderSelect::okRefuses_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("no executable") << dir("without");
    QTest::newRow("a folder named quake2.exe") << dir("dirNamed");
}

void TestFolderSelect::okRefuses()
{
    QFETCH(QString, path);
    auto dialog = makeDialog(QStringLiteral("/kept/"));
    dialog->open();
    QVERIFY(dialog->selectPath(path));
    dialog->findChild<QPushButton *>(QStringLiteral("OKButton"))->click();
    QCOMPARE(m_refusals,
             QStringList{QStringLiteral("Cannot find quake2.exe in that directory, please select another directory")});
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->result(), int(QDialog::Rejected)); // not closed: no result set yet
    QCOMPARE(dialog->folder(), QStringLiteral("/kept/"));
}

void TestFolderSelect::dontHaveEmptiesFolder()
{
    auto dialog = makeDialog(dir("withExe") + QLatin1Char('/'));
    dialog->open();
    QPushButton *dontHave = dialog->findChild<QPushButton *>(QStringLiteral("DontHaveButton"));
    QCOMPARE(dontHave->text(), QStringLiteral("I Dont have Quake 2 installed"));
    dontHave->click();
    QCOMPARE(dialog->result(), int(QDialog::Accepted));
    QVERIFY(!dialog->isVisible());
    QCOMPARE(dialog->folder(), QString());
}

void TestFolderSelect::cancelKeepsFolder()
{
    auto dialog = makeDialog(dir("withExe") + QLatin1Char('/'));
    dialog->open();
    QVERIFY(dialog->selectPath(dir("without")));
    dialog->findChild<QPushButton *>(QStringLiteral("CancelButton"))->click();
    QCOMPARE(dialog->result(), int(QDialog::Rejected));
    QVERIFY(!dialog->isVisible());
    QCOMPARE(dialog->folder(), dir("withExe") + QLatin1Char('/'));
}

void TestFolderSelect::opensWithCaptionsAndSelection()
{
    auto dialog = makeDialog(dir("withExe") + QLatin1Char('/'));
    dialog->open();
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Select Folder that contains quake2.exe"));
    QCOMPARE(dialog->size(), QSize(517, 361));
    QCOMPARE(dialog->selectedPath(), dir("withExe"));
    QCOMPARE(dialog->findChild<QLabel *>(QStringLiteral("FolderCaption"))->text(),
             QDir::toNativeSeparators(dir("withExe")));

    // Selecting another folder shows its path at the top.
    QVERIFY(dialog->selectPath(dir("without")));
    QCOMPARE(dialog->findChild<QLabel *>(QStringLiteral("FolderCaption"))->text(),
             QDir::toNativeSeparators(dir("without")));
}

void TestFolderSelect::missingFolderLeavesTreeAlone_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("missing");
    QTest::newRow("gone") << dir("gone/away/") << true;
    QTest::newRow("a file, not a folder") << dir("withExe/quake2.exe") << true;
    QTest::newRow("there") << dir("without/") << false;
    QTest::newRow("none given") << QString() << false;
}

void TestFolderSelect::missingFolderLeavesTreeAlone()
{
    QFETCH(QString, folder);
    QFETCH(bool, missing);
    auto dialog = makeDialog(folder);
    dialog->open();
    QVERIFY(dialog->isVisible());
    // The caption stays; the first line says which game's folder has gone, and where it was.
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Select Folder that contains quake2.exe"));
    auto *line = dialog->findChild<QLabel *>(QStringLiteral("MissingLabel"));
    QVERIFY(line);
    QCOMPARE(line->isVisible(), missing);
    if (!missing)
        return;
    QCOMPARE(line->text(), QStringLiteral("The Quake 2 folder ") + QDir::toNativeSeparators(folder)
                               + QStringLiteral(" is no longer there: choose the folder that Quake 2 is in, "
                                                "or tell that you do not have it."));
    QCOMPARE(dialog->selectedPath(), QString());
    QCOMPARE(dialog->findChild<QLabel *>(QStringLiteral("FolderCaption"))->text(), QString());
}

void TestFolderSelect::emptyFolderSelectsNothing()
{
    auto dialog = makeDialog(QString());
    dialog->open();
    QCOMPARE(dialog->selectedPath(), QString());
    // The tree shows the file system's root, opened.
    QTreeView *tree = dialog->findChild<QTreeView *>(QStringLiteral("DirectoryTreeView"));
    const QModelIndex root = tree->model()->index(0, 0);
    QVERIFY(root.isValid());
    QVERIFY(tree->isExpanded(root));
}

void TestFolderSelect::opensAtTheStoredFolder()
{
    // Many folders beside it, read in the background, come in above it after it was chosen.
    for (int i = 0; i < 300; ++i)
        QVERIFY(QDir().mkpath(dir("many/f") + QString::number(i)));
    QVERIFY(QDir().mkpath(dir("many/zz/last")));
    auto dialog = makeDialog(dir("many/zz/last/"));
    dialog->resize(517, 200);
    dialog->show();
    auto *tree = dialog->findChild<QTreeView *>(QStringLiteral("DirectoryTreeView"));
    const QModelIndex current = tree->currentIndex();
    QCOMPARE(dialog->selectedPath(), dir("many/zz/last"));
    for (QModelIndex up = current.parent(); up.isValid(); up = up.parent())
        QVERIFY2(tree->isExpanded(up), qPrintable(up.data().toString()));
    // Once the folders beside it are all read, it is still in view.
    QTRY_COMPARE(tree->model()->rowCount(current.parent().parent()), 301);
    QTRY_VERIFY(tree->viewport()->rect().contains(tree->visualRect(current)));
}

void TestFolderSelect::tabRunsLeftToRight()
{
    auto dialog = makeDialog(dir("withExe"));
    dialog->show();
    QStringList order;
    QWidget *w = dialog->findChild<QTreeView *>(QStringLiteral("DirectoryTreeView"));
    QCOMPARE(dialog->focusWidget(), w); // the work starts in the tree
    for (int i = 0; i < 50 && order.size() < 4; ++i, w = w->nextInFocusChain()) {
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisible() && w->isEnabled() && !w->objectName().isEmpty())
            order << w->objectName();
    }
    QCOMPARE(order, (QStringList{QStringLiteral("DirectoryTreeView"), QStringLiteral("DontHaveButton"),
                                 QStringLiteral("OKButton"), QStringLiteral("CancelButton")}));
}

QTEST_MAIN(TestFolderSelect)
#include "tst_folderselect.moc"
