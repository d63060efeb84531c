#pragma once
// The directory server's host and port, and the way into the password change.
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>

#include "session/client_session.h"
#include "session/pump/session_pump.h"
#include "shell/dialogs/change_password.h"

namespace orv {

class ServerSettingsDialog : public QDialog {
    Q_OBJECT
  public:
    ServerSettingsDialog(ClientSession& session, SessionPump& pump, QWidget* parent = nullptr);

    // Stores host and port and points the session's directory requests at them; a port that is
    // not a number from 1 to 65535 keeps the dialog open with a notice.
    void accept() override;
    void reject() override;

    QLineEdit* hostEdit() const { return host_; }
    QLineEdit* portEdit() const { return port_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }
    QPushButton* changePasswordButton() const { return changePassword_; }
    ChangePasswordPrompts& changePasswordPrompts() { return *prompts_; }

  private:
    ClientSession& session_;
    QLineEdit *host_, *port_;
    QPushButton *ok_, *cancel_, *changePassword_;
    ChangePasswordPrompts* prompts_;
};

}  // namespace orv
