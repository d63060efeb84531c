#include "shell/dialogs/create_account_dialog.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "qtkit/dialog_texts.h"

namespace orv {

CreateAccountDialog::CreateAccountDialog(ClientSession& session, SessionPump& pump, QWidget* parent)
    : QDialog(parent), session_(session), pump_(pump) {
    UiLanguage lang = session.state().language;
    setWindowTitle(qtext(lang, texts::kNewUser));
    user_ = new QComboBox(this);
    user_->setEditable(true);
    user_->lineEdit()->setMaxLength(250);
    password_ = new QLineEdit(this);
    password_->setEchoMode(QLineEdit::Password);
    confirm_ = new QLineEdit(this);
    confirm_->setEchoMode(QLineEdit::Password);
    status_ = new QLabel(this);

    auto* form = new QFormLayout;
    form->addRow(qtext(lang, texts::kUserName), user_);
    form->addRow(qtext(lang, texts::kPassword), password_);
    form->addRow(qtext(lang, texts::kConfirmPassword), confirm_);
    ok_ = new QPushButton(qtext(lang, texts::kOk), this);
    cancel_ = new QPushButton(qtext(lang, texts::kCancel), this);
    ok_->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(status_, 1);
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);

    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

CreateAccountDialog::~CreateAccountDialog() {
    *alive_ = false;
}

void CreateAccountDialog::accept() {
    if (busy_.busy()) return;
    busy_.set(this, {user_, password_, confirm_, ok_, cancel_}, true);
    status_->setText(qtext(session_.state().language, texts::kWorking));
    std::weak_ptr<bool> alive = alive_;
    QString user = user_->currentText();
    session_.createAccount(user.toStdString(), password_->text().toStdString(),
                           confirm_->text().toStdString(),
                           [this, alive, user](bool ok, const std::string& m) {
                               auto a = alive.lock();
                               if (!a || !*a) return;
                               if (ok) created_ = user;
                               requestAnswered(ok, QString::fromStdString(m));
                           });
    pump_.kick();
}

void CreateAccountDialog::reject() {
    if (busy_.busy()) return;
    QDialog::reject();
}

void CreateAccountDialog::requestAnswered(bool ok, const QString& message) {
    busy_.set(this, {}, false);
    status_->clear();
    lastMessage_ = message;
    // The success notice outlives this dialog, so it belongs to the window below.
    showNotice(ok ? parentWidget() : this, message);
    Q_EMIT messageShown(message);
    if (ok) QDialog::accept();
}

}  // namespace orv
