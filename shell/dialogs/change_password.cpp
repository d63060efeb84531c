#include "shell/dialogs/change_password.h"

#include <QDialogButtonBox>
#include <QVBoxLayout>

#include "qtkit/dialog_texts.h"
#include "qtkit/notice.h"

namespace orv {

TextPromptDialog::TextPromptDialog(const QString& title, bool masked, UiLanguage lang,
                                   QWidget* parent)
    : QDialog(parent), masked_(masked) {
    setWindowTitle(title);
    edit_ = new QLineEdit(this);
    if (masked) edit_->setEchoMode(QLineEdit::Password);
    auto* buttons = new QDialogButtonBox(this);
    ok_ = buttons->addButton(qtext(lang, texts::kOk), QDialogButtonBox::AcceptRole);
    buttons->addButton(qtext(lang, texts::kCancel), QDialogButtonBox::RejectRole);
    ok_->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(edit_);
    layout->addWidget(buttons);
}

void TextPromptDialog::accept() {
    if (!masked_ && edit_->text().isEmpty()) return;
    QDialog::accept();
}

ChangePasswordPrompts::ChangePasswordPrompts(ClientSession& session, SessionPump& pump,
                                             QWidget* parent)
    : QObject(parent), session_(session), pump_(pump), parent_(parent) {}

ChangePasswordPrompts::~ChangePasswordPrompts() {
    *alive_ = false;
    if (prompt_) prompt_->deleteLater();
}

void ChangePasswordPrompts::start() {
    if (step_ != Idle) return;
    user_.clear();
    old_.clear();
    new_.clear();
    confirm_.clear();
    Q_EMIT busyChanged(true);
    openPrompt(User);
}

void ChangePasswordPrompts::openPrompt(Step step) {
    step_ = step;
    UiLanguage lang = session_.state().language;
    TextPair title = step == User  ? texts::kPromptUser
                     : step == Old ? texts::kPromptOld
                     : step == New ? texts::kPromptNew
                                   : texts::kPromptConfirm;
    auto* p = new TextPromptDialog(qtext(lang, title), step != User, lang, parent_);
    p->setAttribute(Qt::WA_DeleteOnClose);
    prompt_ = p;
    connect(p, &QDialog::finished, this, [this, p, step](int r) {
        if (prompt_ == p) prompt_ = nullptr;
        if (step_ != step) return;
        if (r != QDialog::Accepted) {
            end(false, QString());  // cancelling any prompt ends the change silently
            return;
        }
        answered(step, p->text());
    });
    p->open();
}

void ChangePasswordPrompts::answered(Step step, const QString& text) {
    switch (step) {
        case User:
            user_ = text;
            openPrompt(Old);
            return;
        case Old:
            old_ = text;
            openPrompt(New);
            return;
        case New:
            new_ = text;
            openPrompt(Confirm);
            return;
        case Confirm:
            confirm_ = text;
            break;
        default:
            return;
    }
    step_ = Request;
    std::weak_ptr<bool> alive = alive_;
    session_.changePassword(user_.toStdString(), old_.toStdString(), new_.toStdString(),
                            confirm_.toStdString(), [this, alive](bool ok, const std::string& m) {
                                auto a = alive.lock();
                                if (!a || !*a) return;
                                end(ok, QString::fromStdString(m));
                            });
    pump_.kick();
}

void ChangePasswordPrompts::end(bool changed, const QString& message) {
    step_ = Idle;
    lastMessage_ = message;
    if (!message.isEmpty()) showNotice(parent_, message);
    Q_EMIT busyChanged(false);
    Q_EMIT finished(changed, message);
}

}  // namespace orv
