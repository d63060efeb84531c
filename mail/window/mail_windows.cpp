#include "mail/window/mail_windows.h"

#include <QMessageBox>

#include <memory>

#include "core/mail_queries.h"
#include "mail/dialogs/choose_users_dialog.h"
#include "mail/dialogs/recipient_chooser.h"
#include "mail/dialogs/send_options_dialog.h"
#include "mail/dialogs/to_completer.h"
#include "mail/read.h"
#include "qtkit/command_ids.h"

namespace orv {

MailWindows::MailWindows(ClientSession& session, SessionPump& pump, QObject* parent)
    : QObject(parent), s_(session), pump_(pump) {
    // Receipts are registered after their window closed; a failure is told here.
    connect(&pump_, &SessionPump::sessionEvent, this, [this](const SessionEvent& e) {
        if (e.kind == EventKind::ReceiptsDone && !e.value && !e.text.empty() && showMessage)
            showMessage(QString::fromStdString(e.text));
    });
}

MailWindows::~MailWindows() {
    for (auto& w : windows_)
        delete w.data();
}

std::vector<MailWindow*> MailWindows::windows() const {
    std::vector<MailWindow*> out;
    for (const auto& w : windows_)
        if (w) out.push_back(w.data());
    return out;
}

namespace {

template <typename Accepted>
void openDialog(QDialog* d, Accepted accepted) {
    d->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(d, &QDialog::accepted, d, accepted);
    d->open();
}

}  // namespace

MailWindow* MailWindows::create() {
    auto* w = new MailWindow(s_, pump_);
    w->mailRead = [this] {
        if (mailRead) mailRead();
    };
    // The dialogs belong to the window (they close with it) and put their answer into it
    // when accepted; none runs a nested event loop.
    w->chooseRecipients = [this](MailWindow& mw) {
        auto* d =
            new RecipientChooserDialog(s_.tables(), mw.toField()->text(), s_.state().language, &mw);
        openDialog(d, [d, &mw] { mw.toField()->setText(d->toText()); });
    };
    w->chooseUsers = [this](MailWindow& mw) {
        auto* d =
            new ChooseUsersDialog(s_.tables(), s_.state().currentUser, s_.state().language, &mw);
        openDialog(d, [d, &mw] { mw.appendRecipients(d->chosenNames()); });
    };
    w->signMail = [this](uint64_t key) { openSign(key); };
    w->editOptions = [this](MailWindow& mw) {
        auto* d = new SendOptionsDialog(mw.options(), s_.state().language, &mw);
        openDialog(d, [d, &mw] { mw.setOptions(d->options()); });
    };
    new ToCompleter(w->toField(), s_.tables(), w);
    // A closed window is gone; its mail lives on in the tables.
    connect(w, &MailWindow::closed, this, [w] { w->deleteLater(); });
    std::erase_if(windows_, [](const QPointer<MailWindow>& p) { return p.isNull(); });
    windows_.emplace_back(w);
    if (configure) configure(*w);
    return w;
}

MailWindow* MailWindows::compose(const ComposeInput& in, ComposeState state) {
    MailWindow* w = create();
    w->startCompose(in, state);
    w->showPlaced();
    return w;
}

MailWindow* MailWindows::newMail(const std::vector<std::string>& files) {
    ComposeInput in;
    in.from = s_.state().currentUser;
    in.attachments = files;
    return compose(in);
}

MailWindow* MailWindows::mailCommand(int commandId, const MailRef& mail) {
    CoreTables& t = s_.tables();
    const std::string& user = s_.state().currentUser;
    const UiLanguage lang = s_.state().language;
    switch (commandId) {
        case Cmd::Open:
            if (mail.kind == MailKind::Inbox) break;
            if (mail.kind == MailKind::Outbox || mail.kind == MailKind::Sent ||
                mail.kind == MailKind::Draft) {
                ComposeInput in;
                if (!loadOutgoing(t, mail.key, in)) return nullptr;
                // A draft may be sent once, as a new mail, and so may an Outbox mail whose
                // recipient does not exist, once corrected; the others show their delivery.
                const bool correctable = mail.kind == MailKind::Outbox &&
                                         !refusedRecipients(t, outboxMail(t, mail.key)).empty();
                ComposeState st = mail.kind == MailKind::Draft || correctable
                                      ? ComposeState::openedDraft(mail.key)
                                      : ComposeState{mail.key, false};
                return compose(in, st);
            }
            return nullptr;
        case Cmd::Reply:
        case Cmd::Forward:
            if (mail.kind != MailKind::Inbox) return nullptr;
            break;
        case Cmd::ReplyAll:
        case Cmd::ReplyHidden: {
            if (mail.kind != MailKind::Inbox) return nullptr;
            ReplyResult r = commandId == Cmd::ReplyAll ? buildReplyAll(t, mail.key, user, lang)
                                                       : buildToolbarReply(t, mail.key, user, lang);
            if (!r.ok()) return nullptr;
            return compose(r.input);
        }
        case Cmd::SignMail:
            if (mail.kind == MailKind::Inbox) openSign(mail.key);
            return nullptr;
        case Cmd::SignStatus:
            if (mail.kind != MailKind::Inbox) openSignStatus(mail.key);
            return nullptr;
        default:
            return nullptr;
    }
    MailWindow* w = create();
    if (!w->startRead(mail.key)) {
        w->deleteLater();
        return nullptr;
    }
    w->showPlaced();
    // Reply and Forward from the list act as soon as the mail is loaded.
    if (commandId == Cmd::Reply) w->command(ReadCommand::Reply);
    if (commandId == Cmd::Forward) w->command(ReadCommand::Forward);
    return w;
}

SignDialog* MailWindows::openSign(uint64_t key) {
    SignForm form;
    SigningFacade& signing = s_.signing();
    SignCheck check = signing.check(key, form);
    const QString text = QString::fromStdString(signing.checkText(check));
    if (check == SignCheck::NoSuchMail) return nullptr;
    if (check == SignCheck::NotRequired) {
        if (showMessage) showMessage(text);
        return nullptr;
    }
    if (check == SignCheck::AlreadySigned) {
        bool yes =
            ask ? ask(text)
                : QMessageBox::question(nullptr, QString(), text,
                                        QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
        if (!yes) return nullptr;
    }
    auto* d = new SignDialog(signing, s_.state().language, form);
    d->setAttribute(Qt::WA_DeleteOnClose);
    d->open();
    pump_.kick();
    return d;
}

SignStatusDialog* MailWindows::openSignStatus(uint64_t key) {
    int m = s_.tables().findOutgoing(key);
    if (m < 0) return nullptr;
    auto* d = new SignStatusDialog(s_.signing(), s_.tables(), s_.state().language,
                                   s_.state().currentUser, s_.tables().mails[m].created);
    d->setAttribute(Qt::WA_DeleteOnClose);
    d->open();
    pump_.kick();
    return d;
}

}  // namespace orv
