#pragma once
// The connect dialog: the user picks the role, the relay server and, for filming, the game's
// name, password, game and mod. It edits the six connect values and checks one of them; the
// connection itself belongs to the caller.

#include "userprompts.h"

#include <QDialog>
#include <QString>
#include <QStringList>

#include <functional>

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QShowEvent;
class QWidget;

namespace arbelon {

class TConnectForm : public QDialog {
    Q_OBJECT
public:
    explicit TConnectForm(QWidget *parent = nullptr);

    // ---- values: written before the dialog is shown, read back after it closes with OK ----
    void setServerAddress(const QString &address) { m_values.serverAddress = address; }
    void setPassword(const QString &password) { m_values.password = password; }
    void setRole(Role role) { m_values.role = role; }
    void setGameName(const QString &name) { m_values.gameName = name; }
    void setGameType(int gameType) { m_values.gameType = gameType; }
    void setMod(const QString &mod) { m_values.mod = mod; }
    void setValues(const ConnectValues &values) { m_values = values; }
    // The servers the address box offers, newest first (ClientSettings::recentServers).
    void setRecentServers(const QStringList &servers);

    QString serverAddress() const { return m_values.serverAddress; }
    QString password() const { return m_values.password; }
    Role role() const { return m_values.role; }
    QString gameName() const { return m_values.gameName; }
    int gameType() const { return m_values.gameType; }
    QString mod() const { return m_values.mod; }
    const ConnectValues &values() const { return m_values; }

    // Shows the error of the name check. Replaceable so that tests never block on a box.
    using ErrorPrompt = std::function<void(QWidget *parent, const QString &text)>;
    void setErrorPrompt(ErrorPrompt prompt) { m_errorPrompt = std::move(prompt); }

    // Longest texts the edits take; the mod must fit the 17-byte record field with its NUL.
    static constexpr int kPasswordMaxLength = 14;
    static constexpr int kGameNameMaxLength = 31;
    static constexpr int kModMaxLength = 16;

protected:
    void showEvent(QShowEvent *event) override;

private:
    // ---- handlers ----
    void FormShow();
    void WatchGameButtonClick(); // applies the role; runs for either role button
    void GameTypeComboChange();  // applies the game choice
    void ConnectButtonClick();

    void centreOnScreen();

    ConnectValues m_values;
    ErrorPrompt m_errorPrompt;

    // ---- controls ----
    QGroupBox *RoleBox;
    QPushButton *WatchGameButton;
    QPushButton *FilmGameButton;
    QButtonGroup *RoleGroup;
    QGroupBox *ConnectionBox;
    QComboBox *IPEdit; // editable: any "host" or "host:port", or one of the recent servers
    QLabel *PasswordLabel;
    QLineEdit *PasswordEdit;
    QLabel *GameNameLabel;
    QLineEdit *GameNameEdit;
    QGroupBox *GameBox;
    QComboBox *GameTypeCombo;
    QLabel *ModLabel;
    QComboBox *ModTypeEdit;
    QWidget *ButtonPanel;
    QPushButton *cancelButton;
    QPushButton *ConnectButton;
};

// Runs the dialog modally on the given values. On OK the values hold the user's choice and
// the result is true; on Cancel they are left as they were.
bool runConnectDialog(QWidget *parent, ConnectValues &values);
// The same, with the recent servers in the address box.
bool runConnectDialogOffering(QWidget *parent, ConnectValues &values, const QStringList &recentServers);

} // namespace arbelon
