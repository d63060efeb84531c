#pragma once
// The login dialog: user name, password and remember, with the ways to a new account and to
// the server settings. The login runs through the session while the dialog stays responsive;
// the dialog closes with Accepted only when the directory took the login.
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

#include <memory>

#include "qtkit/notice.h"
#include "session/client_session.h"
#include "session/pump/session_pump.h"
#include "shell/dialogs/create_account_dialog.h"
#include "shell/dialogs/server_settings_dialog.h"

namespace orv {

class LoginDialog : public QDialog {
    Q_OBJECT
  public:
    // Filled from the remembered login when there is one.
    LoginDialog(ClientSession& session, SessionPump& pump, QWidget* parent = nullptr);
    ~LoginDialog() override;

    // Starts the login (an empty user name does nothing).
    void accept() override;
    // Not while the login runs.
    void reject() override;

    bool busy() const { return busy_.busy(); }
    // After Accepted: who is now logged in, and the messages that came with the login (the
    // account-closing notice, already shown).
    QString loggedInUser() const { return loggedInUser_; }
    const LoginOutcome& outcome() const { return outcome_; }
    const QString& lastMessage() const { return lastMessage_; }

    // Open the child dialogs (what the New user and Settings buttons do).
    CreateAccountDialog* openCreateAccount();
    ServerSettingsDialog* openServerSettings();
    CreateAccountDialog* createAccountDialog() const { return create_; }
    ServerSettingsDialog* serverSettingsDialog() const { return server_; }

    QLineEdit* userEdit() const { return user_; }
    QLineEdit* passwordEdit() const { return password_; }
    QCheckBox* rememberBox() const { return remember_; }
    QPushButton* loginButton() const { return login_; }
    QPushButton* cancelButton() const { return cancel_; }
    QPushButton* newUserButton() const { return newUser_; }
    QPushButton* settingsButton() const { return settings_; }

  Q_SIGNALS:
    void messageShown(const QString& message);

  private:
    void loginAnswered(const LoginOutcome& outcome, const QString& user);

    ClientSession& session_;
    SessionPump& pump_;
    QLineEdit *user_, *password_;
    QCheckBox* remember_;
    QPushButton *login_, *cancel_, *newUser_, *settings_;
    QLabel* status_;
    BusyLook busy_;
    QPointer<CreateAccountDialog> create_;
    QPointer<ServerSettingsDialog> server_;
    LoginOutcome outcome_;
    QString loggedInUser_, lastMessage_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace orv
