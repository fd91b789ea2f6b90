#include "connectform.h"

#include "clientsettings.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QCompleter>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>

namespace arbelon {

namespace {

// The form is laid out by hand, as designed: the window's width decides how many of the three
// boxes are seen, so a layout manager would fight the role switch.
constexpr int kDesignedWidth = 541;
constexpr int kDesignedHeight = 199;
constexpr int kViewerWidth = 397; // the game box lies beyond this edge
constexpr int kFilmerWidth = 551;
constexpr int kViewerPanelX = 223; // the buttons stay under the middle box
constexpr int kFilmerPanelX = 375;
constexpr int kPanelY = 162;

template <typename W, typename Parent>
W *make(Parent *parent, const char *name, int x, int y, int w, int h)
{
    auto *widget = new W(parent);
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(x, y, w, h);
    return widget;
}

QLabel *makeLabel(QWidget *parent, const char *name, const QString &text, int x, int y, int w)
{
    auto *label = make<QLabel>(parent, name, x, y, w, 16);
    label->setText(text);
    return label;
}

} // namespace

TConnectForm::TConnectForm(QWidget *parent)
    : QDialog(parent), m_errorPrompt([](QWidget *owner, const QString &text) {
          QMessageBox::critical(owner, QStringLiteral("Error"), text, QMessageBox::Ok);
      })
{
    setObjectName(QStringLiteral("ConnectForm"));
    setWindowTitle(QStringLiteral("Connect to Arbelon Server"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                   | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(kDesignedWidth, kDesignedHeight);

    RoleBox = make<QGroupBox>(this, "RoleBox", 8, 8, 140, 150);
    WatchGameButton = make<QPushButton>(RoleBox, "WatchGameButton", 12, 24, 116, 44);
    WatchGameButton->setText(QStringLiteral("Watch Game"));
    FilmGameButton = make<QPushButton>(RoleBox, "FilmGameButton", 12, 84, 116, 44);
    FilmGameButton->setText(QStringLiteral("Film Game"));
    RoleGroup = new QButtonGroup(this);
    RoleGroup->setObjectName(QStringLiteral("RoleGroup"));
    for (QPushButton *button : {WatchGameButton, FilmGameButton}) {
        button->setCheckable(true);
        // Enter on a focused role button confirms the dialog; the toggle is a click or Space.
        button->setAutoDefault(false);
        RoleGroup->addButton(button);
    }
    RoleGroup->setExclusive(true);
    WatchGameButton->setChecked(true);

    ConnectionBox = make<QGroupBox>(this, "ConnectionBox", 156, 8, 233, 150);
    makeLabel(ConnectionBox, "AddressLabel", QStringLiteral("Enter Address of Arbelon Server"),
              10, 14, 213);
    IPEdit = make<QComboBox>(ConnectionBox, "IPEdit", 10, 32, 213, 22);
    IPEdit->setEditable(true);
    IPEdit->setInsertPolicy(QComboBox::NoInsert); // Enter connects; the list is the settings'
    IPEdit->setMaxVisibleItems(ClientSettings::kMaxRecentServers);
    IPEdit->lineEdit()->setObjectName(QStringLiteral("IPLineEdit"));
    // Completed inline, Enter would put the newest server in place of an address not typed
    // but handed in; offered in a list while typing, the address is the one shown.
    IPEdit->completer()->setCompletionMode(QCompleter::PopupCompletion);
    PasswordLabel = makeLabel(ConnectionBox, "PasswordLabel", QStringLiteral("Enter Password :"),
                              10, 58, 213);
    PasswordEdit = make<QLineEdit>(ConnectionBox, "PasswordEdit", 10, 76, 213, 22);
    PasswordEdit->setMaxLength(kPasswordMaxLength);
    PasswordEdit->setEchoMode(QLineEdit::Password);
    // Each character shows as "*", not the platform style's own bullet.
    PasswordEdit->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    GameNameLabel = makeLabel(ConnectionBox, "GameNameLabel", QStringLiteral("Game Name :"),
                              10, 102, 213);
    GameNameEdit = make<QLineEdit>(ConnectionBox, "GameNameEdit", 10, 120, 213, 22);
    GameNameEdit->setMaxLength(kGameNameMaxLength);
    for (QWidget *w : {static_cast<QWidget *>(PasswordLabel), static_cast<QWidget *>(PasswordEdit),
                       static_cast<QWidget *>(GameNameLabel), static_cast<QWidget *>(GameNameEdit)})
        w->hide();

    GameBox = make<QGroupBox>(this, "GameBox", kViewerWidth, 8, 146, 150);
    makeLabel(GameBox, "GameLabel", QStringLiteral("Game :"), 10, 14, 126);
    GameTypeCombo = make<QComboBox>(GameBox, "GameTypeCombo", 10, 32, 126, 22);
    GameTypeCombo->addItems({QStringLiteral("Quake 2"), QStringLiteral("Quake 3")});
    ModLabel = makeLabel(GameBox, "ModLabel", QStringLiteral("Mod :"), 10, 58, 126);
    ModTypeEdit = make<QComboBox>(GameBox, "ModTypeEdit", 10, 76, 126, 22);
    ModTypeEdit->setEditable(true);
    ModTypeEdit->setInsertPolicy(QComboBox::NoInsert); // Enter connects; it does not add items
    ModTypeEdit->addItems({QStringLiteral("baseq2"), QStringLiteral("ctf"), QStringLiteral("battle")});
    ModTypeEdit->lineEdit()->setObjectName(QStringLiteral("ModTypeLineEdit"));
    ModTypeEdit->lineEdit()->setMaxLength(kModMaxLength);
    ModTypeEdit->setEditText(QStringLiteral("ctf"));

    ButtonPanel = make<QWidget>(this, "ButtonPanel", kViewerPanelX, kPanelY, 166, 32);
    cancelButton = make<QPushButton>(ButtonPanel, "cancelButton", 0, 4, 80, 26);
    cancelButton->setText(QStringLiteral("Cancel"));
    ConnectButton = make<QPushButton>(ButtonPanel, "ConnectButton", 86, 4, 80, 26);
    ConnectButton->setText(QStringLiteral("&Connect"));
    // Enter in an edit or combo presses Connect; on a focused button it presses that button.
    ConnectButton->setDefault(true);

    connect(RoleGroup, &QButtonGroup::buttonClicked, this, &TConnectForm::WatchGameButtonClick);
    connect(GameTypeCombo, &QComboBox::currentIndexChanged, this,
            &TConnectForm::GameTypeComboChange);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(ConnectButton, &QPushButton::clicked, this, &TConnectForm::ConnectButtonClick);
}

void TConnectForm::setRecentServers(const QStringList &servers)
{
    IPEdit->clear();
    IPEdit->addItems(servers);
}

void TConnectForm::showEvent(QShowEvent *event)
{
    // A window restored by the system is not a new showing of the dialog.
    if (!event->spontaneous()) {
        FormShow();
        centreOnScreen();
    }
    QDialog::showEvent(event);
}

void TConnectForm::FormShow()
{
    IPEdit->setEditText(m_values.serverAddress);
    IPEdit->setFocus();
    if (m_values.role == Role::Filmer)
        FilmGameButton->setChecked(true);
    const bool listed = m_values.gameType >= 0 && m_values.gameType < GameTypeCombo->count();
    GameTypeCombo->setCurrentIndex(listed ? m_values.gameType : -1);
    ModTypeEdit->setEditText(m_values.mod);
    PasswordEdit->setText(m_values.password);
    GameNameEdit->setText(m_values.gameName);
    WatchGameButtonClick();
}

void TConnectForm::WatchGameButtonClick()
{
    const bool filming = FilmGameButton->isChecked();
    PasswordLabel->setVisible(filming);
    PasswordEdit->setVisible(filming);
    GameNameLabel->setVisible(filming);
    GameNameEdit->setVisible(filming);
    ButtonPanel->move(filming ? kFilmerPanelX : kViewerPanelX, kPanelY);
    setFixedWidth(filming ? kFilmerWidth : kViewerWidth);
    GameTypeComboChange();
}

void TConnectForm::GameTypeComboChange()
{
    switch (GameTypeCombo->currentIndex()) {
    case 0: // Quake 2 has mods
        ModLabel->show();
        ModTypeEdit->show();
        break;
    case 1: // Quake 3 has none to choose here
        ModLabel->hide();
        ModTypeEdit->hide();
        break;
    default: // nothing selected: leave them as they are
        break;
    }
}

void TConnectForm::ConnectButtonClick()
{
    // Hidden controls are read too: their last text is what goes out.
    m_values.serverAddress = IPEdit->currentText();
    m_values.password = PasswordEdit->text();
    m_values.gameName = GameNameEdit->text();
    m_values.gameType = GameTypeCombo->currentIndex();
    m_values.mod = ModTypeEdit->currentText();
    if (WatchGameButton->isChecked()) {
        m_values.role = Role::Viewer;
        accept();
        return;
    }
    m_values.role = Role::Filmer;
    if (m_values.gameName.isEmpty()) {
        if (m_errorPrompt)
            m_errorPrompt(this, QStringLiteral("The game must have a name"));
        GameNameEdit->setFocus();
        return;
    }
    accept();
}

void TConnectForm::centreOnScreen()
{
    const QScreen *where = screen();
    if (!where)
        return;
    // Centre the whole window, frame included, at the width the role gave it.
    const QRect area = where->availableGeometry();
    const QSize frame = frameGeometry().size();
    move(area.x() + (area.width() - frame.width()) / 2,
         area.y() + (area.height() - frame.height()) / 2);
}

bool runConnectDialog(QWidget *parent, ConnectValues &values)
{
    return runConnectDialogOffering(parent, values, QStringList());
}

bool runConnectDialogOffering(QWidget *parent, ConnectValues &values, const QStringList &recentServers)
{
    TConnectForm dialog(parent);
    dialog.setRecentServers(recentServers);
    dialog.setValues(values);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    values = dialog.values();
    return true;
}

} // namespace arbelon
