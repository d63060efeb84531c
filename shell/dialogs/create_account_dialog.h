#pragma once
// A new account at the directory: user name, password and its confirmation. Closes only when
// the account was created; every other outcome is told and the dialog stays open.
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <memory>

#include "qtkit/notice.h"
#include "session/client_session.h"
#include "session/pump/session_pump.h"

namespace orv {

class CreateAccountDialog : public QDialog {
    Q_OBJECT
  public:
    CreateAccountDialog(ClientSession& session, SessionPump& pump, QWidget* parent = nullptr);
    ~CreateAccountDialog() override;

    // Validates and sends the request; the outcome arrives later.
    void accept() override;
    // Not while the request runs.
    void reject() override;

    bool busy() const { return busy_.busy(); }
    // The user name of the account created (after Accepted).
    QString createdUser() const { return created_; }
    const QString& lastMessage() const { return lastMessage_; }

    QComboBox* userBox() const { return user_; }
    QLineEdit* passwordEdit() const { return password_; }
    QLineEdit* confirmEdit() const { return confirm_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

  Q_SIGNALS:
    void messageShown(const QString& message);

  private:
    void requestAnswered(bool ok, const QString& message);

    ClientSession& session_;
    SessionPump& pump_;
    QComboBox* user_;
    QLineEdit *password_, *confirm_;
    QPushButton *ok_, *cancel_;
    QLabel* status_;
    BusyLook busy_;
    QString created_, lastMessage_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace orv
