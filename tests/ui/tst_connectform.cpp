#include "connectform.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>

using arbelon::ConnectValues;
using arbelon::TConnectForm;

namespace {

ConnectValues makeValues(int role, const QString &gameName = QString(), int gameType = 0,
                         const QString &mod = QStringLiteral("ctf"))
{
    ConnectValues v;
    v.serverAddress = QStringLiteral("127.0.0.1");
    v.password = QStringLiteral("secret");
    v.role = arbelon::Role(role); // any number: the dialog takes all but Filmer as Viewer
    v.gameName = gameName;
    v.gameType = gameType;
    v.mod = mod;
    return v;
}

// One dialog under test with its controls looked up by name; error boxes are recorded.
struct Form {
    explicit Form(QWidget *owner = nullptr) : dialog(owner) {}
    TConnectForm dialog;
    QStringList messages;
    QPushButton *watch = nullptr, *film = nullptr, *cancel = nullptr, *connectButton = nullptr;
    QLineEdit *ip = nullptr, *password = nullptr, *gameName = nullptr, *modLine = nullptr;
    QLabel *passwordLabel = nullptr, *gameNameLabel = nullptr, *modLabel = nullptr;
    QComboBox *gameType = nullptr, *mod = nullptr, *address = nullptr;
    QWidget *panel = nullptr, *gameBox = nullptr;
    std::unique_ptr<QSignalSpy> finished;

    template <typename T> T *find(const char *name)
    {
        return dialog.findChild<T *>(QLatin1String(name));
    }

    // Finds the controls, hands in the values and shows the dialog; false when anything fails.
    bool open(const ConnectValues &values)
    {
        dialog.setErrorPrompt([this](QWidget *, const QString &text) { messages << text; });
        watch = find<QPushButton>("WatchGameButton");
        film = find<QPushButton>("FilmGameButton");
        cancel = find<QPushButton>("cancelButton");
        connectButton = find<QPushButton>("ConnectButton");
        address = find<QComboBox>("IPEdit");
        ip = address ? address->lineEdit() : nullptr;
        password = find<QLineEdit>("PasswordEdit");
        gameName = find<QLineEdit>("GameNameEdit");
        passwordLabel = find<QLabel>("PasswordLabel");
        gameNameLabel = find<QLabel>("GameNameLabel");
        modLabel = find<QLabel>("ModLabel");
        gameType = find<QComboBox>("GameTypeCombo");
        mod = find<QComboBox>("ModTypeEdit");
        panel = find<QWidget>("ButtonPanel");
        gameBox = find<QWidget>("GameBox");
        modLine = mod ? mod->lineEdit() : nullptr;
        if (!watch || !film || !cancel || !connectButton || !ip || !password || !gameName
            || !passwordLabel || !gameNameLabel || !modLabel || !gameType || !mod || !panel
            || !gameBox || !modLine)
            return false;
        finished = std::make_unique<QSignalSpy>(&dialog, &QDialog::finished);
        dialog.setValues(values);
        dialog.show();
        dialog.activateWindow();
        return QTest::qWaitForWindowActive(&dialog);
    }

    // How many of the Filmer's four controls (two labels, two edits) are shown.
    int filmerFieldsVisible() const
    {
        int shown = 0;
        for (const QWidget *w : {static_cast<QWidget *>(password), static_cast<QWidget *>(gameName),
                                 static_cast<QWidget *>(passwordLabel),
                                 static_cast<QWidget *>(gameNameLabel)})
            shown += w->isVisibleTo(&dialog) ? 1 : 0;
        return shown;
    }
    bool closedWith(int result) const
    {
        return finished->count() == 1 && finished->at(0).at(0).toInt() == result
               && !dialog.isVisible();
    }
};

// Resizing a shown window makes the offscreen platform warn on every call; nothing to see.
QtMessageHandler previousHandler = nullptr;
void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message == QLatin1String("This plugin does not support propagateSizeHints()"))
        return;
    previousHandler(type, context, message);
}

void retype(QLineEdit *edit, const QString &text)
{
    edit->clear();
    QTest::keyClicks(edit, text);
}

} // namespace

class TestConnectForm : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { previousHandler = qInstallMessageHandler(quietHandler); }
    void cleanupTestCase() { qInstallMessageHandler(previousHandler); }
    void creation();
    void connectChecksGameName_data();
    void connectChecksGameName();
    void openWithRole_data();
    void openWithRole();
    void switchingRolesKeepsInput();
    void gameChoice_data();
    void gameChoice();
    void lengthLimits_data();
    void lengthLimits();
    void enterPressesConnect_data();
    void enterPressesConnect();
    void cancelKeepsValues_data();
    void cancelKeepsValues();
    void recentServersOffered_data();
    void recentServersOffered();
    void runConnectDialog_data();
    void runConnectDialog();
};

void TestConnectForm::creation()
{
    TConnectForm dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Connect to Arbelon Server"));
    QCOMPARE(dialog.size(), QSize(541, 199));
    auto *watch = dialog.findChild<QPushButton *>(QStringLiteral("WatchGameButton"));
    auto *film = dialog.findChild<QPushButton *>(QStringLiteral("FilmGameButton"));
    auto *mod = dialog.findChild<QComboBox *>(QStringLiteral("ModTypeEdit"));
    auto *password = dialog.findChild<QLineEdit *>(QStringLiteral("PasswordEdit"));
    QVERIFY(watch && film && mod && password);
    QVERIFY(watch->isChecked());
    QVERIFY(!film->isChecked());
    QCOMPARE(mod->currentText(), QStringLiteral("ctf"));
    password->setText(QStringLiteral("pw!"));
    QCOMPARE(password->displayText(), QStringLiteral("***"));
    for (const char *name : {"PasswordLabel", "PasswordEdit", "GameNameLabel", "GameNameEdit"}) {
        auto *w = dialog.findChild<QWidget *>(QLatin1String(name));
        QVERIFY2(w && w->isHidden(), name);
    }
}

void TestConnectForm::connectChecksGameName_data()
{
    QTest::addColumn<bool>("pressFilm");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("role");

    QTest::newRow("watch, no name") << false << QString() << true << 0;
    QTest::newRow("watch, with name") << false << QStringLiteral("Duel") << true << 0;
    QTest::newRow("film, no name") << true << QString() << false << 1;
    QTest::newRow("film, with name") << true << QStringLiteral("Duel") << true << 1;
}

void TestConnectForm::connectChecksGameName()
{
    QFETCH(bool, pressFilm);
    QFETCH(QString, name);
    QFETCH(bool, accepted);
    QFETCH(int, role);

    Form f;
    QVERIFY(f.open(makeValues(0)));
    if (pressFilm)
        QTest::mouseClick(f.film, Qt::LeftButton);
    retype(f.ip, QStringLiteral("relay.invalid"));
    retype(f.gameName, name);
    f.ip->setFocus();
    QTest::mouseClick(f.connectButton, Qt::LeftButton);

    if (accepted) {
        QVERIFY(f.closedWith(QDialog::Accepted));
        QVERIFY(f.messages.isEmpty());
        QCOMPARE(int(f.dialog.role()), role);
        QCOMPARE(f.dialog.gameName(), name);
        QCOMPARE(f.dialog.serverAddress(), QStringLiteral("relay.invalid"));
        return;
    }
    QCOMPARE(f.messages, QStringList{QStringLiteral("The game must have a name")});
    QCOMPARE(f.finished->count(), 0);
    QVERIFY(f.dialog.isVisible());
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(f.gameName));
    QCOMPARE(f.ip->text(), QStringLiteral("relay.invalid"));
    QCOMPARE(f.password->text(), QStringLiteral("secret"));

    // Once named, the same dialog connects.
    QTest::keyClicks(f.gameName, QStringLiteral("Late"));
    QTest::mouseClick(f.connectButton, Qt::LeftButton);
    QVERIFY(f.closedWith(QDialog::Accepted));
    QCOMPARE(f.messages.size(), 1);
    QCOMPARE(int(f.dialog.role()), role);
    QCOMPARE(f.dialog.gameName(), QStringLiteral("Late"));
}

void TestConnectForm::openWithRole_data()
{
    QTest::addColumn<int>("role");
    QTest::addColumn<bool>("filming");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("panelX");

    QTest::newRow("viewer") << 0 << false << 397 << 223;
    QTest::newRow("filmer") << 1 << true << 551 << 375;
    QTest::newRow("unknown role 2 opens as viewer") << 2 << false << 397 << 223;
    QTest::newRow("negative role opens as viewer") << -1 << false << 397 << 223;
}

void TestConnectForm::openWithRole()
{
    QFETCH(int, role);
    QFETCH(bool, filming);
    QFETCH(int, width);
    QFETCH(int, panelX);

    // An owner off the middle of the screen: the dialog still opens centred on the screen.
    QWidget owner;
    owner.setGeometry(10, 10, 200, 100);
    owner.show();
    Form f(&owner);
    QVERIFY(f.open(makeValues(role, QStringLiteral("Duel"), 0, QStringLiteral("battle"))));
    QCOMPARE(f.film->isChecked(), filming);
    QCOMPARE(f.watch->isChecked(), !filming);
    QCOMPARE(f.filmerFieldsVisible(), filming ? 4 : 0);
    QCOMPARE(f.dialog.width(), width);
    QCOMPARE(f.panel->x(), panelX);
    // The game box is seen only while filming.
    if (filming)
        QVERIFY(f.gameBox->geometry().right() < f.dialog.width());
    else
        QVERIFY(f.gameBox->x() >= f.dialog.width());

    // The handed-in values are shown and the address has the focus.
    QCOMPARE(f.ip->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(f.password->text(), QStringLiteral("secret"));
    QCOMPARE(f.gameName->text(), QStringLiteral("Duel"));
    QCOMPARE(f.mod->currentText(), QStringLiteral("battle"));
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(f.address));

    // Centred on the screen for the width of the role.
    const QPoint centre = f.dialog.screen()->availableGeometry().center();
    const QPoint at = f.dialog.frameGeometry().center();
    QVERIFY2(qAbs(at.x() - centre.x()) <= 1 && qAbs(at.y() - centre.y()) <= 1,
             qPrintable(QStringLiteral("centre at %1,%2").arg(at.x()).arg(at.y())));

    QTest::mouseClick(f.connectButton, Qt::LeftButton);
    QVERIFY(f.closedWith(QDialog::Accepted));
    QCOMPARE(int(f.dialog.role()), filming ? 1 : 0);
}

void TestConnectForm::switchingRolesKeepsInput()
{
    Form f;
    QVERIFY(f.open(makeValues(1, QString(), 0, QStringLiteral("ctf"))));
    retype(f.password, QStringLiteral("typedpw"));
    retype(f.gameName, QStringLiteral("Typed Game"));

    QTest::mouseClick(f.watch, Qt::LeftButton);
    QVERIFY(f.watch->isChecked());
    QCOMPARE(f.filmerFieldsVisible(), 0);
    QCOMPARE(f.dialog.width(), 397);
    QCOMPARE(f.panel->x(), 223);

    // Pressing the button that is down changes nothing.
    QTest::mouseClick(f.watch, Qt::LeftButton);
    QVERIFY(f.watch->isChecked());
    QVERIFY(!f.film->isChecked());

    QTest::mouseClick(f.film, Qt::LeftButton);
    QVERIFY(f.film->isChecked());
    QVERIFY(!f.watch->isChecked());
    QCOMPARE(f.filmerFieldsVisible(), 4);
    QCOMPARE(f.dialog.width(), 551);
    QCOMPARE(f.panel->x(), 375);
    QCOMPARE(f.password->text(), QStringLiteral("typedpw"));
    QCOMPARE(f.gameName->text(), QStringLiteral("Typed Game"));

    // From the keyboard the toggle is Space.
    QTest::keyClick(f.watch, Qt::Key_Space);
    QVERIFY(f.watch->isChecked());
    QCOMPARE(f.dialog.width(), 397);
    QTest::keyClick(f.film, Qt::Key_Space);
    QVERIFY(f.film->isChecked());
    QCOMPARE(f.filmerFieldsVisible(), 4);
    QVERIFY(f.finished->isEmpty());

    QTest::mouseClick(f.connectButton, Qt::LeftButton);
    QVERIFY(f.closedWith(QDialog::Accepted));
    QCOMPARE(f.dialog.password(), QStringLiteral("typedpw"));
    QCOMPARE(f.dialog.gameName(), QStringLiteral("Typed Game"));
    QCOMPARE(int(f.dialog.role()), 1);
}

void TestConnectForm::gameChoice_data()
{
    QTest::addColumn<int>("gameTypeIn");
    QTest::addColumn<QString>("typedMod"); // replaces the mod before the game is chosen
    QTest::addColumn<int>("keyToChoose");  // 0: no choice made
    QTest::addColumn<bool>("modShown");
    QTest::addColumn<int>("gameTypeOut");
    QTest::addColumn<QString>("modOut");

    QTest::newRow("quake 2 handed in") << 0 << QString() << 0 << true << 0 << "ctf";
    QTest::newRow("quake 3 handed in") << 1 << QString() << 0 << false << 1 << "ctf";
    QTest::newRow("type 5 selects nothing") << 5 << QString() << 0 << true << -1 << "ctf";
    QTest::newRow("type -1 selects nothing") << -1 << QString() << 0 << true << -1 << "ctf";
    QTest::newRow("quake 3 chosen hides typed mod") << 0 << "rocket" << int(Qt::Key_Down) << false
                                                    << 1 << "rocket";
    QTest::newRow("quake 2 chosen shows mod") << 1 << "rocket" << int(Qt::Key_Up) << true << 0
                                              << "rocket";
}

void TestConnectForm::gameChoice()
{
    QFETCH(int, gameTypeIn);
    QFETCH(QString, typedMod);
    QFETCH(int, keyToChoose);
    QFETCH(bool, modShown);
    QFETCH(int, gameTypeOut);
    QFETCH(QString, modOut);

    Form f;
    QVERIFY(f.open(makeValues(1, QStringLiteral("Duel"), gameTypeIn, QStringLiteral("ctf"))));
    if (!typedMod.isEmpty())
        retype(f.modLine, typedMod);
    if (keyToChoose != 0)
        QTest::keyClick(f.gameType, Qt::Key(keyToChoose));
    QCOMPARE(f.modLabel->isVisibleTo(&f.dialog), modShown);
    QCOMPARE(f.mod->isVisibleTo(&f.dialog), modShown);

    // The mod controls follow the game across a role switch too.
    QTest::mouseClick(f.watch, Qt::LeftButton);
    QTest::mouseClick(f.film, Qt::LeftButton);
    QCOMPARE(f.mod->isVisibleTo(&f.dialog), modShown);

    QTest::mouseClick(f.connectButton, Qt::LeftButton);
    QVERIFY(f.closedWith(QDialog::Accepted));
    QCOMPARE(f.dialog.gameType(), gameTypeOut);
    QCOMPARE(f.dialog.mod(), modOut);
}

void TestConnectForm::lengthLimits_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<bool>("typed"); // typed by the user, else handed in
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");

    const QString forty = QStringLiteral("abcdefghijklmnopqrstuvwxyz0123456789ABCD");
    const QString hundred = forty + forty + forty.left(20);
    for (bool typed : {true, false}) {
        const char *how = typed ? "typed" : "handed in";
        QTest::addRow("password %s", how) << QByteArray("PasswordEdit") << typed << forty
                                          << QStringLiteral("abcdefghijklmn");
        QTest::addRow("game name %s", how)
            << QByteArray("GameNameEdit") << typed << forty
            << QStringLiteral("abcdefghijklmnopqrstuvwxyz01234");
        QTest::addRow("mod %s", how) << QByteArray("ModTypeEdit") << typed << forty
                                     << QStringLiteral("abcdefghijklmnop");
        QTest::addRow("address %s", how) << QByteArray("IPLineEdit") << typed << hundred << hundred;
    }
    QTest::newRow("password of 14 kept") << QByteArray("PasswordEdit") << true
                                         << QStringLiteral("abcdefghijklmn")
                                         << QStringLiteral("abcdefghijklmn");
}

void TestConnectForm::lengthLimits()
{
    QFETCH(QByteArray, field);
    QFETCH(bool, typed);
    QFETCH(QString, input);
    QFETCH(QString, expected);

    ConnectValues in = makeValues(1, QStringLiteral("Duel"), 0, QString());
    in.password.clear();
    if (field == "GameNameEdit")
        in.gameName.clear(); // typed or handed in below
    if (!typed) {
        if (field == "PasswordEdit")
            in.password = input;
        else if (field == "GameNameEdit")
            in.gameName = input;
        else if (field == "ModTypeEdit")
            in.mod = input;
        else
            in.serverAddress = input;
    }
    Form f;
    QVERIFY(f.open(in));
    QLineEdit *edit = field == "ModTypeEdit" ? f.modLine : f.find<QLineEdit>(field.constData());
    QVERIFY(edit);
    if (typed)
        retype(edit, input);
    QCOMPARE(edit->text(), expected);

    QTest::mouseClick(f.connectButton, Qt::LeftButton);
    QVERIFY(f.closedWith(QDialog::Accepted));
    const QString out = field == "PasswordEdit"   ? f.dialog.password()
                        : field == "GameNameEdit" ? f.dialog.gameName()
                        : field == "ModTypeEdit"  ? f.dialog.mod()
                                                  : f.dialog.serverAddress();
    QCOMPARE(out, expected);
}

void TestConnectForm::enterPressesConnect_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<int>("key");

    QTest::newRow("address, Return") << QByteArray("IPEdit") << int(Qt::Key_Return);
    QTest::newRow("address, keypad Enter") << QByteArray("IPEdit") << int(Qt::Key_Enter);
    QTest::newRow("password") << QByteArray("PasswordEdit") << int(Qt::Key_Return);
    QTest::newRow("game name") << QByteArray("GameNameEdit") << int(Qt::Key_Return);
    QTest::newRow("game combo") << QByteArray("GameTypeCombo") << int(Qt::Key_Return);
    QTest::newRow("mod box") << QByteArray("ModTypeEdit") << int(Qt::Key_Return);
    // A focused role button takes no Enter: the dialog confirms with the role as it is.
    QTest::newRow("watch button, Return") << QByteArray("WatchGameButton") << int(Qt::Key_Return);
    QTest::newRow("film button, keypad Enter") << QByteArray("FilmGameButton") << int(Qt::Key_Enter);
}

void TestConnectForm::enterPressesConnect()
{
    QFETCH(QByteArray, field);
    QFETCH(int, key);

    Form f;
    QVERIFY(f.open(makeValues(1, QStringLiteral("Duel"), 0, QStringLiteral("ctf"))));
    retype(f.modLine, QStringLiteral("mymod"));
    QWidget *target = f.find<QWidget>(field.constData());
    QVERIFY(target);
    target->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), target);
    QTest::keyClick(target, Qt::Key(key));

    QVERIFY(f.closedWith(QDialog::Accepted));
    QCOMPARE(int(f.dialog.role()), 1);
    QCOMPARE(f.dialog.mod(), QStringLiteral("mymod"));
    QCOMPARE(f.mod->count(), 3); // Enter in the mod box adds no item
}

void TestConnectForm::cancelKeepsValues_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("cancel button") << QStringLiteral("button");
    QTest::newRow("escape") << QStringLiteral("escape");
    QTest::newRow("window closed") << QStringLiteral("close");
}

void TestConnectForm::cancelKeepsValues()
{
    QFETCH(QString, how);

    Form f;
    QVERIFY(f.open(makeValues(0, QStringLiteral("Duel"), 1, QStringLiteral("battle"))));
    retype(f.ip, QStringLiteral("other.invalid"));
    QTest::mouseClick(f.film, Qt::LeftButton);
    retype(f.gameName, QStringLiteral("Other"));
    if (how == QLatin1String("button"))
        QTest::mouseClick(f.cancel, Qt::LeftButton);
    else if (how == QLatin1String("escape"))
        QTest::keyClick(f.ip, Qt::Key_Escape);
    else
        f.dialog.close();

    QVERIFY(f.closedWith(QDialog::Rejected));
    QVERIFY(f.messages.isEmpty());
    QCOMPARE(f.dialog.serverAddress(), QStringLiteral("127.0.0.1"));
    QCOMPARE(int(f.dialog.role()), 0);
    QCOMPARE(f.dialog.gameName(), QStringLiteral("Duel"));
    QCOMPARE(f.dialog.gameType(), 1);
    QCOMPARE(f.dialog.mod(), QStringLiteral("battle"));
}

// The address box offers the servers kept in the settings; the one handed in is its text.
void TestConnectForm::recentServersOffered_data()
{
    QTest::addColumn<int>("chosen"); // -1: the text handed in is kept
    QTest::addColumn<QString>("address");
    QTest::newRow("handed-in text kept") << -1 << QStringLiteral("127.0.0.1");
    QTest::newRow("older one with a port") << 1 << QStringLiteral("10.0.0.2:27000");
}

void TestConnectForm::recentServersOffered()
{
    QFETCH(int, chosen);
    QFETCH(QString, address);
    Form f;
    f.dialog.setRecentServers({QStringLiteral("relay.test"), QStringLiteral("10.0.0.2:27000")});
    QVERIFY(f.open(makeValues(0)));
    QCOMPARE(f.ip->text(), QStringLiteral("127.0.0.1"));
    if (chosen >= 0)
        f.address->setCurrentIndex(chosen);
    QTest::keyClick(f.address, Qt::Key_Return);
    QVERIFY(f.closedWith(QDialog::Accepted));
    QCOMPARE(f.dialog.serverAddress(), address);
    QCOMPARE(f.address->count(), 2); // Enter adds nothing; the settings keep the list
}

void TestConnectForm::runConnectDialog_data()
{
    QTest::addColumn<bool>("pressConnect");
    QTest::newRow("connect copies back") << true;
    QTest::newRow("cancel leaves values") << false;
}

void TestConnectForm::runConnectDialog()
{
    QFETCH(bool, pressConnect);

    QWidget owner;
    ConnectValues values = makeValues(0, QStringLiteral("Duel"), 0, QStringLiteral("ctf"));
    bool answered = false;
    // Answers the modal dialog from inside its own event loop.
    QTimer::singleShot(0, &owner, [&] {
        auto *dialog = qobject_cast<TConnectForm *>(QApplication::activeModalWidget());
        if (!dialog) {
            // Never leave a modal loop running: close whatever dialog is up.
            for (QWidget *w : QApplication::topLevelWidgets())
                if (auto *d = qobject_cast<QDialog *>(w))
                    d->reject();
            return;
        }
        answered = true;
        auto *ip = dialog->findChild<QLineEdit *>(QStringLiteral("IPLineEdit"));
        auto *film = dialog->findChild<QPushButton *>(QStringLiteral("FilmGameButton"));
        if (ip && film) {
            retype(ip, QStringLiteral("relay.invalid"));
            QTest::mouseClick(film, Qt::LeftButton);
        }
        const char *button = pressConnect ? "ConnectButton" : "cancelButton";
        if (auto *b = dialog->findChild<QPushButton *>(QLatin1String(button)))
            b->click();
        else
            dialog->reject();
    });
    const bool ok = arbelon::runConnectDialog(&owner, values);
    QVERIFY(answered);
    QCOMPARE(ok, pressConnect);
    QCOMPARE(values.serverAddress,
             pressConnect ? QStringLiteral("relay.invalid") : QStringLiteral("127.0.0.1"));
    QCOMPARE(values.role, pressConnect ? arbelon::Role::Filmer : arbelon::Role::Viewer);
    QCOMPARE(values.gameName, QStringLiteral("Duel"));
    QCOMPARE(values.password, QStringLiteral("secret"));
    // The dialog is gone once the call returns.
    QVERIFY(owner.findChildren<TConnectForm *>().isEmpty());
}

QTEST_MAIN(TestConnectForm)
#include "tst_connectform.moc"
