#include "shell/dialogs/login_dialog.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "qtkit/dialog_texts.h"

namespace orv {

LoginDialog::LoginDialog(ClientSession& session, SessionPump& pump, QWidget* parent)
    : QDialog(parent), session_(session), pump_(pump) {
    UiLanguage lang = session.state().language;
    setWindowTitle(qtext(lang, texts::kLoginTitle));
    user_ = new QLineEdit(this);
    user_->setMaxLength(200);
    password_ = new QLineEdit(this);
    password_->setEchoMode(QLineEdit::Password);
    remember_ = new QCheckBox(qtext(lang, texts::kRemember), this);
    status_ = new QLabel(this);

    const StringPool& saved = session.tables().savedLogin;
    if (saved.count() >= 3) {
        user_->setText(qtext(saved.str(0)));
        password_->setText(qtext(saved.str(1)));
        remember_->setChecked(true);
    }

    login_ = new QPushButton(qtext(lang, texts::kLogIn), this);
    cancel_ = new QPushButton(qtext(lang, texts::kCancel), this);
    newUser_ = new QPushButton(qtext(lang, texts::kNewUser), this);
    settings_ = new QPushButton(qtext(lang, texts::kSettingsButton), this);
    login_->setDefault(true);

    auto* form = new QFormLayout;
    form->addRow(qtext(lang, texts::kUserName), user_);
    form->addRow(qtext(lang, texts::kPassword), password_);
    form->addRow(remember_);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(newUser_);
    buttons->addWidget(settings_);
    buttons->addStretch();
    buttons->addWidget(login_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(status_);
    layout->addLayout(buttons);

    connect(login_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(newUser_, &QPushButton::clicked, this, [this] { openCreateAccount(); });
    connect(settings_, &QPushButton::clicked, this, [this] { openServerSettings(); });
}

LoginDialog::~LoginDialog() {
    *alive_ = false;
}

void LoginDialog::accept() {
    if (busy_.busy()) return;
    QString user = user_->text();
    if (user.isEmpty()) return;
    busy_.set(this, {user_, password_, remember_, login_, cancel_, newUser_, settings_}, true);
    status_->setText(qtext(session_.state().language, texts::kWorking));
    std::weak_ptr<bool> alive = alive_;
    session_.login(user.toStdString(), password_->text().toStdString(), remember_->isChecked(),
                   [this, alive, user](const LoginOutcome& o) {
                       auto a = alive.lock();
                       if (!a || !*a) return;
                       loginAnswered(o, user);
                   });
    pump_.kick();
}

void LoginDialog::reject() {
    if (busy_.busy()) return;
    QDialog::reject();
}

void LoginDialog::loginAnswered(const LoginOutcome& outcome, const QString& user) {
    busy_.set(this, {}, false);
    status_->clear();
    outcome_ = outcome;
    bool ok = outcome.result == LoginFlow::Result::LoggedIn;
    for (const std::string& m : outcome.messages) {
        lastMessage_ = QString::fromStdString(m);
        // After a login the dialog closes; its notices stay with the window below.
        showNotice(ok ? parentWidget() : this, lastMessage_);
        Q_EMIT messageShown(lastMessage_);
    }
    if (ok) {
        loggedInUser_ = user;
        QDialog::accept();
    }
}

CreateAccountDialog* LoginDialog::openCreateAccount() {
    if (busy_.busy()) return nullptr;
    if (create_) return create_;
    create_ = new CreateAccountDialog(session_, pump_, this);
    create_->setAttribute(Qt::WA_DeleteOnClose);
    create_->open();
    return create_;
}

ServerSettingsDialog* LoginDialog::openServerSettings() {
    if (busy_.busy()) return nullptr;
    if (server_) return server_;
    server_ = new ServerSettingsDialog(session_, pump_, this);
    server_->setAttribute(Qt::WA_DeleteOnClose);
    server_->open();
    return server_;
}

}  // namespace orv
